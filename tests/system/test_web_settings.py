"""The settings, monitoring, backup and download pages of the web interface, driven with
curl from the client namespace: forms as the browser sends them, the actions behind
links, and the downloads."""
import html.parser
import os
import re
import subprocess
import time
import urllib.parse

import pytest

from conftest import Daemon, SandboxRoot
from webutil import ADMIN_PWD, curl, login, session_cookie, start_web, wait_exit

OK = "HTTP/1.1 200 OK"
CHANGED = "Parameters have been changed."

# The settings pages of a product with mail, relay, slot and IP VLANs (287).
PAGES = ["/network/ipv4.html", "/network/ipv6.html", "/network/ipvlan.html", "/network/dns.html",
         "/network/bonjour.html", "/network/servers.html", "/device/description.html", "/device/port.html",
         "/device/time.html", "/network/email.html", "/device/notify.html", "/device/monitor.html",
         "/device/relay.html", "/maintenance/backup.html"]


class FormParser(html.parser.HTMLParser):
    """The fields of the settings form as a browser would send them, in order."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []
        self.form = None
        self.select = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.form = {"action": a.get("action"), "class": a.get("class", ""), "fields": [], "selects": {}}
            self.forms.append(self.form)
        elif self.form is None:
            return
        elif tag == "input" and a.get("name"):
            kind = a.get("type", "text")
            if kind == "checkbox" and "checked" not in a:
                return
            self.form["fields"].append([a["name"], a.get("value", ""), kind])
        elif tag == "select":
            self.select = [a["name"], None, "select"]
            self.form["fields"].append(self.select)
            self.form["selects"][a["name"]] = []
        elif tag == "option" and self.select is not None and "disabled" not in a:
            self.form["selects"][self.select[0]].append(a.get("value"))
            if self.select[1] is None or "selected" in a:
                self.select[1] = a.get("value")

    def handle_endtag(self, tag):
        if tag == "form":
            self.form = None
        elif tag == "select":
            self.select = None


def settings_form(body):
    p = FormParser()
    p.feed(body)
    forms = [f for f in p.forms if "settings" in f["class"]]
    assert len(forms) == 1, body[:2000]
    return forms[0]


def encode(fields):
    return urllib.parse.urlencode([(n, v) for n, v, _ in fields])


def params_text(root):
    with open(root.file("/etc/params.dat"), "rb") as f:
        return f.read()


def param_line(root, name):
    m = re.search(rb"^\s*%s = (.*)$" % re.escape(name.encode()), params_text(root), re.M)
    return m.group(1).decode() if m else None


def post(daemon, path, data, *args):
    return curl(daemon, path, "--data-binary", data, "-H", "Content-Type: application/x-www-form-urlencoded", *args)


@pytest.fixture
def web(daemon, root):
    # A trap receiver and mail server make the optional blocks of the pages appear.
    return start_web(daemon, smtp_srv="mail.example.org")


def test_pages_render_and_forms_round_trip(web, root):
    for path in PAGES:
        status, _, body = curl(web, path)
        assert status == OK, path
        assert "overrun" not in body, path
        form = settings_form(body)
        before = params_text(root)
        status, _, body = post(web, path, encode(form["fields"]))
        assert status == OK, path
        assert CHANGED not in body, (path, form["fields"])
        assert params_text(root) == before, path
    # German pages carry German labels.
    _, _, body = curl(web, "/device/monitor_de.html")
    assert "Überwachung" in body


# One text, one on/off and one select field of each page: (page, name, new value).
CHANGES = [
    ("/network/dns.html", "dns_domain", "lab.example.org"),
    ("/network/dns.html", "dns_1st4", "off"),
    ("/network/servers.html", "syslogng_srv", "logs.example.org"),
    ("/network/servers.html", "wdav_ssl", "on"),
    ("/network/bonjour.html", "bonjour_name", "Lab <b>\"printer\"</b>"),
    ("/device/time.html", "ntp_server", "ntp.example.org"),
    ("/device/time.html", "ntp_tzone", "GMT"),
    ("/network/email.html", "smtp_secure", "ssl"),
    ("/network/email.html", "pop3_srv", "pop.example.org"),
    ("/device/notify.html", "notistat_d", "fr"),
    ("/device/notify.html", "notisys_2", "off"),
    ("/device/notify.html", "mailto_1", "ops@example.org"),
    ("/device/monitor.html", "monimailto", "moni@example.org"),
    ("/device/monitor.html", "monimail", "on"),
    ("/device/relay.html", "relay_ctrl", "eve"),
    ("/device/relay.html", "relay_eve_ucon", "any"),
    ("/maintenance/backup.html", "wdav_bupdir", "backups"),
    ("/maintenance/backup.html", "notibup_1", "on"),
    ("/device/port.html", "zqn_heartbeat", "240"),
    ("/network/ipvlan.html", "ipvlan_id_2", "222"),
]


def changed_form(form, name, value):
    fields = [list(f) for f in form["fields"]]
    kinds = {f[2] for f in fields if f[0] == name}
    if "checkbox" in kinds or "hidden" in kinds and any(f[0] == name for f in fields):
        # on/off: the hidden "off", then the box when it is checked.
        fields = [f for f in fields if not (f[0] == name and f[2] == "checkbox")]
        if value == "on":
            at = max(i for i, f in enumerate(fields) if f[0] == name)
            fields.insert(at + 1, [name, "on", "checkbox"])
        return fields
    if "select" in kinds:
        assert value in form["selects"][name], (name, form["selects"][name])
    hit = False
    for f in fields:
        if f[0] == name:
            f[1] = value
            hit = True
    assert hit, name
    return fields


def test_one_change_per_field_saves_exactly_that_line(web, root):
    expected = {}
    for path, name, value in CHANGES:
        _, _, body = curl(web, path)
        form = settings_form(body)
        before = params_text(root).decode().splitlines()
        status, _, body = post(web, path, encode(changed_form(form, name, value)))
        assert status == OK and CHANGED in body, (path, name)
        after = params_text(root).decode().splitlines()
        diff = [line for line in after if line not in before]
        assert [d.split("=")[0].strip() for d in diff] == [name], (name, diff)
        assert param_line(root, name) == value
        expected[name] = value
        # Shown after a reload.
        _, _, body = curl(web, path)
        shown = settings_form(body)
        values = [f[1] for f in shown["fields"] if f[0] == name]
        assert value in values, (name, values)
    # A text with markup is shown as text.
    _, _, body = curl(web, "/network/bonjour.html")
    assert "<b>\"printer\"" not in body and "&lt;b&gt;&quot;printer&quot;" in body

    # Back after a restart.
    web.stop()
    d = Daemon(web.net, root)
    try:
        start_web(d)
        for path, name, value in CHANGES:
            _, _, body = curl(d, path)
            values = [f[1] for f in settings_form(body)["fields"] if f[0] == name]
            assert value in values, (name, values)
    finally:
        d.close()


def test_restart_class_field_gives_wait_page(net, root):
    d = Daemon(net, root)
    try:
        start_web(d)
        _, _, body = curl(d, "/network/ipv4.html")
        form = settings_form(body)
        status, _, body = post(d, "/network/ipv4.html", encode(changed_form(form, "ip_pfxlen", "25")))
        assert status == OK and "The device is restarting." in body
        assert 'content="10; url=http://%s/network/ipv4' % d.net.device_addr in body, body[:1500]
        assert wait_exit(d) == 0
    finally:
        d.close()
    d = Daemon(net, root)
    try:
        start_web(d)
        assert param_line(root, "ip_pfxlen") == "25"
        _, _, body = curl(d, "/network/ipv4.html")
        assert ["ip_pfxlen", "25", "number"] in settings_form(body)["fields"]
        # A new address: set by "http", and the refresh goes to it, whatever Host said.
        new = d.net.device_addr.rsplit(".", 1)[0] + ".77"
        form = settings_form(body)
        status, _, body = post(d, "/network/ipv4.html", encode(changed_form(form, "ip_addr", new)),
                               "-H", "Host: <b>evil.example</b>")
        assert 'content="10; url=http://%s/network/ipv4' % new in body, body[:1500]
        assert "evil" not in body
        assert wait_exit(d) == 0
        assert param_line(root, "ip_setby") == "http" and param_line(root, "ip_addr") == new
    finally:
        d.close()


def test_concealed_secret_round_trips_and_empty_clears(web, root):
    status, _, body = post(web, "/network/servers.html", "action=set&wdav_pwd=dav-secret")
    assert CHANGED in body
    assert param_line(root, "wdav_pwd") == "dav-secret"
    _, _, body = curl(web, "/network/servers.html")
    assert "dav-secret" not in body
    assert ["wdav_pwd", "****", "password"] in settings_form(body)["fields"]
    before = params_text(root)
    _, _, body = post(web, "/network/servers.html", "action=set&wdav_pwd=****")
    assert CHANGED not in body and params_text(root) == before
    _, _, body = post(web, "/network/servers.html", "action=set&wdav_pwd=")
    assert CHANGED in body and param_line(root, "wdav_pwd") == ""


def test_monitor_set_bupnow_and_cleanup(web, root):
    _, _, body = curl(web, "/device/monitor.html")
    boxes = re.findall(r'name="MoniFlag_(\d+)"', body)
    assert boxes == ["0", "1", "2", "3", "4"]
    # Categories 0, 2 and 4 on; bit numbers outside the five are ignored.
    status, _, body = post(web, "/device/monitor.html",
                           "action=set&monitoring=off&monitoring=on&MoniFlag_0=1&MoniFlag_2=1&MoniFlag_4=1"
                           "&MoniFlag_9=1&MoniFlag_31=1&MoniFlag_77=1")
    assert status == OK and CHANGED in body
    assert param_line(root, "moniflags") == str(1 | 4 | 16)
    assert param_line(root, "monitoring") == "on"
    checked = re.findall(r'name="MoniFlag_(\d+)" value="1" checked', body)
    assert checked == ["0", "2", "4"]
    # The same form again changes nothing.
    _, _, body = post(web, "/device/monitor.html",
                      "action=set&monitoring=off&monitoring=on&MoniFlag_0=1&MoniFlag_2=1&MoniFlag_4=1")
    assert CHANGED not in body

    # Log lines exist: the page visits are logged (ACC) and the parameter changes (PAR).
    curl(web, "/start.html")
    web.wait_for(lambda: root.moni_text() != "", what="monitoring lines")
    # bupnow without WebDAV or mail set up: the page, no message.
    _, _, body = curl(web, "/device/monitor.html?action=bupnow")
    assert "Send email now..." not in body and "Backup monitoring data..." not in body
    post(web, "/device/monitor.html", "action=set&monimail=on&monimailto=moni%40example.org"
                                      "&MoniFlag_0=1&MoniFlag_2=1&MoniFlag_4=1")
    _, _, body = curl(web, "/device/monitor.html?action=bupnow")
    assert "Send email now..." in body
    assert 'content="5; url=http://%s/device/monitor' % web.net.device_addr in body

    # The HTML view escapes the log text; cleanup deletes the files.
    post(web, "/device/description.html", "action=set&sys_contact=%3Cscript%3Ealert(1)%3C/script%3E")
    web.wait_for(lambda: "<script>" in root.moni_text() or "sys_contact" in root.moni_text(),
                 what="the parameter change in the log")
    # A file whose name holds markup is listed by its name as text.
    with open(root.file('/var/moni/monitor/x<b>"q".log'), "w") as f:
        f.write("<i>line</i>\n")
    status, headers, body = curl(web, "/txt/monilog")
    assert status == OK and headers["content-type"][0].startswith("text/html")
    assert "<pre><code>" in body and "Monitoring" in body
    assert "<script>" not in body and "<b>" not in body and "<i>" not in body
    assert "x&lt;b&gt;&quot;q&quot;.log" in body and "&lt;i&gt;line&lt;/i&gt;" in body
    status, _, body = curl(web, "/txt/monilog?action=cleanup")
    assert "All logs are deleted, monitoring is still active." in body
    assert 'url=http://%s/device/monitor' % web.net.device_addr in body
    files = os.listdir(root.file("/var/moni/monitor"))
    assert all(os.path.getsize(os.path.join(root.file("/var/moni/monitor"), f)) < 2000 for f in files), files
    _, _, body = curl(web, "/device/monitor.html")
    m = re.search(r"Lines written</th><td>(\d+)<", body)
    assert m and int(m.group(1)) < 5, body[:3000]


def test_downloads(web, root):
    curl(web, "/start.html")
    web.wait_for(lambda: os.path.isdir(root.file("/var/moni/sys")), what="the statistics directory")
    with open(root.file("/var/moni/sys/stat_<x>.csv"), "w") as f:
        f.write("a;b<c>\n")
    with open(root.file("/var/moni/sys/notes.txt"), "w") as f:
        f.write("not listed\n")
    default = open(root.file("/proc/product_params")).read()
    m = re.search(r"default_name\s*[=:]?\s*(\S+)", default)
    cases = [
        ("/txt/parameters.txt", "text/plain", None),
        ("/txt/hidden.txt", "text/plain", None),
        ("/txt/sysmon.txt", "text/plain", None),
        ("/bin/parameters", "application/octet-stream", "parameters.txt"),
        ("/bin/monilog", "application/octet-stream", "monitor.txt"),
        ("/bin/cert_self.pem", "application/octet-stream", "certssc.crt"),
        ("/bin/workload.bmp", "application/octet-stream", "workload.bmp"),
    ]
    for path, kind, name in cases:
        status, headers, body = curl(web, path)
        assert status == OK, path
        assert headers["content-type"][0].startswith(kind), (path, headers)
        if name:
            disposition = headers.get("content-disposition", [""])[0]
            assert disposition.startswith("attachment") and ("_%s" % name) in disposition, (path, disposition)
    # Listings against the catalogue's flags.
    catalogue = {}
    for line in open(os.path.join(os.path.dirname(__file__), "..", "..", "core", "params.tsv")):
        if line.startswith("#") or "\t" not in line:
            continue
        cols = line.rstrip("\n").split("\t")
        # The change class ("temporary") and the flags ("status", "internal").
        catalogue[cols[0]] = cols[4].split(",") + (cols[5].split(",") if len(cols) > 5 else [])
    _, _, body = curl(web, "/txt/parameters.txt")
    listed = re.findall(r"^ (\S+)\s+= ", body, re.M)
    assert "sys_name" in listed and "ip_addr" in listed
    for n in listed:
        flags = catalogue.get(n, [])
        assert not {"status", "internal", "temporary"} & set(flags), n
    assert "admin_pwd" not in body or re.search(r"^ admin_pwd\s+= (\*\*\*\*)?\r$", body, re.M)
    _, _, body = curl(web, "/txt/hidden.txt")
    hidden = re.findall(r"^ (\S+)\s+= ", body, re.M)
    assert "moniflags" in hidden and "relay_eves" in hidden
    for n in hidden:
        assert {"internal", "temporary"} & set(catalogue.get(n, [])), n
    assert re.search(r"^ relay_eves\s+= 0 \(temporarily\)\r$", body, re.M)
    assert not re.search(r"^ moniflags\s+= .*temporarily", body, re.M)
    # Text dump of the statistics: only ".csv" files, text as it is.
    _, _, body = curl(web, "/txt/sysmon.txt")
    assert "=== <stat_<x>.csv>" in body and "a;b<c>" in body and "not listed" not in body
    # The load chart is a whole BMP.
    r = subprocess.run(["ip", "netns", "exec", web.net.client, "curl", "-s", "--max-time", "20",
                        "http://%s/bin/workload.bmp" % web.net.device_addr], capture_output=True, timeout=60)
    assert r.stdout[:2] == b"BM" and int.from_bytes(r.stdout[2:6], "little") == len(r.stdout)
    assert not os.path.exists(root.file("/tmp/workload.bmp.new"))


def clock_state(daemon):
    ok, lines = daemon.simctl("state")
    assert ok, lines
    words = dict(line.split(" ", 1) for line in lines if " " in line)
    return int(words.get("clock_sets", "0")), int(words.get("clock_last", "0"))


def test_time_page_sets_the_clock(web, root):
    status, _, body = post(web, "/device/time.html", "now=2031-05-06+07%3A08%3A09")
    assert status == OK
    sets, last = clock_state(web)
    assert sets >= 1
    # Local time of the appliance's zone: within a day of the UTC reading.
    assert abs(last - 1935817689) < 86400, last
    assert "2031-05-06 07:0" in body
    assert param_line(root, "ntp_done") in (None, "off")
    # Values that do not parse change nothing.
    for bad in ("2031-02-30+07%3A08%3A09", "2031-05-06+24%3A00%3A00", "2031-5-6+7%3A8%3A9", "now", "",
                "2031-05-06+07%3A08%3A09x"):
        post(web, "/device/time.html", "now=" + bad)
    assert clock_state(web)[0] == sets


def test_relay_clear_and_absent_features(web, root, net):
    _, _, body = curl(web, "/device/relay.html")
    assert "Open (fixed)" in body
    post(web, "/device/relay.html", "action=set&relay_ctrl=eve&relay_eve_start=on")
    _, _, body = curl(web, "/device/relay.html?clear=1")
    assert "open" in body and "Eves" not in body
    web.stop()
    # Product 305 has no relay: its page is a server error.
    root305 = SandboxRoot(product="p305_2port", device_addr=net.device_addr)
    d = Daemon(net, root305)
    try:
        start_web(d)
        status, _, _ = curl(d, "/device/relay.html")
        assert status.startswith("HTTP/1.1 500")
        _, _, body = curl(d, "/start.html")
        assert "/device/relay_" not in body
    finally:
        d.close()
        root305.close()


def test_get_actions_need_the_session_cookie(daemon, root, tmp_path):
    start_web(daemon, logins=True)
    # Without the session cookie (a cross-site request) the action is not run.
    status, headers, _ = curl(daemon, "/txt/monilog?action=cleanup")
    assert status.startswith("HTTP/1.1 302") or "index" in headers.get("location", [""])[0]
    jar = str(tmp_path / "jar")
    _, headers, _ = login(daemon, jar=jar)
    cookie = [v for v in headers.get("set-cookie", []) if v.startswith("SessKey=")][0]
    assert "SameSite=Strict" in cookie
    status, _, body = curl(daemon, "/device/relay.html", "-b", jar)
    assert status == OK and "Relay" in body


BROWSER_PAGES = PAGES + ["/network/wlan.html"]


def run_browser(daemon, user, pwd):
    import json
    import shutil
    from conftest import BUILD
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("Chromium and its driver are not installed (scripts/deps)")
    here = os.path.dirname(os.path.abspath(__file__))
    artifacts = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "web"))
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3",
                        os.path.join(here, "browser_pages.py"), "http://%s" % daemon.net.device_addr,
                        os.path.join(artifacts, "settings"), user, pwd] + BROWSER_PAGES,
                       capture_output=True, text=True, timeout=500)
    assert r.returncode == 0, r.stderr[-3000:]
    return json.loads(r.stdout.strip().splitlines()[-1])


def test_browser_settings_pages_as_administrator_and_user(daemon, root):
    from webutil import USER_PWD
    start_web(daemon, logins=True)
    found = run_browser(daemon, "Admin", ADMIN_PWD)
    assert found["console"] == [] and found["failed"] == [], found
    german = {"/device/monitor.html": "Überwachung", "/device/time.html": "Zeit", "/maintenance/backup.html": "Sicherung",
              "/device/relay.html": "Relais", "/network/servers.html": "Server"}
    for p in found["pages"]:
        assert p["url"].endswith(p["page"].replace(".html", "_%s.html" % p["lang"])), p
        assert p["html_lang"] == p["lang"] and p["h1"] and p["notice"] == "", p
        if p["lang"] == "de" and p["page"] in german:
            assert p["h1"] == german[p["page"]], p
    # A user is sent away from every one of them, to the login page.
    found = run_browser(daemon, "User", USER_PWD)
    assert found["console"] == [] and found["failed"] == [], found
    for p in found["pages"]:
        assert re.search(r"/index(_[a-z]{2})?\.html$", p["url"]), p


def test_browser_settings_pages_as_usb_manager_and_without_session_keys(daemon, root):
    # A USB manager is sent to the start page from every settings page.
    start_web(daemon, logins=True, usbMg_pwd="secret-usbmg-1")
    found = run_browser(daemon, "USB Manager", "secret-usbmg-1")
    assert found["console"] == [] and found["failed"] == [], found
    for p in found["pages"]:
        assert re.search(r"/start_%s\.html$" % p["lang"], p["url"]), p
    assert daemon.stop() == 0
    # Without session keys every settings page opens as the administrator's.
    with open(root.file("/etc/params.dat")) as f:
        text = f.read()
    with open(root.file("/etc/params.dat"), "w") as f:
        f.write(re.sub(r"(?m)^ *sessKeys *= *on *$", "sessKeys = off", text))
    daemon.start()
    daemon.wait_for(lambda: curl(daemon, "/css/qmr.css")[0] == OK, 60, "the web server")
    found = run_browser(daemon, "-", "")
    assert found["console"] == [] and found["failed"] == [], found
    for p in found["pages"]:
        assert p["url"].endswith(p["page"].replace(".html", "_%s.html" % p["lang"])), p
        assert p["html_lang"] == p["lang"] and p["h1"] and p["notice"] == "", p


def test_monilog_with_another_action_deletes_nothing(web, root):
    curl(web, "/start.html")
    web.wait_for(lambda: root.moni_text() != "", what="monitoring lines")
    before = root.moni_text()
    for action in ("cleanupx", "bupnow", "%3Cb%3E"):
        status, _, body = curl(web, "/txt/monilog?action=" + action)
        assert not status.startswith("HTTP/1.1 5"), (action, status)
        assert "All logs are deleted" not in body and "<b>" not in body, (action, body[:500])
        assert root.moni_text().startswith(before[:200]), action
