"""Drives Debian's Chromium through the generation of a self-signed certificate (run
inside the client namespace): the form, the progress pages that refresh themselves, and
the certificate at the end.

Usage: browser_certs.py BASE_URL ARTIFACT_DIR USER PASSWORD
Prints one JSON object with what it found; screenshots go to ARTIFACT_DIR.
"""
import json
import os
import sys
import time

from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import Select

from browser_session import Browser

base, artifacts, user, password = sys.argv[1:5]
browser = Browser(artifacts)
driver, wait = browser.driver, browser.wait
found = {"console": [], "progress": [], "steps": []}


def h1():
    try:
        return driver.find_element(By.TAG_NAME, "h1").text
    except Exception:  # the page is being replaced by its refresh
        return ""


try:
    browser.login(base, user, password)

    driver.find_element(By.LINK_TEXT, "Certificates").click()
    wait.until(ec.presence_of_element_located((By.ID, "certself_state")))
    found["steps"].append({"step": "overview", "own": driver.find_element(By.ID, "certself_state").text})
    driver.save_screenshot(os.path.join(artifacts, "certificates.png"))
    found["console"] += browser.console()

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
    found["console"] += browser.console()
finally:
    browser.quit()
print(json.dumps(found))
