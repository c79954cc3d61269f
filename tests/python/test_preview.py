"""fxhost preview's page in headless Chromium, whose picture must follow the
controls and equal fxhost render for the same parameters.  (Its answers over
plain HTTP: test_preview_load.py.)

KZR_PREVIEW_SCREENSHOT=path saves a screenshot of the page."""

import base64
import os
import subprocess
import urllib.parse

import numpy as np
import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

from fxtest import FXHOST, decode, render

W, H = 480, 270


class Preview:
    def __init__(self, *args):
        self.proc = subprocess.Popen([FXHOST, "preview", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("fxhost preview: http://127.0.0.1:"), (line, self.proc.stderr.read())
        self.url = line.split()[2].rstrip("/")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


@pytest.fixture
def preview():
    p = Preview("--size", f"{W}x{H}")
    yield p
    p.close()


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,760", "--force-color-profile=srgb"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(20)
    yield driver
    driver.quit()


def settled(driver, effect):
    """Waits until the picture shows the controls' current values; returns its query."""
    def ready(d):
        q = d.execute_script("""
            const img = document.getElementById("warped");
            return img.dataset.query === query() && !busy ? img.dataset.query : null;""")
        return q if q and urllib.parse.parse_qs(q)["effect"] == [effect] else None
    return WebDriverWait(driver, 20, poll_frequency=0.05).until(ready)


def shown(driver, effect, tmp_path):
    """Once settled, the parameters and the picture the page shows, which must
    equal what fxhost render makes of those parameters."""
    q = urllib.parse.parse_qs(settled(driver, effect))
    png = base64.b64decode(driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch(document.getElementById("warped").src).then(r => r.arrayBuffer()).then(b => {
          let s = ""; for (const c of new Uint8Array(b)) s += String.fromCharCode(c);
          done(btoa(s));
        });"""))
    effect = q.pop("effect")[0]
    picture = decode(png)
    np.testing.assert_array_equal(picture, render(tmp_path, effect, {k: v for k, (v,) in q.items()},
                                                  size=(W, H)))
    return {k: v for k, (v,) in q.items()}, picture


def test_the_page_follows_its_controls_and_shows_what_fxhost_renders(preview, browser, tmp_path):
    browser.get(preview.url + "/")
    # The effect list is filled once effects.json has arrived.
    first = WebDriverWait(browser, 20, poll_frequency=0.05).until(
        lambda d: d.execute_script('return document.getElementById("effect").value || null;'))
    settled(browser, first)
    effect = Select(browser.find_element(By.ID, "effect"))
    names = [o.get_attribute("value") for o in effect.options]
    assert len(names) == 10 and "drain" in names

    effect.select_by_value("drain")
    params0, picture0 = shown(browser, "drain", tmp_path)
    assert params0["P1"] == "5"  # the default

    # The degree slider moved by the keyboard, as a user would.
    browser.find_element(By.ID, "param-P1").send_keys(Keys.RIGHT * 150)
    params1, picture1 = shown(browser, "drain", tmp_path)
    assert float(params1["P1"]) > 10 and (picture1 != picture0).any()
    assert browser.find_element(By.CSS_SELECTOR, "#params output").text == params1["P1"]

    # The centre picked with the mouse in the point picker.
    pad = browser.find_element(By.ID, "param-P4")
    ActionChains(browser).move_to_element_with_offset(
        pad, -pad.size["width"] // 4, -pad.size["height"] // 5).click().perform()
    params2, picture2 = shown(browser, "drain", tmp_path)
    x, y = (float(v) for v in params2["P4"].split(","))
    assert 0.15 < x < 0.35 and 0.2 < y < 0.4 and (picture2 != picture1).any(), (x, y)

    # The switch, and an effect with a different set of controls.
    browser.find_element(By.ID, "param-P3").click()
    assert shown(browser, "drain", tmp_path)[0]["P3"] == "1"
    if os.environ.get("KZR_PREVIEW_SCREENSHOT"):
        browser.save_screenshot(os.environ["KZR_PREVIEW_SCREENSHOT"])
    effect.select_by_value("hmirror")
    assert set(shown(browser, "hmirror", tmp_path)[0]) == {"P1", "P2"}
    assert "error" not in browser.find_element(By.ID, "status").get_attribute("class")
