"""What the status, backup, monitoring and notification pages show of the services
behind them: the WebDAV client against the scripted WebDAV server, the storage slot with
a real FAT image, and the SNMP agent's engine ID."""
import html
import re
import subprocess

from test_slot import insert, make_image, prepare, slot_state
from test_webdav import configure, services, wait_idle
from test_webdav import peer_factory  # noqa: F401  (fixture)
from webutil import curl, start_web

OK = "HTTP/1.1 200 OK"


def row(body, label):
    """The text of the table cell beside a row heading, without markup."""
    m = re.search(r'<th scope="row">%s</th><td[^>]*>(.*?)</td>' % re.escape(label), body, re.S)
    assert m, "no row %r in the page" % label
    return html.unescape(re.sub(r"<[^>]+>", "", m.group(1))).strip()


def page(daemon, path):
    status, _, body = curl(daemon, path)
    assert status == OK, (path, status, body[:400])
    return body


def test_backup_page_exports_and_shows_the_client_state(daemon, root, net, peer_factory):  # noqa: F811
    peer = peer_factory("--digest", "SHA-256")
    # Only the backup: no monitoring upload, no day directory.
    configure(root, net, extra="wdav_monion = off\nwdav_bupmdir = off\n")
    start_web(daemon)
    # Before any job: the first state, no error, no success, the first scheme.
    body = page(daemon, "/maintenance/backup.html")
    assert row(body, "WebDAV state").startswith("Init")
    assert row(body, "Last WebDAV error") == "---"
    assert row(body, "Last WebDAV success") == "---"
    assert row(page(daemon, "/network/servers.html"), "WebDAV authentication") == "Basic/MD5"

    # "import" does nothing here: the page, no job, no request to the server.
    body = page(daemon, "/maintenance/backup.html?action=import")
    assert "Export to WebDAV..." not in body
    assert services(daemon)["webdav_jobs"] == "0" and peer.requests() == []

    # "exportnow" starts the backup at once; the page says so and refreshes.
    status, headers, body = curl(daemon, "/maintenance/backup.html?action=exportnow")
    assert status == OK and "Export to WebDAV..." in body, body
    state = wait_idle(daemon, 60)
    assert state["webdav"] == "16 Files written", (state, peer.requests())
    with open(root.file("/etc/params.dat"), "rb") as f:
        assert peer.file("/dav/backup/params.dat") == f.read()

    # Every page that shows the client reads the same state, its time and the scheme.
    body = page(daemon, "/maintenance/backup.html")
    assert re.match(r"Files written \d", row(body, "WebDAV state")), row(body, "WebDAV state")
    assert re.search(r"\d", row(body, "Last WebDAV success"))
    assert row(body, "Last WebDAV error") == "---"
    body = page(daemon, "/device/monitor.html")
    assert row(body, "WebDAV state").startswith("Files written")
    body = page(daemon, "/network/servers.html")
    assert row(body, "WebDAV authentication") == "Digest/SHA256"
    assert row(body, "WebDAV state").startswith("Files written")


def test_failed_export_shows_the_error_and_the_pending_retry(daemon, root, net):
    # Nothing listens on this port: the attempt fails at once.
    configure(root, net, port=8099)
    start_web(daemon)
    status, _, body = curl(daemon, "/maintenance/backup.html?action=exportnow")
    assert status == OK and "Export to WebDAV..." in body

    def retrying():
        text = row(page(daemon, "/network/servers.html"), "Last WebDAV error")
        return "(try again in some minutes)" in text and text
    daemon.wait_for(retrying, 60, "the failed attempt on the page")
    text = row(page(daemon, "/network/servers.html"), "Last WebDAV error")
    assert re.match(r"Error [a-zA-Z ]+ \xa0 \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \xa0 \(try again", text), text
    body = page(daemon, "/maintenance/backup.html")
    assert row(body, "Last WebDAV error").startswith("Error ")
    assert "(try again in some minutes)" in row(body, "Last WebDAV error")
    # In German the retry note is translated; the job still holds the job word.
    body = page(daemon, "/maintenance/backup_de.html")
    assert "(in einigen Minuten erneuter Versuch)" in body
    assert services(daemon)["webdav_jobs"] == "1"


def test_slot_texts_follow_the_card(daemon, root, tmp_path):
    prepare(root, params="autoSync = on\n")
    start_web(daemon)
    daemon.wait_for(lambda: slot_state(daemon) == 0, 30, "the slot task")
    # No card: the alerts, the state text, nothing mounted.
    body = page(daemon, "/start.html")
    assert "Writing to SD card not possible" in body
    body = page(daemon, "/maintenance/backup.html")
    assert row(body, "SD card") == "SD card not found, please insert SD card."
    assert row(body, "Mounted") == "no"
    assert "Writing not possible" in body

    path, _ = make_image(str(tmp_path), "fat32")
    insert(daemon, path)
    daemon.wait_for(lambda: slot_state(daemon) == 3, 30, "a ready card")
    body = page(daemon, "/start.html")
    assert "Writing to SD card not possible" not in body
    assert row(body, "Storage card") == "QMR-SLOT_SD"
    body = page(daemon, "/maintenance/backup.html")
    assert row(body, "SD card") == "QMR-SLOT_SD SD card found."
    assert row(body, "Formatting") == "not required"
    m = re.fullmatch(r"yes \((\d+)/(\d+) MB free\)", row(body, "Mounted"))
    assert m and 0 < int(m.group(1)) <= int(m.group(2)) <= 40, row(body, "Mounted")
    assert "Writing not possible" not in body
    body = page(daemon, "/maintenance/backup_de.html")
    assert "SD card found." not in body and "QMR-SLOT_SD" in body


def test_notify_page_shows_the_agents_engine_id(daemon, root):
    start_web(daemon)
    daemon.wait_output("NET-SNMP version", timeout=60)
    body = page(daemon, "/device/notify.html")
    engine = row(body, "Engine ID")
    # A text engine ID: the enterprise prefix with the format byte 4, then "KVX" and
    # three bytes of the MAC address in upper-case hex digits.
    assert re.fullmatch(r"8000[0-9a-f]{4}04" + "4b5658" + r"([0-9a-f]{2}){6}", engine), engine
    text = bytes.fromhex(engine[10:]).decode()
    assert re.fullmatch(r"KVX[0-9A-F]{6}", text), text
    # No trap target configured: the counters read "---".
    assert row(body, "Receiver 1: mails sent / failed / traps").endswith("/ ---")


def test_certificate_downloads_are_the_stores_files(daemon, root):
    start_web(daemon)
    with open(root.file("/etc/certs/cert_fsrv.pem"), "wb") as f:
        f.write(b"-----BEGIN CERTIFICATE-----\nforeign <b>\n-----END CERTIFICATE-----\n")
    for path, local in (("/bin/cert_self.pem", "/etc/certs/cert_srv.pem"),
                        ("/bin/cert_forg.pem", "/etc/certs/cert_fsrv.pem")):
        r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "curl", "-s", "--max-time", "20",
                            "http://%s%s" % (daemon.net.device_addr, path)], capture_output=True, timeout=60)
        with open(root.file(local), "rb") as f:
            assert r.stdout == f.read(), path
    # No request made yet: the stream says so instead of a file.
    _, _, body = curl(daemon, "/bin/cert_req.pem")
    assert "sorry, can't open" in body and "BEGIN" not in body
