"""The SNMP agent seen from a manager: net-snmp's command-line tools in the client
namespace (no MIB files, numeric OIDs) against the daemon's agent."""
import os
import re
import subprocess
import tempfile

import pytest

from conftest import Daemon

ENT = "1.3.6.1.4.1.32473"
SYS_NAME = "1.3.6.1.2.1.1.5.0"
ENGINE_BOOTS = "1.3.6.1.6.3.10.2.1.2.0"

SHA_AES = ("SHA", "adminpass1", "AES", "privpass12")
MD5_DES = ("MD5", "md5secret9", "DES", "desphrase7")


def admin_params(hash_, password, cipher, phrase):
    return ("admin_hash = %s\nadmin_pwd = %s\nadmin_cipher = %s\nadmin_passphrase = %s\n"
            % (hash_.lower(), password, cipher.lower(), phrase))


class Manager:
    """net-snmp's tools run from the client namespace against the agent."""

    def __init__(self, net):
        self.net = net
        self.state = tempfile.mkdtemp(prefix="qmr-snmpc-")
        self.env = dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=self.state, HOME=self.state)

    def run(self, tool, *args, version=("-v2c", "-c", "velmor"), check=True, host=None):
        cmd = ["ip", "netns", "exec", self.net.client, tool, *version, "-On", "-t", "2", "-r", "1",
               host or self.net.device_addr, *args]
        r = subprocess.run(cmd, capture_output=True, text=True, env=self.env, timeout=120)
        if check and r.returncode != 0:
            raise AssertionError("%s failed (%d): %s%s" % (" ".join(cmd), r.returncode, r.stdout, r.stderr))
        return r

    def get(self, *oids, **kw):
        return self.run("snmpget", *oids, **kw).stdout

    def values(self, tool, *args, **kw):
        """OID -> value text of every line the tool printed."""
        out = {}
        for line in self.run(tool, *args, **kw).stdout.splitlines():
            m = re.match(r"^(\.[\d.]+) = (.*)$", line)
            if m:
                out[m.group(1)] = m.group(2)
        return out

    def set(self, oid, type_, value, **kw):
        return self.run("snmpset", oid, type_, value, check=False, **kw)

    def close(self):
        subprocess.run(["rm", "-rf", self.state])


def v3(hash_, password, cipher, phrase, user="Admin"):
    return ("-v3", "-l", "authPriv", "-u", user, "-a", hash_, "-A", password, "-x", cipher, "-X", phrase)


def start_agent(daemon, root, extra=""):
    if extra:
        with open(root.file("/etc/params.dat"), "a") as f:
            f.write(extra)
    daemon.start()
    daemon.wait_output("NET-SNMP version", timeout=60)
    # No MIB files are looked for, so the library has nothing to warn about.
    out = daemon.output()
    for warning in ("Cannot find module", "MIB search path", "Cannot adopt OID", "Unlinked OID",
                    "Did not find", "Bad operator"):
        assert warning not in out, out
    return daemon


@pytest.fixture
def manager(net):
    m = Manager(net)
    yield m
    m.close()


@pytest.fixture
def agent(daemon, root):
    return start_agent(daemon, root, admin_params(*SHA_AES))


def params_file(root):
    with open(root.file("/etc/params.dat")) as f:
        return f.read()


@pytest.mark.parametrize("credentials", [SHA_AES, MD5_DES], ids=["sha-aes", "md5-des"])
def test_get_over_v1_v2c_and_v3(daemon, root, manager, credentials):
    start_agent(daemon, root, admin_params(*credentials))
    versions = [("-v1", "-c", "velmor"), ("-v2c", "-c", "velmor"), v3(*credentials)]
    oids = (SYS_NAME, "1.3.6.1.2.1.1.2.0", ENT + ".2.1.2.0", ENT + ".2.4.1.0", ENT + ".3.4.1.0")
    for version in versions:
        got = manager.values("snmpget", *oids, version=version)
        assert got[".1.3.6.1.2.1.1.5.0"] == 'STRING: "QMR-0287A1"', version
        assert got[".1.3.6.1.2.1.1.2.0"] == "OID: ." + ENT + ".1.1"
        assert got["." + ENT + ".2.1.2.0"] == 'STRING: "QMR-0287A1"'
        # The mirror object names the same parameter.
        assert got["." + ENT + ".2.4.1.0"] == "IpAddress: " + daemon.net.device_addr
        assert got["." + ENT + ".3.4.1.0"] == got["." + ENT + ".2.4.1.0"]
        nxt = manager.values("snmpgetnext", ENT, ENT + ".2.1.17.0", version=version)
        assert list(nxt) == ["." + ENT + ".1.1.0", "." + ENT + ".2.1.21.0"]
    # A wrong password gets nothing.
    bad = manager.run("snmpget", SYS_NAME, version=v3(credentials[0], "wrongpass1", *credentials[2:]), check=False)
    assert bad.returncode != 0


def test_bulkwalk_of_mib2_and_the_device_mib(agent, manager):
    mib2 = manager.values("snmpbulkwalk", "1.3.6.1.2.1")
    assert '.1.3.6.1.2.1.1.5.0' in mib2
    assert any(k.startswith(".1.3.6.1.2.1.2.2.1.2.") for k in mib2), "ifDescr"
    assert any(k.startswith(".1.3.6.1.2.1.4.") for k in mib2), "ip group"
    assert mib2[".1.3.6.1.2.1.43.5.1.1.3.1"] == "INTEGER: 3"
    dev = manager.values("snmpbulkwalk", ENT, version=v3(*SHA_AES))
    keys = list(dev)
    assert keys[0] == "." + ENT + ".1.1.0"
    # Instances come in OID order, the system group interleaved with the scalars.
    order = [tuple(int(x) for x in k.strip(".").split(".")) for k in keys]
    assert order == sorted(order)
    assert dev["." + ENT + ".2.1.3.0"] == "Hex-STRING: 00 C0 EB 12 34 56 "
    assert dev["." + ENT + ".1.1.0"] == 'STRING: "KVX qmr USB Server 4-port; version 20.1.22"'
    # Passwords read masked; internal and absent parameters are not there.
    assert dev["." + ENT + ".2.41.12.0"] == 'STRING: "****"'
    assert "." + ENT + ".2.1.22.0" not in dev, "language is internal"
    assert not any(k.startswith("." + ENT + ".2.11.1.") for k in keys), "no Wi-Fi on this product"


def test_walks_agree_over_every_version(agent, manager):
    # The communities and the SNMPv3 user see the same objects: a walk over v1, a bulk
    # walk over v2c and one over v3 give the same instances of MIB-II and the device MIB.
    v3_admin = v3(*SHA_AES)
    mib2 = {"v2c": manager.values("snmpbulkwalk", "1.3.6.1.2.1"),
            "v1": manager.values("snmpwalk", "1.3.6.1.2.1", version=("-v1", "-c", "velmor")),
            "v3": manager.values("snmpbulkwalk", "1.3.6.1.2.1", version=v3_admin)}
    assert set(mib2["v3"]) == set(mib2["v2c"])
    # SNMPv1 cannot carry a Counter64: those instances are skipped, and only those.
    wide = {k for k, v in mib2["v2c"].items() if v.startswith("Counter64:")}
    assert set(mib2["v1"]) == set(mib2["v2c"]) - wide
    assert ".1.3.6.1.2.1.1.5.0" in mib2["v1"]

    first = manager.values("snmpbulkwalk", ENT, version=v3_admin)
    walks = {"v1": manager.values("snmpwalk", ENT, version=("-v1", "-c", "velmor")),
             "v2c": manager.values("snmpbulkwalk", ENT)}
    last = manager.values("snmpbulkwalk", ENT, version=v3_admin)
    assert len(first) > 149
    for name, walk in walks.items():
        assert list(walk) == list(first), name
        # Values agree but for those that changed while the walks ran (between the two
        # SNMPv3 walks around them).
        differ = [k for k in first if walk[k] != first[k] and first[k] == last[k]]
        assert not differ, (name, [(k, walk[k], first[k]) for k in differ])


# Table, first value column, rows expected on the 4-port product 287.
TABLES = [
    ("2.44.2", 2, 8),   # ipFilterTab: the "ip_filter_" limit of 4 ports
    ("2.45.2", 2, 8),   # macFilterTab
    ("5.10.2", 2, 4),   # usbPortTab: one row per port
    ("5.20.2", 2, None),  # zqnDevTab: as many rows as the USB server keeps devices
    ("5.11.2", 2, 8),   # zqnPortKeyTab: two keys per port
    ("2.43.2", 2, 5),   # zqnVLanTab: ports + 1
]


def test_tables_walk_with_their_indexes(agent, manager):
    devices = manager.values("snmpget", ENT + ".5.20.1.0")["." + ENT + ".5.20.1.0"]
    for table, column, rows in TABLES:
        rows = rows or int(devices.split()[-1])
        col = "%s.%s.1.%d" % (ENT, table, column)
        got = manager.values("snmpbulkwalk", col)
        assert [int(k.rsplit(".", 1)[1]) for k in got] == list(range(1, rows + 1)), table
    cells = manager.values("snmpget", ENT + ".2.44.2.1.3.5", ENT + ".2.44.2.1.2.5", ENT + ".5.10.2.1.6.1",
                           ENT + ".2.44.2.1.2.65")
    assert cells["." + ENT + ".2.44.2.1.3.5"].startswith(("STRING", '""'))
    assert cells["." + ENT + ".2.44.2.1.2.5"] == "INTEGER: 0"
    assert "No Such Object" in cells["." + ENT + ".5.10.2.1.6.1"]
    assert "No Such" in cells["." + ENT + ".2.44.2.1.2.65"]
    # The walk of a whole table skips the columns without a parameter family.
    usb = manager.values("snmpbulkwalk", ENT + ".5.10.2")
    assert {k.split(".")[-2] for k in usb} == {"2", "3", "4", "5", "7", "9", "10", "12"}


def test_set_changes_and_saves_a_parameter(agent, root, manager):
    r = manager.set(ENT + ".2.1.21.0", "s", "ops@example.test")
    assert r.returncode == 0, r.stderr
    assert manager.values("snmpget", ENT + ".2.1.21.0")["." + ENT + ".2.1.21.0"] == 'STRING: "ops@example.test"'
    assert re.search(r"sys_contact = ops@example\.test\n", params_file(root))
    assert "call wrapper sys_contact" in agent.output()
    # A table cell over SNMPv3: the port key of port 2.
    r = manager.set(ENT + ".5.11.2.1.3.2", "s", "portkey2", version=v3(*SHA_AES))
    assert r.returncode == 0, r.stderr
    assert re.search(r"zqn_pkkey_2 = portkey2\n", params_file(root))
    # The mirror object writes the same parameter.
    r = manager.set(ENT + ".3.4.7.0", "i", "0")
    assert r.returncode == 0, r.stderr
    assert manager.values("snmpget", ENT + ".2.4.7.0")["." + ENT + ".2.4.7.0"] == "INTEGER: 0"


REFUSALS = [
    # OID, type, value, error status
    (ENT + ".2.1.35.0", "i", "70000", "wrongValue"),    # zqn_port out of range
    (ENT + ".2.1.35.0", "s", "9300", "wrongType"),      # an INTEGER object given a text
    (ENT + ".2.1.21.0", "s", "x" * 65, "wrongLength"),  # sys_contact holds 64 characters
    (ENT + ".2.1.40.0", "i", "3", "notWritable"),       # button_cnt is read-only
    (ENT + ".2.1.22.0", "i", "1", "notWritable"),       # language is internal
    (ENT + ".2.1.2.0", "s", "name", "notWritable"),     # the system group is read-only
    (ENT + ".2.8.1.0", "s", "10", "wrongType"),         # the action takes only an INTEGER
    (ENT + ".5.20.2.1.2.1", "s", "vendor", "notWritable"),  # zqnDevTab is read-only
    (ENT + ".5.11.2.1.2.1", "s", "ever", "wrongType"),  # a table cell refuses a wrong type
    (ENT + ".2.44.2.1.2.65", "i", "1", "noCreation"),   # no such row
]


def test_refused_sets_change_nothing(agent, root, manager):
    before = params_file(root)
    for oid, type_, value, status in REFUSALS:
        r = manager.set(oid, type_, value)
        assert r.returncode != 0, oid
        assert "Reason: " + status in r.stderr, (oid, r.stderr)
    assert params_file(root) == before
    got = manager.values("snmpget", ENT + ".2.1.35.0", ENT + ".2.1.21.0")
    assert got["." + ENT + ".2.1.35.0"] == "INTEGER: 9200"
    assert agent.proc.poll() is None


# The SNMPv1 error status a refusal reaches an SNMPv1 manager with.
V1_STATUS = {"wrongValue": "badValue", "wrongType": "badValue", "wrongLength": "badValue",
             "notWritable": "noSuchName", "noCreation": "noSuchName"}


def test_refused_sets_over_v1_change_nothing(agent, root, manager):
    before = params_file(root)
    for oid, type_, value, status in REFUSALS:
        r = manager.set(oid, type_, value, version=("-v1", "-c", "velmor"))
        assert r.returncode != 0, oid
        assert "Reason: (%s)" % V1_STATUS[status] in r.stderr, (oid, r.stderr)
        assert "Failed object: .%s\n" % oid in r.stderr, (oid, r.stderr)
    assert params_file(root) == before
    assert agent.proc.poll() is None


# SETs of several bindings in one PDU to the tables: (bindings, error status and the
# failed binding, or None).
TABLE_SETS = [
    # The table entry itself (no column, no row) ahead of a real cell: this once made the
    # table helpers read far beyond the first OID and crashed the daemon.
    ([(ENT + ".5.11.2.1", "s", "ops"), (ENT + ".5.11.2.1.3.2", "s", "key2")], ("notWritable", 0)),
    ([(ENT + ".5.11.2.1.3.2", "s", "key2"), (ENT + ".5.11.2", "s", "ops")], ("noCreation", 1)),
    ([(ENT + ".5.11.2.1.3.2", "s", "key2"), (ENT + ".5.11.2.1.99.2", "s", "x")], ("noCreation", 1)),
    # Cells of two rows and two tables in one PDU each land in their own parameter.
    ([(ENT + ".5.11.2.1.3.2", "s", "key2"), (ENT + ".5.11.2.1.3.3", "s", "key3"),
      (ENT + ".5.10.2.1.12.1", "s", "desk")], None),
]


def test_multi_binding_table_sets(agent, root, manager):
    for bindings, status in TABLE_SETS:
        before = params_file(root)
        args = [x for b in bindings for x in b]
        r = manager.run("snmpset", *args, check=False)
        if status:
            assert r.returncode != 0, bindings
            assert "Reason: " + status[0] in r.stderr, (bindings, r.stderr)
            assert "Failed object: .%s\n" % bindings[status[1]][0] in r.stderr, (bindings, r.stderr)
            assert params_file(root) == before, bindings
        else:
            assert r.returncode == 0, r.stderr
            saved = params_file(root)
            for line in ("zqn_pkkey_2 = key2\n", "zqn_pkkey_3 = key3\n", "zqn_dscr_1 = desk\n"):
                assert line in saved, line
        # The agent still answers.
        assert "QMR-0287A1" in manager.get(SYS_NAME)
    assert agent.proc.poll() is None


def test_multi_binding_table_reads(agent, manager):
    # Several bindings into one table in one request: the entry OID with an OID beside the
    # entry, and two cells; each binding gets its own answer and the agent lives on.
    for tool, oids in (("snmpgetnext", (ENT + ".5.11.2.1", ENT + ".5.11.2.45.3.2")),
                       ("snmpgetnext", (ENT + ".5.11.2.1.3.1", ENT + ".5.11.2.1.3.2")),
                       ("snmpget", (ENT + ".5.11.2.1.3.1", ENT + ".5.11.2.1.3.2"))):
        got = manager.values(tool, *oids)
        assert len(got) == 2, (tool, oids, got)
    assert "QMR-0287A1" in manager.get(SYS_NAME)
    assert agent.proc.poll() is None


def test_changed_community_works_after_reconfiguration(agent, root, manager):
    r = manager.set(ENT + ".2.7.20.0", "s", "newcomm")
    assert r.returncode == 0, r.stderr
    r = manager.set(ENT + ".2.41.12.0", "s", "freshpass3", version=v3(*SHA_AES))
    assert r.returncode == 0, r.stderr
    ok, lines = agent.simctl("post", "NET-SNMPD", "0x4000")
    assert ok and lines[0] == "1", lines
    agent.wait_for(lambda: "rwcommunity  newcomm" in open(root.file("/var/snmpd.conf")).read(),
                   what="the rewritten configuration")

    def new_works():
        r = manager.run("snmpget", SYS_NAME, version=("-v2c", "-c", "newcomm"), check=False)
        return r.returncode == 0 and "QMR-0287A1" in r.stdout
    agent.wait_for(new_works, what="the new community")
    old = manager.run("snmpget", SYS_NAME, check=False)
    assert old.returncode != 0
    # The user's new password holds from the re-read on, the old one no longer.
    assert "QMR-0287A1" in manager.get(SYS_NAME, version=v3("SHA", "freshpass3", "AES", "privpass12"))
    assert manager.run("snmpget", SYS_NAME, version=v3(*SHA_AES), check=False).returncode != 0


def test_agent_answers_only_on_its_management_interface(daemon, root, manager):
    # With a management VLAN the agent's sockets are bound to its sub-interface: requests
    # to the VLAN's address are answered, requests over the untagged interface are not.
    # A reconfiguration binds them again, to what the parameters name by then.
    net = daemon.net
    vlan_addr = "198.19.%s.1" % net.subnet.rsplit(".", 1)[1]
    start_agent(daemon, root, "ipvlan_mgmt = on\nipvlan_mgmt_idx = 1\nipvlan_on_1 = on\nipvlan_id_1 = 7\n"
                "ipvlan_addr_1 = %s\nipvlan_pfxlen_1 = 24\n" % vlan_addr)
    if net.run_device("ip", "-o", "addr", "show", "dev", "eth0.7", check=False).returncode != 0:
        pytest.skip("no VLAN sub-interface in this namespace")
    net.run_client("ip", "addr", "add", vlan_addr.rsplit(".", 1)[0] + ".2/24", "dev", "eth0")

    def answers(host):
        r = manager.run("snmpget", SYS_NAME, check=False, host=host)
        return r.returncode == 0 and "QMR-0287A1" in r.stdout

    def answered_on():
        return [answers(vlan_addr), answers(net.device_addr)]

    daemon.wait_for(lambda: answers(vlan_addr), timeout=30, what="an answer on the VLAN")
    assert answered_on() == [True, False]
    ok, lines = daemon.simctl("post", "NET-SNMPD", "0x4000")
    assert ok and lines[0] == "1", lines
    daemon.wait_output("Reconfiguring daemon")
    assert answered_on() == [True, False]
    # Without a management VLAN index the agent belongs to the main interface alone.
    r = manager.set(ENT + ".2.43.11.0", "i", "0", host=vlan_addr)
    assert r.returncode == 0, r.stderr
    ok, lines = daemon.simctl("post", "NET-SNMPD", "0x4000")
    assert ok and lines[0] == "1", lines
    daemon.wait_for(lambda: answers(net.device_addr), timeout=30, what="an answer on the main interface")
    assert net.run_device("ip", "link", "show", "dev", "eth0.7", check=False).returncode == 0
    assert answered_on() == [False, True]


def test_engine_boots_grow_across_a_restart(net, root, manager):
    boots = []
    for _ in range(2):
        d = Daemon(net, root)
        try:
            start_agent(d, root, admin_params(*SHA_AES) if not boots else "")
            got = manager.values("snmpget", ENGINE_BOOTS, version=v3(*SHA_AES))
            boots.append(int(got["." + ENGINE_BOOTS].split()[-1]))
            assert d.stop() == 0
        finally:
            d.close()
    assert boots[1] == boots[0] + 1


def test_changed_password_replaces_the_old_key(net, root, manager):
    d = Daemon(net, root)
    try:
        start_agent(d, root, admin_params(*SHA_AES))
        manager.get(SYS_NAME, version=v3(*SHA_AES))
        assert d.stop() == 0
    finally:
        d.close()
    with open(root.file("/etc/params.dat"), "a") as f:
        f.write("admin_pwd = otherpass2\n")
    d = Daemon(net, root)
    try:
        start_agent(d, root)
        assert "QMR-0287A1" in manager.get(SYS_NAME, version=v3("SHA", "otherpass2", "AES", "privpass12"))
        old = manager.run("snmpget", SYS_NAME, version=v3(*SHA_AES), check=False)
        assert old.returncode != 0
    finally:
        d.close()


def test_action_object_and_printer_reset(agent, root, manager):
    # prtGeneralReset takes a value and keeps reading notResetting; action 5 does nothing.
    assert manager.set("1.3.6.1.2.1.43.5.1.1.3.1", "i", "4").returncode == 0
    assert manager.values("snmpget", "1.3.6.1.2.1.43.5.1.1.3.1")[".1.3.6.1.2.1.43.5.1.1.3.1"] == "INTEGER: 3"
    assert manager.set(ENT + ".2.8.1.0", "i", "5").returncode == 0
    assert agent.proc.poll() is None
    # 9 removes the parameter file, then the daemon stops with its plain status.
    r = manager.set(ENT + ".2.8.1.0", "i", "9")
    assert r.returncode == 0, r.stderr
    assert agent.proc.wait(30) == 0
    assert not os.path.exists(root.file("/etc/params.dat"))


def test_action_stop_keeps_the_parameters(agent, root, manager):
    # 10 stops the daemon in the orderly way with its plain status; the parameters stay.
    before = params_file(root)
    r = manager.set(ENT + ".2.8.1.0", "i", "10")
    assert r.returncode == 0, r.stderr
    assert agent.proc.wait(30) == 0
    assert params_file(root) == before


def test_exit_message_with_reconfiguration_stops_the_agent_only(agent, root, manager):
    # An exit message that also carries the configuration-changed flag ends the agent
    # without writing its file again; the rest of the daemon runs on.
    assert manager.set(ENT + ".2.7.20.0", "s", "newcomm").returncode == 0
    with open(root.file("/var/snmpd.conf")) as f:
        conf = f.read()
    ok, lines = agent.simctl("post", "NET-SNMPD", "0x4002")
    assert ok and lines[0] == "1", lines
    agent.wait_output("shutting down")
    assert manager.run("snmpget", SYS_NAME, check=False).returncode != 0
    with open(root.file("/var/snmpd.conf")) as f:
        assert f.read() == conf
    assert agent.proc.poll() is None
    assert agent.stop() == 0


def test_hostile_texts_keep_their_meaning(daemon, root, manager):
    start_agent(daemon, root, "admin_name = Ad min'x#\nany_name = x\" rwuser \"y\nadmin_pwd = pa'ss\\word1\nadmin_hash = sha\n"
                "admin_cipher = aes\nadmin_passphrase = ph'rase\\ x1\nsnmpv1_community = pub lic#1\n"
                "sys_descr = \"quoted\" #location\n")
    creds = v3("SHA", "pa'ss\\word1", "AES", "ph'rase\\ x1", user="Ad min'x#")
    got = manager.values("snmpget", "1.3.6.1.2.1.1.6.0", version=creds)
    assert got[".1.3.6.1.2.1.1.6.0"] == 'STRING: "\\"quoted\\" #location"'
    assert "QMR-0287A1" in manager.get(SYS_NAME, version=("-v2c", "-c", "pub lic#1"))
    assert manager.run("snmpget", SYS_NAME, version=("-v2c", "-c", "pub"), check=False).returncode != 0


def test_trap_request_leaves_from_the_agent(daemon, root, net):
    start_agent(daemon, root, "trapversion_1 = v1\ntrapto_1 = %s\ntrapcommu_1 = trapper\n" % net.client_addr)
    receiver = subprocess.Popen(
        ["ip", "netns", "exec", net.client, "python3", "-c",
         "import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\ns.bind(('',162))\n"
         "print('ready',flush=True)\ns.settimeout(20)\n"
         "while True:\n p=s.recv(4096)\n print(p.hex(),flush=True)\n"
         " if b'\\x02\\x01\\x06\\x02\\x01\\x33' in p: break\n"],
        stdout=subprocess.PIPE, text=True)
    try:
        assert receiver.stdout.readline().strip() == "ready"
        ok, lines = daemon.simctl("trap", "6", "51")
        assert ok, lines
        # The agent's own start traps (cold or warm start) may come before the requested one.
        packets = [bytes.fromhex(line) for line in receiver.communicate(timeout=30)[0].split()]
    finally:
        receiver.kill()
    # An SNMPv1 trap PDU (0xa4) with the target's community and the specific code 51.
    wanted = [p for p in packets if b"\x02\x01\x06\x02\x01\x33" in p]
    assert len(wanted) == 1, packets
    assert b"\x04\x07trapper\xa4" in wanted[0]
