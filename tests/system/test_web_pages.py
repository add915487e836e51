"""The status, USB port, security and information pages: rendered, crawled and submitted
the way a browser and curl use them, as each role, in English and German."""
import json
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import BUILD, Daemon, SandboxRoot
from webutil import ADMIN_PWD, USER_PWD, add_params, curl, login, session_cookie, start_web
from usb_env import connect, listed, plug, sim, unplug

HERE = os.path.dirname(os.path.abspath(__file__))
ARTIFACTS = os.environ.get("QMR_ARTIFACTS", os.path.join(BUILD, "artifacts", "web_pages"))
USBMG_PWD = "secret-usbmg-1"

MY_PAGES = ["/start.html", "/security/ssl.html", "/security/details.html", "/security/http.html",
            "/security/snmp.html", "/security/port_access.html", "/security/usb.html",
            "/security/usbport1.html", "/security/usbpsec1.html", "/security/authentication.html",
            "/info/index.html", "/sitemap.html", "/contact.html", "/opensrc.html"]


@pytest.fixture(params=["p287_4port", "p305_2port"])
def product(request):
    return request.param


@pytest.fixture
def web(net, product):
    """A daemon of the product, not yet started."""
    root = SandboxRoot(product=product, device_addr=net.device_addr)
    d = Daemon(net, root)
    yield d
    d.close()
    root.close()


def get(daemon, path, *args):
    status, headers, body = curl(daemon, path, *args)
    return int(status.split()[1]), headers, body


def test_every_page_renders_without_leftover_directives(web):
    start_web(web)
    for path in MY_PAGES:
        for lang in ("en", "de"):
            p = path.replace(".html", "_%s.html" % lang)
            code, headers, body = get(web, p)
            assert code == 200, (p, body[:500])
            assert not re.search(r"\{[A-Za-z_.$\[#?]", body), (p, re.findall(r".{40}\{[A-Za-z_.$\[#?].{40}", body))
            assert "overrun" not in body
