"""The status, USB port, security and information pages: crawled in a browser as each
role in English and German, their forms submitted as rendered and changed, and the
port table, disconnection, information streams and escaping checked with curl."""
import html
import html.parser
import json
import os
import re
import shutil
import struct
import subprocess
import time
import urllib.parse

import pytest

import usb_env
from conftest import BUILD, REPO, Daemon, SandboxRoot
from webutil import ADMIN_PWD, USER_PWD, add_params, curl, login, session_cookie, start_web, wait_exit

HERE = os.path.dirname(os.path.abspath(__file__))
ARTIFACTS = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "web_pages"))
USBMG_PWD = "secret-usbmg-1"
ROLES = {"admin": ("Admin", ADMIN_PWD), "usbmg": ("USB Manager", USBMG_PWD), "user": ("User", USER_PWD)}

MY_PAGES = ["/start.html", "/security/ssl.html", "/security/details.html", "/security/http.html",
            "/security/snmp.html", "/security/port_access.html", "/security/usb.html",
            "/security/usbport1.html", "/security/usbpsec1.html", "/security/authentication.html",
            "/info/index.html", "/sitemap.html", "/contact.html", "/opensrc.html"]


@pytest.fixture(params=["p287_4port", "p305_2port"])
def web(request, net):
    """A daemon of the product, not yet started."""
    root = SandboxRoot(product=request.param, device_addr=net.device_addr)
    d = Daemon(net, root)
    d.product = request.param
    d.ports = 4 if request.param == "p287_4port" else 2
    yield d
    d.close()
    root.close()


def start(daemon, logins=False, **params):
    if logins:
        params.setdefault("usbMg_pwd", USBMG_PWD)
    return start_web(daemon, logins=logins, zqn_port=usb_env.PLAIN_PORT, **params)


def get(daemon, path, *args):
    status, headers, body = curl(daemon, path, *args)
    parts = status.split()
    # No status line means curl reached no server (it is still starting).
    return (int(parts[1]) if len(parts) > 1 else 0), headers, body


def params_text(daemon):
    with open(daemon.root.file("/etc/params.dat"), "rb") as f:
        return f.read()


def param_lines(data):
    out = {}
    for line in data.decode(errors="replace").splitlines():
        name, sep, value = line.partition("=")
        if sep:
            out[name.strip()] = value.strip()
    return out


def jar_for(daemon, role, tmp):
    """A cookie jar signed in as the role."""
    name, pwd = ROLES[role]
    jar = os.path.join(tmp, role + ".jar")
    status, headers, _ = login(daemon, name, pwd, jar=jar)
    assert session_cookie(headers), (role, status)
    return jar


# ---------------------------------------------------------------- forms

class FormReader(html.parser.HTMLParser):
    """The first POST form of a page: its action and the fields a browser would send."""

    def __init__(self):
        super().__init__()
        self.action, self.fields, self.in_form, self.select, self.done = None, [], False, None, False
        self.options = {}

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form" and a.get("method", "").lower() == "post" and not self.done and "name" not in a:
            if self.action is None:
                self.action, self.in_form = a.get("action"), True
            return
        if not self.in_form:
            return
        if tag == "input" and a.get("name"):
            kind = a.get("type", "text")
            if kind == "checkbox":
                if "checked" in a:
                    self.fields.append([a["name"], a.get("value", "on")])
            elif kind != "submit":
                self.fields.append([a["name"], a.get("value", "")])
        elif tag == "select":
            self.select = [a["name"], None, None]
            self.options[a["name"]] = []
        elif tag == "option" and self.select:
            self.options[self.select[0]].append(a.get("value"))
            if self.select[2] is None:
                self.select[2] = a.get("value")
            if "selected" in a:
                self.select[1] = a.get("value")

    def handle_endtag(self, tag):
        if tag == "select" and self.select:
            self.fields.append([self.select[0], self.select[1] if self.select[1] is not None else self.select[2]])
            self.select = None
        elif tag == "form" and self.in_form:
            self.in_form, self.done = False, True


def read_form(daemon, path, *args):
    code, _, body = get(daemon, path, *args)
    assert code == 200, (path, body[:300])
    r = FormReader()
    r.feed(body)
    assert r.action, path
    return r, body


def submit(daemon, action, fields, *args):
    data = urllib.parse.urlencode([tuple(f) for f in fields])
    return get(daemon, action, "--data-binary", data, *args)


# Per page: a text field, an on/off field and a select field to change, with new values.
CHANGES = {
    "/security/ssl_en.html": [("sslmethod", "tls12")],
    "/security/http_en.html": [("any_name", "Guest \"one\""), ("sessKeyUList", "off"), ],
    "/security/snmp_en.html": [("snmpv1_community", "lab<one>"), ("snmpv1_ronly", "on"), ("admin_hash", "sha")],
    "/security/port_access_en.html": [("ip_filter_2", "198.18.9.7"), ("ip_filter_on_5", "on"),
                                      ("protection_level", "protec_tcp")],
    "/security/usb_en.html": [("zqn_ppwr_2", "off")],
    "/security/usbport1_en.html": [("zqn_tag_1", "Printer <A>"), ("zqn_dscr_1", "second floor")],
    "/security/usbpsec1_en.html": [("zqn_vendprodIDs_1", "1234:5678"), ("zqn_accctrl_1", "ids")],
    "/security/authentication_en.html": [("auth_name", "qmr-lab"), ("auth_typ", "PEAP")],
}


def restart_if_asked(daemon, body):
    """A restart-class change answers the wait page and ends the run with status 0."""
    if "restarting" not in body:
        return False
    assert wait_exit(daemon) == 0, daemon.output()
    daemon.close()
    daemon.start()
    daemon.wait_for(lambda: curl(daemon, "/css/qmr.css")[0].split()[1:2] == ["200"], timeout=60,
                    what="the web server again")  # no answer yet (refused) is "not yet"
    return True


def test_forms_round_trip_and_save_exactly_the_changed_fields(web):
    start(web)
    for page, changes in CHANGES.items():
        form, _ = read_form(web, page)
        before = params_text(web)
        code, _, body = submit(web, form.action, form.fields)
        assert code == 200, (page, body[:300])
        assert params_text(web) == before, (page, set(param_lines(params_text(web)).items()) ^ set(param_lines(before).items()))
        assert "Parameters have been changed." not in body, page
        assert params_text(web) == before, page

        fields = [list(f) for f in form.fields]
        for name, value in changes:
            if name in form.options:
                assert value in form.options[name], (page, name, form.options[name])
            hits = [f for f in fields if f[0] == name]
            assert hits, (page, name)
            if name in form.options:
                hits[-1][1] = value
            elif value == "off":
                fields = [f for f in fields if not (f[0] == name and f[1] == "on")]
            elif value == "on" and len(hits) == 1:
                fields.append([name, "on"])
            else:
                hits[-1][1] = value
        code, _, body = submit(web, form.action, fields)
        assert code == 200, (page, body[:300])
        restarted = restart_if_asked(web, body)
        if not restarted:
            assert "Parameters have been changed." in body, page
        old, new = param_lines(before), param_lines(params_text(web))
        changed = {k for k in set(old) | set(new) if old.get(k) != new.get(k)}
        if restarted:
            changed.discard("life")
        assert changed == {n for n, _ in changes}, (page, changed)
        for name, value in changes:
            assert new[name] == value, (page, name, new[name])
        # Shown after a reload: the new value is what the form holds now.
        again, _ = read_form(web, page)
        shown = dict((n, v) for n, v in again.fields if not (v == "off" and any(
            m == n and w == "on" for m, w in again.fields)))
        for name, value in changes:
            if name.startswith("zqn_pkkey") or "pwd" in name:
                continue
            assert shown.get(name) == value, (page, name, shown.get(name))


def test_usb_manager_stores_only_the_pages_own_fields(web, tmp_path):
    start(web, logins=True)
    jar = jar_for(web, "usbmg", str(tmp_path))
    before = param_lines(params_text(web))
    for page, extra in (("/security/usbpsec1_en.html", {"zqn_tag_1": "mine"}),
                        ("/security/usb_en.html", {"zqn_ppwr_2": "off"})):
        form, _ = read_form(web, page, "-b", jar)
        fields = [f for f in form.fields if f[0] not in extra] + list(extra.items())
        fields += [("admin_pwd", "evil-pwd"), ("sys_name", "taken"), ("zqn_tag_2", "other port")]
        code, _, body = submit(web, form.action, fields, "-b", jar)
        assert code == 200, body[:300]
        print(page, fields, re.findall(r'<h1>.*?</h1>|notice.*?</div>', body))
    after = param_lines(params_text(web))
    assert after.get("admin_pwd") == before.get("admin_pwd")
    assert after.get("sys_name") == before.get("sys_name") and after.get("zqn_tag_2") == before.get("zqn_tag_2")
    assert after["zqn_tag_1"] == "mine" and after["zqn_ppwr_2"] == "off"
    # The administrator's password still signs in.
    assert session_cookie(login(web, "Admin", ADMIN_PWD)[1])


# ---------------------------------------------------------------- curl cases

def test_port_table_shows_tags_devices_vlan_marks_and_power_states(web):
    extra = {"zqn_ppwr_3": "fail"} if web.ports >= 3 else {}
    start(web, zqn_tag_2='Lab <b>"2"</b>', zqn_2vlan_1="9", zqn_2vlan_2="0", **extra)
    hub = usb_env.plug(web, "port:1", "hub")
    for k, pid in enumerate(("0x0001", "0x0002", "0x0003"), 1):
        usb_env.plug(web, "%s.%d" % (hub, k), "loopback", "vid=0x1234", "pid=" + pid, "serial=S<" + pid + ">")
    web.wait_for(lambda: get(web, "/start_en.html")[2].count("(1234)") == 3, timeout=30, what="three devices")
    body = get(web, "/start_en.html")[2]
    rows = {int(m.group(1)): m.group(2) for m in re.finditer(r'<tr id="port(\d+)">(.*?)</tr>', body, re.S)}
    assert set(rows) == set(range(1, web.ports + 1))
    # Port 1: the first device visible, two hidden behind "Show all"; VLAN beyond the ports.
    assert rows[1].count('style="display:none;"') == 2 and 'data-succ="succ1"' in rows[1]
    assert "S&lt;0x0001&gt;" in rows[1] and "<0x" not in rows[1] and "&mdash;" in rows[1]
    # Port 2: the tag alone, as text; VLAN "every".
    assert '<ul><li>Lab &lt;b&gt;&quot;2&quot;&lt;/b&gt;</li></ul>' in rows[2]
    assert "data-succ" not in rows[2] and "&lowast;" in rows[2]
    assert re.search(r'<span class="badge">3 / \d+</span>', body)
    if extra:
        # Port 3: switched off by the power limit.
        assert "Port deactivated by power limit violation" in rows[3]
        de = get(web, "/start_de.html")[2]
        assert "Port wegen Überschreitung der Leistungsgrenze abgeschaltet" in de


def test_disconnect_by_level_and_range_releases_once(web, tmp_path):
    start(web, logins=True)
    usb_env.plug(web, "port:1", "loopback", "vid=0x1234", "pid=0x4321")
    jars = {role: jar_for(web, role, str(tmp_path)) for role in ROLES}
    web.wait_for(lambda: usb_env.listening(web, usb_env.PLAIN_PORT), timeout=60, what="the USB-server listener")
    with usb_env.connect(web) as c:
        entry, port = usb_env.listed(c, 0x1234, 0x4321)
        assert port == 1
        assert c.open(entry, port).status == 0

        def held():
            return struct.unpack(">I", c.status(entry, port).payload[:4])[0] & 1 == 1

        # Out of range, a user's request and a cross-site link (no session cookie) do nothing.
        for value in ("0", "-1", str(web.ports + 1), "1x"):
            get(web, "/start_en.html", "-b", jars["admin"], "-d", "disconnect=" + value)
        get(web, "/start_en.html", "-b", jars["user"], "-d", "disconnect=1")
        get(web, "/start_en.html?disconnect=1")
        time.sleep(1)
        assert held()
        # The USB manager's form post releases the port; the client hears it once.
        code, _, body = get(web, "/start_en.html", "-b", jars["usbmg"], "-d", "disconnect=1")
        assert code == 200
        m = c.message(timeout=30)
        assert m.code == 0x13 and m.payload[:4] == bytes([entry, port, 1, 0x13]), m
        web.wait_for(lambda: not held(), what="the device released")
        # The page refreshes to itself without the action: following it releases nothing.
        refresh = re.search(r'http-equiv="refresh" content="\d+;\s*URL=([^"]+)"', body, re.I)
        assert refresh and "disconnect" not in refresh.group(1), body[:800]
        assert c.open(entry, port).status == 0
        target = urllib.parse.urlparse(html.unescape(refresh.group(1))).path
        get(web, target, "-b", jars["usbmg"])
        time.sleep(1)
        assert held()


def test_logout_ends_the_session_and_shows_the_sign_in_page(web, tmp_path):
    start(web, logins=True)
    jar = jar_for(web, "admin", str(tmp_path))
    assert get(web, "/security/ssl_en.html", "-b", jar)[0] == 200
    code, _, body = get(web, "/exit_en.html", "-b", jar)
    assert code == 200 and 'id="pwd"' in body and "Signed in as" not in body
    status, headers, _ = curl(web, "/security/ssl_en.html", "-b", jar)
    assert status.split()[1] in ("301", "302", "303") and "/index" in headers["location"][0]


def test_information_streams_and_paths(web):
    start(web)
    with open(web.root.file("/var/note.txt"), "w") as f:
        f.write("note body\n")
    os.chmod(web.root.file("/var/note.txt"), 0o644)
    strange = web.root.file('/var/<x>"y\'.txt')
    open(strange, "w").close()
    for path, text in (("/info/threads", "HTTP"), ("/info/net", "eth0"), ("/info/dev", ""),
                       ("/info/filter", "IP Filter"), ("/info/usb", "Devs/Slot"), ("/info/wlan", "<TABLE")):
        code, headers, body = get(web, path)
        assert code == 200 and text in body, (path, body[:300])
        assert headers["content-type"][0].startswith("text/html")
    code, headers, body = get(web, "/info/file?/var/../var/note.txt")
    assert code == 200 and body == "note body\n" and headers["content-type"][0].startswith("text/plain")
    # A path that climbs above the root stays inside the appliance's tree.
    body = get(web, "/info/file?/../../../etc/hostname")[2]
    assert body == "Access denied"
    code, _, body = get(web, "/info/dir?/var/moni/..")
    assert code == 200 and '<h3 class="info">/var</h3>' in body, body[:500]
    assert web.root.path not in body
    # A file name with markup shows as text, and its link is a query, not script.
    assert "&lt;x&gt;&quot;y&#39;.txt" in body or "&lt;x&gt;&quot;y&apos;.txt" in body
    assert "filler('/info/file?/var/%3Cx%3E%22y%27.txt','en')" in body
    assert "<x>" not in body
    code, _, body = get(web, "/info/index_en.html")
    assert code == 200 and 'id="view"' in body and "Crashes" not in body


def test_encryption_pages_show_the_connections_ciphers(web):
    start(web)
    status, _, body = curl(web, "/security/details_en.html", "--ciphers", "ECDHE-RSA-AES128-GCM-SHA256:"
                           "ECDHE-RSA-AES256-GCM-SHA384:AES128-SHA:AES256-SHA:AES128-GCM-SHA256",
                           "--tls-max", "1.2", https=True)
    assert status.split()[1] == "200"
    count = int(re.search(r'offered by the browser <span class="badge">(\d+)</span>', body).group(1))
    assert count == len(re.findall(r"<tr><td>", body.split("offered by the browser")[1])) and count >= 3, body
    assert "ECDHE-RSA-AES128-GCM-SHA256+TLSv1.2" in body
    assert re.search(r"Cipher suite in use</th><td class=\"mono\">ECDHE-RSA-AES\d+-GCM-SHA\d+ ", body), body
    assert re.search(r"Encryption library</th><td>\d+\.\d+\.\d+\S*, ", body), body
    # Over plain HTTP the connection has no cipher; the level is still shown.
    body = get(web, "/security/ssl_en.html")[2]
    assert "not encrypted" in body and "Encryption level</th><td>Any" in body


def test_port_pages_out_of_range_answer_server_error(web):
    start(web)
    for n in (0, web.ports + 1, 99):
        for page in ("usbport", "usbpsec"):
            assert get(web, "/security/%s%d_en.html" % (page, n))[0] == 500, (page, n)
    assert get(web, "/security/usbpsec%d_en.html" % web.ports)[0] == 200


def test_device_names_with_markup_show_as_text(web):
    start(web, zqn_tag_1='<i>"t"</i>')
    usb_env.plug(web, "port:1", "loopback", "vid=0x1234", "pid=0x0042", "serial=<s>\"q'")
    web.wait_for(lambda: "(0042)" in get(web, "/start_en.html")[2], timeout=30, what="the device")
    for page in ("/start_en.html", "/security/usbport1_en.html", "/security/usb_en.html"):
        body = get(web, page)[2]
        assert "<s>" not in body and "<i>" not in body, page
        assert "&lt;s&gt;" in body, page
    assert 'value="&lt;i&gt;&quot;t&quot;&lt;/i&gt;"' in get(web, "/security/usbport1_en.html")[2]


def test_german_catalogue_covers_the_pages():
    templates = [os.path.join(REPO, "romfs", "templates", p) for p in (
        "start.html", "inc/nav.html", "info/index.html", "sitemap.html", "contact.html", "opensrc.html")]
    sec = os.path.join(REPO, "romfs", "templates", "security")
    templates += [os.path.join(sec, n) for n in sorted(os.listdir(sec))]
    ids = set()
    for t in templates:
        ids |= set(re.findall(r'M[Ll]\("((?:[^"\\]|\\.)*)"\)', open(t).read()))
    pot = subprocess.run(["xgettext", "-k", "-kgetmuText", "--from-code=UTF-8", "-o", "-", "-L", "C++",
                          os.path.join(REPO, "web", "pages_status.cpp"),
                          os.path.join(REPO, "web", "pages_security.cpp")],
                         capture_output=True, text=True, check=True).stdout
    ids |= {m for m in re.findall(r'^msgid "((?:[^"\\]|\\.)*)"', pot, re.M) if m}
    po = open(os.path.join(REPO, "romfs", "locale", "de.po")).read()
    assert "#, fuzzy" not in po
    entries = dict(re.findall(r'^msgid "((?:[^"\\]|\\.)*)"\nmsgstr "((?:[^"\\]|\\.)*)"', po, re.M))
    missing = sorted(i for i in ids if not entries.get(i))
    assert missing == []


# ---------------------------------------------------------------- browser crawl

def crawl(daemon, lang, role=None):
    who = ROLES[role] if role else ()
    out = os.path.join(ARTIFACTS, daemon.product, (role or "open") + "_" + lang)
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3",
                        os.path.join(HERE, "pages_crawl.py"), "http://%s" % daemon.net.device_addr, out, lang, *who],
                       capture_output=True, text=True, timeout=560)
    assert r.returncode == 0, r.stderr[-3000:]
    return json.loads(r.stdout.strip().splitlines()[-1])


def check_crawl(found, role):
    assert found["console"] == [], found["console"][:5]
    bad = {u: s for u, s in found["resources"].items() if s not in (200, "action")}
    assert bad == {}, (role, bad)
    # Every page came up as itself (none redirected to the sign-in page) with a heading.
    moved = {p: u for p, u in found["pages"].items() if u.split("?")[0] != p.split("?")[0]}
    assert moved == {}, (role, moved)
    assert all(found["h1"].values()), found["h1"]
    return set(found["pages"])


NEED_BROWSER = pytest.mark.skipif(not (shutil.which("chromium") and shutil.which("chromedriver")),
                                  reason="Chromium and its driver are not installed (scripts/deps)")


@NEED_BROWSER
def test_crawl_as_each_role_in_both_languages(web):
    start(web, logins=True)
    usb_env.plug(web, "port:1", "loopback", "vid=0x1234", "pid=0x0007")
    seen = {}
    for role in ("admin", "usbmg", "user"):
        found = crawl(web, "en", role)
        seen[role] = check_crawl(found, role)
        if role == "admin":
            assert found["noref"] == [], found["noref"][:5]
        else:
            assert found["noref"], role
    admin = seen["admin"]
    for lang in ("en", "de"):
        for page in ("/security/ssl", "/security/usbpsec1", "/info/index", "/sitemap", "/opensrc",
                     "/security/usbport%d" % web.ports, "/security/port_access", "/security/http"):
            assert "%s_%s.html" % (page, lang) in admin, sorted(admin)
        assert "/security/usb_%s.html" % lang in seen["usbmg"] and "/security/ssl_%s.html" % lang not in seen["usbmg"]
        assert "/security/usbport1_%s.html" % lang in seen["usbmg"]
        assert "/start_%s.html" % lang in seen["user"]
    assert not any(p.startswith("/security/") for p in seen["user"]), seen["user"]
    # Links above the role lead away: the sign-in page for a user, the start page for a
    # USB manager.
    with_user = os.path.join(web.root.path, "u.jar")
    login(web, "User", USER_PWD, jar=with_user)
    status, headers, _ = curl(web, "/security/usb_en.html", "-b", with_user)
    assert status.split()[1] in ("301", "302", "303") and "/index" in headers["location"][0]
    with_mg = os.path.join(web.root.path, "m.jar")
    login(web, "USB Manager", USBMG_PWD, jar=with_mg)
    status, headers, _ = curl(web, "/security/ssl_en.html", "-b", with_mg)
    assert status.split()[1] in ("301", "302", "303") and "/start" in headers["location"][0]


@NEED_BROWSER
def test_crawl_without_session_keys(web):
    start(web)
    found = crawl(web, "de")
    pages = check_crawl(found, None)
    assert found["noref"] == []
    for lang in ("en", "de"):
        assert "/security/usbpsec1_%s.html" % lang in pages and "/info/index_%s.html" % lang in pages
    assert found["h1"]["/start_de.html"] == "Übersicht" and found["h1"]["/start_en.html"] == "Overview"
