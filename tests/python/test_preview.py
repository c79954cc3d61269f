"""fxhost preview: its refusals and Ctrl-C over plain HTTP, and the page in
headless Chromium, whose picture must follow the controls and equal
fxhost render for the same parameters.

KZR_PREVIEW_SCREENSHOT=path saves a screenshot of the page."""

import base64
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request

import cv2
import numpy as np
import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

FXHOST = os.environ["KZR_FXHOST"]
W, H = 480, 270


class Preview:
    def __init__(self, *args):
        self.proc = subprocess.Popen([FXHOST, "preview", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("fxhost preview: http://127.0.0.1:"), (line, self.proc.stderr.read())
        self.url = line.split()[2].rstrip("/")

    def get(self, path, method="GET", data=None):
        req = urllib.request.Request(self.url + path, method=method, data=data)
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def interrupt(self):
        self.proc.send_signal(signal.SIGINT)
        out, err = self.proc.communicate(timeout=10)
        return self.proc.returncode, out, err

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


@pytest.fixture
def preview():
    p = Preview("--size", f"{W}x{H}")
    yield p
    p.close()


def decode(png):
    img = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_UNCHANGED)
    assert img is not None and img.shape[2] == 4
    return cv2.cvtColor(img, cv2.COLOR_BGRA2RGBA)


def fxhost_render(tmp_path, query):
    """fxhost render with the parameters of a /render.png query."""
    q = urllib.parse.parse_qs(query)
    out = tmp_path / "want.png"
    cmd = [FXHOST, "render", q.pop("effect")[0], "-o", str(out), "--force", "-q",
           "--size", f"{W}x{H}"]
    for key, (value,) in q.items():
        cmd += ["--set", f"{key}={value}"]
    subprocess.run(cmd, check=True, capture_output=True)
    return decode(out.read_bytes())


def test_the_server_refuses_what_it_does_not_serve_and_stops_on_ctrl_c(preview):
    status, headers, body = preview.get("/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    assert b"<title>fxhost preview</title>" in body
    status, _, body = preview.get("/source.png")
    assert status == 200 and decode(body).shape == (H, W, 4)
    for path, code, text in [
        ("/nope", 404, "no such page: /nope; served are /"),
        ("/render.png", 400, "name one effect"),
        ("/render.png?effect=swirl", 400, "valid effects: hmirror"),
        ("/render.png?effect=drain&P1=99", 400, "must be between 1 and 50; got 99"),
        ("/render.png?effect=drain&P4=0.5", 400, "is a position: use x,y"),
        ("/render.png?effect=drain&Twist=1", 400, "valid parameters: P1 (Degree)"),
        ("/render.png?effect=drain&P1=2&P1=3", 400, "given more than once"),
    ]:
        status, headers, body = preview.get(path)
        assert (status, headers["Content-Type"].split(";")[0]) == (code, "text/plain"), path
        assert text in body.decode(), (path, body)
    status, headers, body = preview.get("/render.png?effect=drain", "POST", b"x")
    assert status == 405 and headers["Allow"] == "GET, HEAD" and b"answers GET" in body
    status, _, body = preview.get("/elsewhere", "DELETE")
    assert status == 404 and b"no such page" in body
    code, out, err = preview.interrupt()
    assert code == 0 and "stopped" in out, err


def test_a_given_port_is_used_and_a_taken_one_refused():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    p = Preview("--size", "64x36", "--port", str(port))
    try:
        assert p.url == f"http://127.0.0.1:{port}"
        assert p.get("/")[0] == 200
        taken = subprocess.run([FXHOST, "preview", "--port", str(port)], capture_output=True,
                               text=True, timeout=10)
        assert taken.returncode == 1 and f"cannot listen on 127.0.0.1:{port}" in taken.stderr
    finally:
        p.close()
    bad = subprocess.run([FXHOST, "preview", "--input", "/nonexistent.png"], capture_output=True,
                         text=True, timeout=10)
    assert bad.returncode == 1 and "/nonexistent.png" in bad.stderr


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


def shown(driver):
    """The query and the PNG of the picture the page shows."""
    query = driver.find_element(By.ID, "warped").get_attribute("data-query")
    png = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch(document.getElementById("warped").src).then(r => r.arrayBuffer()).then(b => {
          let s = ""; for (const c of new Uint8Array(b)) s += String.fromCharCode(c);
          done(btoa(s));
        });""")
    return query, base64.b64decode(png)


def settled(driver, effect):
    """Waits until the picture shows the controls' current values."""
    def ready(d):
        q = d.execute_script("""
            const img = document.getElementById("warped");
            return img.dataset.query === query() && !busy ? img.dataset.query : null;""")
        return q and urllib.parse.parse_qs(q)["effect"] == [effect]
    WebDriverWait(driver, 20, poll_frequency=0.05).until(ready)


def test_the_page_follows_its_controls_and_shows_what_fxhost_renders(preview, browser, tmp_path):
    browser.get(preview.url + "/")
    # The effect list is filled once effects.json has arrived.
    first = WebDriverWait(browser, 20, poll_frequency=0.05).until(
        lambda d: d.execute_script('return document.getElementById("effect").value || null;'))
    settled(browser, first)
    names = [o.get_attribute("value")
             for o in Select(browser.find_element(By.ID, "effect")).options]
    assert len(names) == 10 and "drain" in names

    Select(browser.find_element(By.ID, "effect")).select_by_value("drain")
    settled(browser, "drain")
    query0, png0 = shown(browser)
    assert urllib.parse.parse_qs(query0)["P1"] == ["5"]  # the default
    np.testing.assert_array_equal(decode(png0), fxhost_render(tmp_path, query0))

    # The degree slider moved by the keyboard, as a user would.
    slider = browser.find_element(By.ID, "param-P1")
    slider.send_keys(Keys.RIGHT * 150)
    settled(browser, "drain")
    query1, png1 = shown(browser)
    degree = float(urllib.parse.parse_qs(query1)["P1"][0])
    assert degree > 10
    assert browser.find_element(By.CSS_SELECTOR, "#params output").text == \
        urllib.parse.parse_qs(query1)["P1"][0]
    assert (decode(png1) != decode(png0)).any()
    np.testing.assert_array_equal(decode(png1), fxhost_render(tmp_path, query1))

    # The centre picked with the mouse in the point picker.
    pad = browser.find_element(By.ID, "param-P4")
    size = pad.size
    ActionChains(browser).move_to_element_with_offset(
        pad, -size["width"] // 4, -size["height"] // 5).click().perform()
    settled(browser, "drain")
    query2, png2 = shown(browser)
    x, y = (float(v) for v in urllib.parse.parse_qs(query2)["P4"][0].split(","))
    assert 0.15 < x < 0.35 and 0.2 < y < 0.4, (x, y)
    assert (decode(png2) != decode(png1)).any()
    np.testing.assert_array_equal(decode(png2), fxhost_render(tmp_path, query2))

    # The switch, and an effect with a different set of controls.
    browser.find_element(By.ID, "param-P3").click()
    settled(browser, "drain")
    query3, png3 = shown(browser)
    assert urllib.parse.parse_qs(query3)["P3"] == ["1"]
    np.testing.assert_array_equal(decode(png3), fxhost_render(tmp_path, query3))

    shot = os.environ.get("KZR_PREVIEW_SCREENSHOT")
    if shot:
        browser.save_screenshot(shot)

    Select(browser.find_element(By.ID, "effect")).select_by_value("hmirror")
    settled(browser, "hmirror")
    query4, png4 = shown(browser)
    assert set(urllib.parse.parse_qs(query4)) == {"effect", "P1", "P2"}
    np.testing.assert_array_equal(decode(png4), fxhost_render(tmp_path, query4))
    assert "error" not in browser.find_element(By.ID, "status").get_attribute("class")
