"""What the browser scripts share (they run inside the client namespace): Debian's
Chromium, headless, with a profile of its own that goes away at the end, the console
messages worth reporting, and the login form."""
import os
import shutil
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait


class Browser:
    def __init__(self, artifacts, timeout=20, logs=("browser",)):
        os.makedirs(artifacts, exist_ok=True)
        self.profile = tempfile.mkdtemp(prefix="qmr-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--user-data-dir=" + self.profile, "--window-size=1280,860"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {kind: "ALL" for kind in logs})
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.wait = WebDriverWait(self.driver, timeout)

    def console(self):
        """The browser's error and warning messages since the last call."""
        return [entry.get("message") for entry in self.driver.get_log("browser")
                if entry.get("level") in ("SEVERE", "ERROR", "WARNING")]

    def sign_in(self, user, password, ready=(By.CSS_SELECTOR, ".tile")):
        """Fills in the login form shown now and waits for the element that follows it."""
        self.driver.find_element(By.ID, "name").send_keys(user)
        self.driver.find_element(By.ID, "pwd").send_keys(password + Keys.ENTER)
        self.wait.until(ec.presence_of_element_located(ready))

    def login(self, base, user, password, ready=(By.CSS_SELECTOR, ".tile")):
        self.driver.get(base + "/")
        self.wait.until(ec.presence_of_element_located((By.ID, "pwd")))
        self.sign_in(user, password, ready)

    def quit(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)
