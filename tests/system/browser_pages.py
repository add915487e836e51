"""Visits a list of pages in Debian's Chromium after logging in (run inside the client
namespace), in English and German.

Usage: browser_pages.py BASE_URL ARTIFACT_DIR USER PASSWORD PAGE...
Prints one JSON object: per page and language the address reached, its h1 and its
notice; the console messages and the requests that failed or answered 400 or more.
"""
import json
import os
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec

from browser_session import Browser

base, artifacts, user, password = sys.argv[1:5]
pages = sys.argv[5:]
browser = Browser(artifacts, logs=("browser", "performance"))
driver, wait = browser.driver, browser.wait
found = {"console": [], "failed": [], "pages": []}
requests = {}


def collect():
    found["console"] += browser.console()
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
        browser.login(base, user, password, ready=(By.CSS_SELECTOR, ".topbar .user"))
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
    browser.quit()
print(json.dumps(found))
