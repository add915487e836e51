"""The web interface in a real browser: Debian's Chromium, headless, from the client namespace."""
import json
import os
import shutil
import subprocess

import pytest

from conftest import BUILD
from webutil import ADMIN_PWD, start_web

HERE = os.path.dirname(os.path.abspath(__file__))
ARTIFACTS = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "web"))


def test_browser_logs_in_follows_links_and_saves_a_form(daemon, root):
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("Chromium and its driver are not installed (scripts/deps)")
    start_web(daemon, logins=True)
    r = subprocess.run(["ip", "netns", "exec", daemon.net.client, "/usr/bin/python3",
                        os.path.join(HERE, "browser_check.py"), "http://%s" % daemon.net.device_addr,
                        ARTIFACTS, "Admin", ADMIN_PWD], capture_output=True, text=True, timeout=240)
    assert r.returncode == 0, r.stderr[-3000:]
    found = json.loads(r.stdout.strip().splitlines()[-1])
    steps = {s["step"]: s for s in found["steps"]}
    assert found["console"] == []

    login = steps["login page"]
    assert login["title"].startswith("Sign in")
    assert login["focus"] == ["name", "pwd", "button:submit"]
    start = steps["start page"]
    assert start["url"].endswith("/start_en.html") and start["h1"] == "Overview"
    assert start["user"] == "Signed in as Admin"
    saved = steps["form saved"]
    assert saved["notice"] == "Parameters have been changed." and saved["value"] == "Browser Lab"
    assert "sys_name = Browser Lab" in open(root.file("/etc/params.dat")).read()
    german = steps["german start page"]
    assert german["url"].endswith("/start_de.html") and german["h1"] == "Übersicht"
    assert "Neustart" in german["menu"]
    phone = steps["phone"]
    assert phone["nav_hidden"] and phone["nav_open"] and phone["scroll_width"] <= 390
    for name in ("login.png", "start.png", "start_de.png", "start_phone.png", "login_phone.png"):
        assert os.path.getsize(os.path.join(ARTIFACTS, name)) > 1000
