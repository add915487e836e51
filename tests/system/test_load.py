"""Load statistics seen from outside: the sampler's status lines in the monitoring log."""
import os
import re




def test_load_sampler_logs_cpu_memory_and_board_temperature(daemon, root):
    # Product 287 reads its main board temperature from the thermal zone.
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(" monitoring = on\n deltaload = 10m\n")
    zone = root.file("/sys/devices/virtual/thermal/thermal_zone0")
    os.makedirs(zone, exist_ok=True)
    with open(os.path.join(zone, "temp"), "w") as f:
        f.write("47260\n")

    daemon.start()
    daemon.wait_for(lambda: "System Status: memory usage" in root.moni_text(), timeout=60,
                    what="the load sampler's status lines")
    text = root.moni_text()
    assert re.search(r"\| STA\s+\| System Status: CPU is -?\d+%,-?\d+% busy at 47\.3 degrees C\.\r\n", text), text
    m = re.search(r"System Status: memory usage is (\d+)%\. Total:(\d+)kB Free:(\d+)kB Available:(\d+)kB\.", text)
    assert m, text
    total, free, available = int(m.group(2)), int(m.group(3)), int(m.group(4))
    assert total > 0 and free <= available
    assert int(m.group(1)) == (total - available) * 100 // total
    assert daemon.stop() == 0
