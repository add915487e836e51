"""Visits a list of pages in Debian's Chromium after logging in (run inside the client
namespace), in English and German.

Usage: browser_pages.py BASE_URL ARTIFACT_DIR USER PASSWORD PAGE...
Prints one JSON object: per page and language the address reached, its h1 and its
notice; the console messages and the requests that failed or answered 400 or more.
"""
import json
import os
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

base, artifacts, user, password = sys.argv[1:5]
pages = sys.argv[5:]
os.makedirs(artifacts, exist_ok=True)
profile = tempfile.mkdtemp(prefix="qmr-chromium-")
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--window-size=1280,860"):
    options.add_argument(flag)
options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
wait = WebDriverWait(driver, 20)
found = {"console": [], "failed": [], "pages": []}
requests = {}


def collect():
    for entry in driver.get_log("browser"):
        if entry.get("level") in ("SEVERE", "ERROR", "WARNING"):
            found["console"].append(entry.get("message"))
    for entry in driver.get_log("performance"):
        msg = json.loads(entry["message"])["message"]
        params = msg.get("params", {})
        if msg.get("method") == "Network.requestWillBeSent":
            requests[params.get("requestId")] = params.get("request", {}).get("url")
        elif (msg.get("method") == "Network.loadingFailed" and not params.get("canceled") and
              params.get("requestId") in requests):
            # Requests of the pages only: the browser's own background lookups are none.
            found["failed"].append("%s %s" % (params.get("errorText"), requests.get(params.get("requestId"))))
        elif msg.get("method") == "Network.responseReceived":
            r = params.get("response", {})
            if r.get("status", 0) >= 400:
                found["failed"].append("%s %s" % (r.get("status"), r.get("url")))


try:
    # The user "-" signs in nowhere: the pages without session keys.
    if user != "-":
        driver.get(base + "/")
        wait.until(ec.presence_of_element_located((By.ID, "pwd")))
        driver.find_element(By.ID, "name").send_keys(user)
        driver.find_element(By.ID, "pwd").send_keys(password + Keys.ENTER)
        wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".topbar .user")))
        collect()
    for lang in ("en", "de"):
        for page in pages:
            driver.get(base + page.replace(".html", "_%s.html" % lang))
            wait.until(lambda d: d.execute_script("return document.readyState") == "complete")
            wait.until(ec.presence_of_element_located((By.TAG_NAME, "h1")))
            notices = driver.find_elements(By.CSS_SELECTOR, ".notice")
            found["pages"].append({"page": page, "lang": lang, "url": driver.current_url,
                                   "h1": driver.find_element(By.TAG_NAME, "h1").text,
                                   "html_lang": driver.find_element(By.TAG_NAME, "html").get_attribute("lang"),
                                   "notice": notices[0].text if notices else ""})
            name = "%s_%s_%s.png" % (user, page.strip("/").replace("/", "_").replace(".html", ""), lang)
            driver.save_screenshot(os.path.join(artifacts, name))
            collect()
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
print(json.dumps(found))
