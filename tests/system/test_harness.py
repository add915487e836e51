"""The harness itself: namespaces, sandbox root and the sim control socket."""
import os


def test_namespaces_join_device_and_client_over_eth0(net):
    out = net.run_device("ip", "-o", "link", "show", "eth0").stdout
    assert "eth0" in out and "state UP" in out
    net.run_device("ip", "addr", "add", net.device_addr + "/24", "dev", "eth0")
    net.run_client("ping", "-c", "1", "-W", "5", net.device_addr)
    # The client's end going down takes the device's carrier with it.
    net.set_link(False)
    assert net.run_device("cat", "/sys/class/net/eth0/carrier", check=False).stdout.strip() in ("0", "")


def test_sandbox_root_holds_the_fixtures(root):
    with open(root.file("/proc/product_params")) as f:
        assert "hw_project=0287" in f.read()
    assert os.path.exists(root.file("/etc/params.dat"))
    assert len(root.file("/run/sim.sock")) < 108


def test_daemon_serves_the_sim_socket_and_stops_on_sigterm(daemon, root):
    daemon.start()
    ok, lines = daemon.simctl("ping")
    assert ok and lines == ["pong"]
    ok, lines = daemon.simctl("state")
    assert ok and "platform sim" in lines and ("root " + root.path) in lines
    ok, lines = daemon.simctl("no-such-command")
    assert not ok and lines[-1].startswith("ERR")
    assert daemon.ask("x" * 5000) == "ERR line too long\n"
    assert daemon.stop() == 0
    assert not os.path.exists(daemon.socket)


def test_moni_lines_writes_numbered_lines_and_refuses_bad_counts(daemon, root):
    daemon.start()
    with daemon.control() as control:
        # The test hooks are added just after the socket appears.
        daemon.wait_for(lambda: any(l.startswith("moni ") for l in control.ask("help")[1]), what="the hooks")
        assert control.ask("moni lines 3 hook probe") == (True, ["3"])
        daemon.wait_for(lambda: "hook probe 2" in root.moni_text(), what="the third line")
        got = [l.rsplit(" | ", 1)[1] for l in root.moni_text().split("\r\n") if "hook probe" in l]
        assert got == ["hook probe 0", "hook probe 1", "hook probe 2"]
        for bad in ("moni lines 0 x", "moni lines -1 x", "moni lines 1x x", "moni lines 10000001 x",
                    "moni lines 99999999999999999999999 x", "moni lines 5", "moni lines", "moni other 1 x"):
            ok, answer = control.ask(bad)
            assert not ok and answer[-1].startswith("ERR"), (bad, answer)
        # The daemon still answers, and wrote nothing for the refused commands.
        assert control.ask("ping") == (True, ["pong"])
    assert "| x 0" not in root.moni_text()
