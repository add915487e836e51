"""Drives Debian's Chromium through the web interface (run inside the client namespace).

Usage: browser_check.py BASE_URL ARTIFACT_DIR USER PASSWORD
Prints one JSON object with what it found; screenshots go to ARTIFACT_DIR.
"""
import json
import os
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ec

from browser_session import Browser

base, artifacts, user, password = sys.argv[1:5]
browser = Browser(artifacts)
driver, wait = browser.driver, browser.wait
found = {"console": [], "steps": []}


def step(name, **facts):
    facts["step"] = name
    facts["url"] = driver.current_url
    facts["title"] = driver.title
    found["steps"].append(facts)


try:
    driver.get(base + "/")
    wait.until(ec.presence_of_element_located((By.ID, "pwd")))
    active = driver.switch_to.active_element.get_attribute("id")
    driver.switch_to.active_element.send_keys(Keys.TAB)
    after_tab = driver.switch_to.active_element.get_attribute("id")
    driver.switch_to.active_element.send_keys(Keys.TAB)
    after_two = driver.switch_to.active_element.tag_name + ":" + (driver.switch_to.active_element.get_attribute("type") or "")
    driver.save_screenshot(os.path.join(artifacts, "login.png"))
    step("login page", focus=[active, after_tab, after_two])
    found["console"] += browser.console()

    browser.sign_in(user, password)
    step("start page", h1=driver.find_element(By.TAG_NAME, "h1").text,
         user=driver.find_element(By.CSS_SELECTOR, ".topbar .user").text)
    driver.save_screenshot(os.path.join(artifacts, "start.png"))
    found["console"] += browser.console()

    driver.find_element(By.LINK_TEXT, "Description").click()
    wait.until(ec.presence_of_element_located((By.ID, "sys_name")))
    field = driver.find_element(By.ID, "sys_name")
    field.clear()
    field.send_keys("Browser Lab")
    driver.find_element(By.CSS_SELECTOR, "form button[type=submit]").click()
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".notice")))
    step("form saved", notice=driver.find_element(By.CSS_SELECTOR, ".notice").text,
         value=driver.find_element(By.ID, "sys_name").get_attribute("value"))
    found["console"] += browser.console()

    driver.find_element(By.CSS_SELECTOR, "a[data-lang=de]").click()
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "html[lang=de]")))
    driver.find_element(By.LINK_TEXT, "Start").click()
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".tile")))
    step("german start page", h1=driver.find_element(By.TAG_NAME, "h1").text,
         menu=[a.text for a in driver.find_elements(By.CSS_SELECTOR, ".sidenav a")])
    driver.save_screenshot(os.path.join(artifacts, "start_de.png"))
    found["console"] += browser.console()

    driver.set_window_size(390, 844)
    driver.get(base + "/start_de.html")
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".tile")))
    nav_hidden = not driver.find_element(By.ID, "nav").is_displayed()
    driver.find_element(By.CSS_SELECTOR, ".menu-toggle").click()
    nav_open = driver.find_element(By.ID, "nav").is_displayed()
    width = driver.execute_script("return document.documentElement.scrollWidth")
    step("phone", nav_hidden=nav_hidden, nav_open=nav_open, scroll_width=width)
    driver.save_screenshot(os.path.join(artifacts, "start_phone.png"))
    driver.delete_all_cookies()
    driver.get(base + "/index_de.html")
    wait.until(ec.presence_of_element_located((By.ID, "pwd")))
    driver.save_screenshot(os.path.join(artifacts, "login_phone.png"))
    found["console"] += browser.console()
finally:
    browser.quit()
print(json.dumps(found))
