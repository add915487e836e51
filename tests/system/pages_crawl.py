"""Crawls the web interface in Debian's Chromium (run inside the client namespace).

Usage: pages_crawl.py BASE_URL ARTIFACT_DIR LANG [USER PASSWORD]
Signs in when a user is given, then visits every same-origin page reachable from
/start_LANG.html (the language links lead to the other languages). Every link, image, script, style sheet and form action found is
fetched from the page (same cookies) and its status recorded. Prints one JSON object.
"""
import json
import os
import re
import shutil
import sys
import tempfile
from urllib.parse import urldefrag, urljoin, urlparse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

base, artifacts, lang = sys.argv[1:4]
user, password = (sys.argv[4], sys.argv[5]) if len(sys.argv) > 5 else (None, None)
os.makedirs(artifacts, exist_ok=True)
profile = tempfile.mkdtemp(prefix="qmr-chromium-")
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--window-size=1280,900"):
    options.add_argument(flag)
options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
driver.set_page_load_timeout(60)
wait = WebDriverWait(driver, 30)
found = {"console": [], "pages": {}, "resources": {}, "noref": [], "h1": {}}
origin = urlparse(base).netloc

# Never followed: signing out would end the crawl's session.
SKIP = re.compile(r"^/(exit|index)(_[a-z]{2})?\.html$")

FETCH = """
const done = arguments[arguments.length - 1];
const urls = arguments[0];
Promise.all(urls.map(u => fetch(u, {credentials: "same-origin", redirect: "manual"})
    .then(r => [u, r.type === "opaqueredirect" ? 302 : r.status]).catch(e => [u, String(e)])))
  .then(done);
"""

COLLECT = """
const out = [];
document.querySelectorAll("a[href]").forEach(a => out.push(["a", a.getAttribute("href"), a.className]));
document.querySelectorAll("img[src]").forEach(e => out.push(["img", e.getAttribute("src"), ""]));
document.querySelectorAll("script[src]").forEach(e => out.push(["script", e.getAttribute("src"), ""]));
document.querySelectorAll("link[href]").forEach(e => out.push(["link", e.getAttribute("href"), ""]));
document.querySelectorAll("form").forEach(e => out.push(["form", e.getAttribute("action") || "", ""]));
document.querySelectorAll("[onclick]").forEach(e => {
  const m = /filler\\('([^']*)'/.exec(e.getAttribute("onclick"));
  if (m) out.push(["view", m[1], ""]);
});
return out;
"""


def console(page):
    for entry in driver.get_log("browser"):
        if entry.get("level") in ("SEVERE", "ERROR", "WARNING"):
            found["console"].append([page, entry.get("message")])


def local(href, page_url):
    url = urldefrag(urljoin(page_url, href))[0]
    p = urlparse(url)
    if p.scheme not in ("http", "https") or p.netloc != origin:
        return None
    return p.path + ("?" + p.query if p.query else "")


try:
    if user:
        driver.get(base + "/index_%s.html" % lang)
        wait.until(ec.presence_of_element_located((By.ID, "pwd")))
        driver.find_element(By.ID, "name").send_keys(user)
        driver.find_element(By.ID, "pwd").send_keys(password + Keys.ENTER)
        wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "main h1")))
    queue = ["/start_%s.html" % lang]
    while queue and len(found["pages"]) < 120:
        path = queue.pop(0)
        if path in found["pages"]:
            continue
        driver.get(base + path)
        wait.until(lambda d: d.execute_script("return document.readyState") == "complete")
        found["pages"][path] = driver.current_url.replace(base, "")
        h1 = driver.find_elements(By.CSS_SELECTOR, "main h1")
        found["h1"][path] = h1[0].text if h1 else ""
        if re.search(r"/(start|usb|ssl|usbport1|usbpsec1|index)_[a-z]{2}\.html$", path):
            shot = re.sub(r"[^A-Za-z0-9_.-]", "_", path.strip("/")) + ".png"
            driver.save_screenshot(os.path.join(artifacts, shot))
        console(path)
        fetch = []
        for kind, href, cls in driver.execute_script(COLLECT):
            target = local(href, driver.current_url) if href else None
            if kind == "a" and "noref" in cls.split():
                found["noref"].append([path, href])
                continue
            if target is None:
                continue
            if kind in ("a",) and re.search(r"\.html$", urlparse(target).path) and not SKIP.match(target):
                if target not in found["pages"] and target not in queue:
                    queue.append(target)
            elif urlparse(target).path.endswith(".cgi"):
                # Actions (restart, reset...) are not fetched: they would act.
                found["resources"].setdefault(target, "action")
            elif target not in found["resources"] and not SKIP.match(target):
                fetch.append(target)
        for url, status in driver.execute_async_script(FETCH, sorted(set(fetch))):
            found["resources"][url] = status
        console(path)
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
print(json.dumps(found))
