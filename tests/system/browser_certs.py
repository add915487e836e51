"""Drives Debian's Chromium through the generation of a self-signed certificate (run
inside the client namespace): the form, the progress pages that refresh themselves, and
the certificate at the end.

Usage: browser_certs.py BASE_URL ARTIFACT_DIR USER PASSWORD
Prints one JSON object with what it found; screenshots go to ARTIFACT_DIR.
"""
import json
import os
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import Select, WebDriverWait

base, artifacts, user, password = sys.argv[1:5]
os.makedirs(artifacts, exist_ok=True)
profile = tempfile.mkdtemp(prefix="qmr-chromium-")
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--window-size=1280,860"):
    options.add_argument(flag)
options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
wait = WebDriverWait(driver, 20)
found = {"console": [], "progress": [], "steps": []}


def console():
    for entry in driver.get_log("browser"):
        if entry.get("level") in ("SEVERE", "ERROR", "WARNING"):
            found["console"].append(entry.get("message"))


def h1():
    try:
        return driver.find_element(By.TAG_NAME, "h1").text
    except Exception:  # the page is being replaced by its refresh
        return ""


try:
    driver.get(base + "/")
    wait.until(ec.presence_of_element_located((By.ID, "pwd")))
    driver.find_element(By.ID, "name").send_keys(user)
    driver.find_element(By.ID, "pwd").send_keys(password + Keys.ENTER)
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".tile")))

    driver.find_element(By.LINK_TEXT, "Certificates").click()
    wait.until(ec.presence_of_element_located((By.ID, "certself_state")))
    found["steps"].append({"step": "overview", "own": driver.find_element(By.ID, "certself_state").text})
    driver.save_screenshot(os.path.join(artifacts, "certificates.png"))
    console()

    driver.get(base + "/security/sscert_en.html")
    wait.until(ec.presence_of_element_located((By.ID, "self_cn")))
    for field, value in (("self_cn", "browser-cert"), ("self_on", "Browser Org"), ("self_ln", "Browser Town"),
                         ("self_ctry", "DE"), ("self_san", "DNS:browser-cert")):
        driver.find_element(By.ID, field).send_keys(value)
    Select(driver.find_element(By.ID, "RSAbits")).select_by_value("4096")
    driver.save_screenshot(os.path.join(artifacts, "certgen_form.png"))
    driver.find_element(By.CSS_SELECTOR, "button[name=sub_cert]").click()

    # The answer refreshes itself until the certificate is shown.
    end = time.monotonic() + 400
    shot = False
    while time.monotonic() < end:
        title = h1()
        if title == "Own certificate":
            break
        if title and title not in found["progress"]:
            found["progress"].append(title)
            if not shot:
                driver.save_screenshot(os.path.join(artifacts, "certgen_progress.png"))
                shot = True
        time.sleep(0.3)
    wait.until(ec.presence_of_element_located((By.ID, "certself_cn")))
    found["steps"].append({"step": "certificate", "url": driver.current_url,
                           "cn": driver.find_element(By.ID, "certself_cn").text,
                           "bits": driver.find_element(By.ID, "certself_bits").text,
                           "san": driver.find_element(By.ID, "certself_san").text})
    driver.save_screenshot(os.path.join(artifacts, "certgen_done.png"))
    console()
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
print(json.dumps(found))
