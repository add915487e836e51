"""Drives Debian's Chromium through a firmware update (run inside the client namespace).

Usage: update_browser_check.py BASE_URL ARTIFACT_DIR USER PASSWORD IMAGE
Prints one JSON object with what it saw; screenshots go to ARTIFACT_DIR.
"""
import json
import os
import sys
import time

from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

from browser_session import Browser

base, artifacts, user, password, image = sys.argv[1:6]
browser = Browser(artifacts, timeout=30)
driver, wait = browser.driver, browser.wait
found = {"console": [], "seen": [], "steps": []}


def progress():
    """The text and the bar's value shown now; None while the page is being replaced."""
    try:
        # Both in one look: the page may move on between two.
        now = driver.execute_script(
            "var t = document.getElementById('update-text'), b = document.getElementById('update-bar');"
            "return t && b ? [t.innerText, b.value] : null;")
        return None if now is None else (now[0], int(float(now[1] or 0)))
    except (WebDriverException, ValueError, TypeError):
        return None


try:
    browser.login(base, user, password)
    driver.find_element(By.LINK_TEXT, "Firmware update").click()
    wait.until(ec.presence_of_element_located((By.ID, "file")))
    found["steps"].append({"step": "update page", "title": driver.title,
                           "status": driver.find_element(By.ID, "update-status").text})
    driver.save_screenshot(os.path.join(artifacts, "update.png"))
    found["console"] += browser.console()

    driver.find_element(By.ID, "file").send_keys(image)
    driver.find_element(By.CSS_SELECTOR, "form button[type=submit]").click()
    WebDriverWait(driver, 10).until(ec.alert_is_present())
    driver.switch_to.alert.accept()
    wait.until(ec.presence_of_element_located((By.ID, "update-bar")))
    shot = False
    end = time.monotonic() + 180
    while time.monotonic() < end:
        now = progress()
        if now is not None and (not found["seen"] or found["seen"][-1] != list(now)):
            found["seen"].append(list(now))
            if not shot and 0 < now[1] < 99:
                driver.save_screenshot(os.path.join(artifacts, "updating.png"))
                shot = True
            if "The device is restarting." in now[0]:
                break
        time.sleep(0.2)
    driver.save_screenshot(os.path.join(artifacts, "restarting.png"))
    found["console"] += browser.console()
finally:
    browser.quit()
print(json.dumps(found))
