"""The daemon's life: start-up, crash bookkeeping, link watch, stop and exit status."""
import os
import re
import signal
import time

import pytest


def started(daemon):
    """Starts the daemon and waits until start-up has finished (its start line)."""
    before = daemon.root.moni_text().count("is up and running.")
    daemon.start()
    daemon.wait_for(lambda: daemon.root.moni_text().count("is up and running.") > before, timeout=60,
                    what="the start line in the monitoring log")
    return daemon




def test_start_banner_and_up_and_running_line(daemon, root):
    started(daemon)
    out = daemon.output()
    assert re.search(r"#### \S+ qmr alive on eth0 ip:198\.18\.\d+\.1/24", out), out
    daemon.wait_for(lambda: "System status: device" in root.moni_text(), what="the start line in the log")
    line = [l for l in root.moni_text().splitlines() if "is up and running" in l][0]
    assert re.match(r"^ \d\d \d\d:\d\d:\d\d \| STA\s+\| System status: device \S+ \(IP address 198\.18\.\d+\.1/24, SW:22,0\) "
                    r"wifi:0 is up and running\. Restarts: 1 \(warm = -1, crashed/s:0/0\)\.\r?$", line), line
    assert os.path.exists(root.file("/var/alive"))


def test_prefix_from_the_network_mask_of_an_older_file(net, daemon, root):
    """A parameter file with "ip_mask" and the default prefix: the prefix comes from the
    mask, is saved, shown in the banner and given to the interface."""
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(" ip_mask = 255.255.0.0\n")
    started(daemon)
    out = daemon.output()
    assert re.search(r"#### \S+ qmr alive on eth0 ip:198\.18\.\d+\.1/16 ", out), out
    saved = open(root.file("/etc/params.dat")).read()
    assert re.search(r"^\s*ip_pfxlen = 16$", saved, re.M), saved
    daemon.wait_for(lambda: "/16 " in net.run_device("ip", "-4", "-o", "addr", "show", "dev", "eth0").stdout,
                    what="the address with prefix 16 on eth0")


def test_sigterm_stops_with_status_zero_and_clears_alive(daemon, root):
    started(daemon)
    assert daemon.stop(signal.SIGTERM, timeout=30) == 0
    assert not os.path.exists(root.file("/var/alive"))
    assert "has shut down (type of shutdown = 0)." in root.moni_text()


def test_task_threads_carry_slot_and_name(daemon):
    started(daemon)
    # "ip netns exec" runs the daemon in its own process; pidof would see every qmr of the host.
    pid = daemon.proc.pid

    def names():
        found = []
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                    found.append(f.read().strip())
            except FileNotFoundError:
                pass
        return found

    # The tasks start after the start line; the supervisor comes last.
    daemon.wait_for(lambda: any(re.match(r"^\d+:LazyHubWatc", n) for n in names()), timeout=60,
                    what="the supervisor's thread")
    names = names()
    assert any(re.match(r"^\d+:GPio$", n) for n in names), names


def test_crash_bookkeeping_across_starts(net, root):
    from conftest import Daemon
    # A run that left /var/alive behind counts as a crash.
    with open(root.file("/var/alive"), "w") as f:
        f.write("1")
    d = Daemon(net, root)
    try:
        started(d)
        assert open(root.file("/var/crashes")).read().strip() == "1"
        assert "crash(es):1(1)" in d.output()
        assert d.stop() == 0
    finally:
        d.close()
    # The next start finds no /var/alive: the count stays as read.
    d = Daemon(net, root)
    try:
        started(d)
        assert open(root.file("/var/crashes")).read().strip() == "1"
        assert "crash(es):0(1)" in d.output()
        assert d.stop() == 0
    finally:
        d.close()


def test_kickoff_is_the_warm_start_count(net, root):
    from conftest import Daemon
    for value, shown in ((None, "-1"), ("0", "0"), ("3", "3")):
        env = {} if value is None else {"KickOff": value}
        d = Daemon(net, root, env=env)
        if value is None:
            d.env.pop("KickOff", None)
        try:
            started(d)
            assert re.search(r"alive:\d+:%s crash" % re.escape(shown), d.output()), d.output()
            assert d.stop() == 0
        finally:
            d.close()


def test_link_wait_holds_until_the_peer_comes_up(net, daemon, root):
    net.set_link(False)
    daemon.start()
    time.sleep(3)
    assert "is up and running." not in root.moni_text()
    net.set_link(True)
    daemon.wait_for(lambda: "is up and running." in root.moni_text(), timeout=30, what="the start line")


def test_link_down_and_up_during_the_run(net, daemon, root):
    # With DHCP on, start-up waits for the link after its start line; without it, the
    # supervision loop runs at once and sees the link change.
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("ip_dhcp = off\n")
    started(daemon)
    net.set_link(False)
    daemon.wait_for(lambda: "System status: network link is down." in root.moni_text(), timeout=20,
                    what="the link-down line")
    net.set_link(True)
    daemon.wait_for(lambda: "System status: network link is up." in root.moni_text(), timeout=20,
                    what="the link-up line")


@pytest.mark.parametrize("sig", [signal.SIGSEGV, signal.SIGABRT])
def test_a_fatal_signal_is_not_reported_as_a_plain_stop(daemon, root, sig):
    started(daemon)
    status = daemon.stop(sig, timeout=30)
    assert status == 128 + sig
    # The run did not end through the shutdown path: the next start counts a crash.
    assert os.path.exists(root.file("/var/alive"))
    if sig == signal.SIGABRT:
        # The fatal-signal line; for a kill from this process (uid 0) the address word
        # holds the sender's pid, shown in eight hex digits.
        line = "Signal %d, errno 0, code 0, addr %08x\n" % (signal.SIGABRT, os.getpid())
        assert line in daemon.output(), daemon.output()


def test_status_line_every_3000_ticks(daemon, root):
    started(daemon)
    assert "threads are alive" not in root.moni_text()
    ok, lines = daemon.simctl("ticks", "advance", "3100")
    assert ok, lines
    daemon.wait_for(lambda: re.search(r"System status: \d+ threads are alive\. Loop: \d+\. Shutdowns: 0 ",
                                      root.moni_text()), timeout=20, what="the 3,000-tick status line")


def test_daily_restart_at_its_hour_after_an_hour_of_uptime(net, root):
    from conftest import Daemon

    def appliance_time():
        # The hour of the appliance's own zone, which the time client sets from
        # "ntp_tzone" (by default CET/CEST).
        saved = os.environ.get("TZ")
        os.environ["TZ"] = "CET-1CEST,M3.5.0,M10.5.0"
        time.tzset()
        try:
            return time.localtime()
        finally:
            if saved is None:
                del os.environ["TZ"]
            else:
                os.environ["TZ"] = saved
            time.tzset()

    now = appliance_time()
    if now.tm_min == 59:
        time.sleep(61)
        now = appliance_time()
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write(" dailyrestart = %d\n" % now.tm_hour)
    d = Daemon(net, root)
    try:
        started(d)
        # Not before 61 minutes of uptime.
        time.sleep(7)
        assert d.proc.poll() is None
        ok, lines = d.simctl("ticks", "advance", "370000")
        assert ok, lines
        status = d.proc.wait(timeout=60)
        assert status == 2
        assert "initialized by dailyrestart (=%d) parameter" % now.tm_hour in root.moni_text()
        assert "has shut down (type of shutdown = 2)." in root.moni_text()
    finally:
        d.close()



def test_product_295_starts_from_link_flags_0x11(net, daemon, root):
    """Product 295 compares its first link reading with 0x11, which its two ports with
    link give: the first blocks log no link change; a real change is still logged."""
    with open(root.file("/proc/product_params")) as f:
        text = f.read()
    text = re.sub(r"(?m)^hw_project=.*$", "hw_project=0295", text)
    text = re.sub(r"(?m)^hw_major=.*$", "hw_major=1", text)
    with open(root.file("/proc/product_params"), "w") as f:
        f.write(text)
    started(daemon)
    time.sleep(4)  # a few one-second blocks
    assert "System status: network link is" not in root.moni_text()
    net.set_link(False)
    daemon.wait_for(lambda: "System status: network link is down." in root.moni_text(), timeout=20,
                    what="the link-down line")


def test_root_certificate_link_moves_to_the_802_1x_directory(daemon, root):
    """A link "cert_root.pem" to a file above 512 bytes becomes a link of the same base
    name in the 802.1X directory; a plain file of that name is left alone."""
    certs = root.file("/etc/certs")
    os.makedirs(os.path.join(certs, "802.1x"), exist_ok=True)
    os.makedirs(os.path.join(certs, "ca"), exist_ok=True)
    real = os.path.join(certs, "ca", "myroot.pem")
    with open(real, "w") as f:
        f.write("x" * 600)
    os.symlink(real, os.path.join(certs, "cert_root.pem"))
    started(daemon)
    assert not os.path.lexists(os.path.join(certs, "cert_root.pem"))
    moved = os.path.join(certs, "802.1x", "myroot.pem")
    assert os.path.islink(moved) and os.path.realpath(moved) == os.path.realpath(real)
    assert daemon.stop() == 0

    with open(os.path.join(certs, "cert_root.pem"), "w") as f:
        f.write("y" * 600)
    started(daemon)
    with open(os.path.join(certs, "cert_root.pem")) as f:
        assert f.read() == "y" * 600
    assert daemon.stop() == 0


def test_a_burst_of_stop_signals_still_ends_the_run(daemon, root):
    """The stop signals land on whatever thread runs, also inside the tick clock's
    locks; the handler must not take them again, or the daemon hangs."""
    started(daemon)
    for _ in range(20000):
        daemon.proc.send_signal(signal.SIGINT)
    assert daemon.stop(signal.SIGTERM, timeout=60) == 0
    assert not os.path.exists(root.file("/var/alive"))


def test_the_stop_releases_the_parameter_table_and_the_environment(net, root):
    """The leak check here also counts memory only globals still point to: the parameter
    table and the environment are released by the stop, so no report comes from them."""
    from conftest import Daemon
    options = os.environ.get("ASAN_OPTIONS", "")
    if "detect_leaks=0" in options:
        pytest.skip("leak detection is off")
    d = Daemon(net, root, env={"ASAN_OPTIONS": "detect_leaks=1:exitcode=0",
                               "LSAN_OPTIONS": "use_globals=0:exitcode=0"})
    try:
        started(d)
        assert d.stop() == 0
        reports = re.split(r"\n(?=(?:Direct|Indirect) leak of)", d.output())
        # The C library keeps a copy of every value setenv stored for the rest of the
        # process (getenv pointers may be in use): only the environment's own array,
        # a direct leak once nothing points to it, is the stop's to free.
        ours = [r for r in reports[1:]
                if re.search(r"buildParamCatalogue|StringParam::", r.split("\n\n")[0])
                or (r.startswith("Direct") and "__interceptor_realloc" in r and "setenv" in r.split("\n\n")[0])]
        assert not ours, "\n\n".join(r.split("\n\n")[0] for r in ours[:5])
    finally:
        d.close()
