"""Fixtures of the web page's tests: the built page served on 127.0.0.1 (a
secure context for the browser), one headless Chromium for the session driven
by Selenium, and a page helper that loads the page with the test stand-ins for
Web Serial and Web MIDI installed before the page's own scripts.

The stand-ins (tests/e2e/web/standins.js) serve the simulated instrument
compiled to WebAssembly (build/web/test/xrsim_web.js), which takes xrsim's
options; nothing of them is in the page's folder."""

import base64
import functools
import http.server
import json
import os
import pathlib
import shutil
import tempfile
import threading

import pytest

from conftest import wait_for

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
STANDINS = HERE / "web" / "standins.js"


def pytest_addoption(parser):
    parser.addoption("--web-dir", default=os.environ.get("XR_WEB_BUILD", str(ROOT / "build" / "web")),
                     help="the web build folder (page/, test/)")
    parser.addoption("--artifacts", default=os.environ.get("XR_WEB_ARTIFACTS", ""),
                     help="where screenshots are kept (default: WEB-DIR/screenshots)")


@pytest.fixture(scope="session")
def web_build(request):
    path = pathlib.Path(request.config.getoption("--web-dir")).resolve()
    for part in ("page/index.html", "page/xrupdate.js", "page/xrupdate.wasm", "test/xrsim_web.js"):
        if not (path / part).exists():
            pytest.fail(f"{path / part} is missing: build the page first")
    return path


@pytest.fixture(scope="session")
def artifacts(request, web_build):
    chosen = request.config.getoption("--artifacts")
    path = pathlib.Path(chosen) if chosen else web_build / "screenshots"
    path.mkdir(parents=True, exist_ok=True)
    return path


class _Handler(http.server.SimpleHTTPRequestHandler):
    """The page at /, the stand-ins' instrument at /test/."""

    extensions_map = {".html": "text/html", ".js": "text/javascript", ".mjs": "text/javascript",
                      ".css": "text/css", ".wasm": "application/wasm", ".svg": "image/svg+xml",
                      "": "application/octet-stream"}

    def __init__(self, *args, page=None, test=None, **kwargs):
        self._page = page
        self._test = test
        super().__init__(*args, directory=str(page), **kwargs)

    def do_GET(self):
        if self.path.split("?", 1)[0] == "/test/empty.html":
            # A page of the same site without the page, to set its storage.
            body = b"<!DOCTYPE html><title>empty</title>"
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        super().do_GET()

    def translate_path(self, path):
        clean = path.split("?", 1)[0].split("#", 1)[0]
        if clean.startswith("/test/"):
            return str(self._test / pathlib.PurePosixPath(clean[len("/test/"):]).name)
        return super().translate_path(path)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def web_server(web_build):
    handler = functools.partial(_Handler, page=web_build / "page", test=web_build / "test")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def start_chromium(user_data_dir):
    """Headless Chromium as root needs no sandbox; a fresh profile, nothing
    fetched from the network. Fewer processes of its own (the GPU's work in
    the browser's, one renderer, no extensions, no software GL): a third less
    processor time here, and a third less wall time in the emulated guest."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--hide-scrollbars", f"--user-data-dir={user_data_dir}",
                 "--window-size=1280,900", "--in-process-gpu", "--renderer-process-limit=1",
                 "--disable-extensions", "--disable-software-rasterizer"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


@pytest.fixture(scope="session")
def browser():
    profile = tempfile.mkdtemp(prefix="xr-chromium-")
    driver = start_chromium(profile)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


# The shared wait, under the name the page's tests use.
wait_until = wait_for


class WebPage:
    """The page in the session's browser, with its stand-ins."""

    def __init__(self, driver, base, folder):
        self.driver = driver
        self.base = base
        self.folder = folder

    # ---- loading

    def open(self, serial=None, midi=None, chooser=None, remove=None, time_scale=None, lang="en",
             width=1280, height=900, keep_storage=False, settings=None, query="", url=None, ready=True,
             standins=True):
        """Loads the page with stand-ins for these devices. serial: a list of
        ports, each a list of xrsim options or a dict of the stand-in's port
        settings; midi: a list of devices (name, options) or a dict;
        settings: keys of the settings to store first, as the INI file has them;
        standins=False: the browser's own Web Serial and Web MIDI."""
        config = {}
        if serial is not None:
            config["serial"] = [p if isinstance(p, dict) else {"options": list(p)} for p in serial]
        if midi is not None:
            config["midi"] = midi if isinstance(midi, dict) else {
                "permission": "granted",
                "devices": [{"name": name, "options": list(options)} for name, options in midi]}
        if chooser is not None:
            config["chooser"] = chooser
        if remove:
            config["remove"] = list(remove)
        if time_scale:
            config["timeScale"] = time_scale
        self.cdp("Page.enable", {})
        # One set of stand-ins per document: the last test's go first.
        old = getattr(self.driver, "xr_standin_script", None)
        if old is not None:
            try:
                self.cdp("Page.removeScriptToEvaluateOnNewDocument", {"identifier": old})
            except Exception:
                pass  # it belonged to a tab that a test closed
        self.driver.xr_standin_script = None
        if standins:
            source = f"window.__xrStandInConfig = {json.dumps(config)};\n" + STANDINS.read_text()
            self.driver.xr_standin_script = self.cdp("Page.addScriptToEvaluateOnNewDocument",
                                                     {"source": source})["identifier"]
        self.cdp("Emulation.setLocaleOverride", {"locale": "ja-JP" if lang == "ja" else "en-US"})
        self.cdp("Emulation.setUserAgentOverride", {
            "userAgent": self.driver.execute_script("return navigator.userAgent"),
            "acceptLanguage": "ja-JP,ja" if lang == "ja" else "en-US,en"})
        self.driver.set_window_size(width, height)
        target = url or (self.base + "/" + query)
        if not keep_storage:
            self.driver.get("about:blank")
            self.cdp("Storage.clearDataForOrigin", {"origin": self.base, "storageTypes": "all"})
        if settings:
            self.driver.get(self.base + "/test/empty.html")
            self.js("for (const [k, v] of Object.entries(arguments[0])) "
                    "localStorage.setItem('XR3300/R SystemUpdate Utility/' + k, String(v))", settings)
        self.driver.get(target)
        if ready:
            self.wait_ready()
        return self

    def cdp(self, command, params):
        return self.driver.execute_cdp_cmd(command, params)

    def wait_ready(self, timeout=15):
        wait_until(lambda: self.js("return document.body.dataset.ready === '1'"), timeout,
                   "the page to start")

    # ---- looking at it

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def lines(self):
        return self.js("return [0,1,2,3,4,5].map(i => document.getElementById('line' + i).textContent)")

    def enabled(self, command):
        return not self.js(f"return document.getElementById('cmd-{command}').disabled")

    def idle(self):
        return self.enabled("update") and not self.enabled("stop")

    def log(self):
        """The support log as the page keeps it (the bytes it downloads)."""
        return self.js("""
            const text = document.getElementById('log-text');
            return new Promise(r => requestAnimationFrame(() => r(text.textContent)));""")

    def notices(self):
        return self.js("return Array.from(document.querySelectorAll('#notices .notice span')).map(e => e.textContent)")

    def message(self):
        """The open message box as (caption, text), or None."""
        return self.js("""
            const d = document.getElementById('message-dialog');
            return d.open ? [document.getElementById('message-caption').textContent,
                             document.getElementById('message-text').textContent] : null""")

    def standin(self, expression, *args):
        return self.js("return " + expression, *args)

    def image(self, kind="serial", index=0):
        return base64.b64decode(self.standin(f"__xrStandIn.image('{kind}', {index})"))

    def record(self, kind="serial", index=0):
        return self.standin(f"__xrStandIn.record('{kind}', {index})")

    # ---- using it

    def click(self, element_id):
        self.driver.find_element("id", element_id).click()

    def choose_file(self, path):
        """Update..., then the file in the chooser (the page's file input)."""
        self.driver.find_element("id", "file-input").send_keys(str(path))

    def ok_message(self):
        wait_until(lambda: self.message() is not None, 10, "a message box")
        shown = self.message()
        self.click("message-ok")
        return shown

    def wait_idle(self, timeout=30):
        wait_until(self.idle, timeout, "the page to be idle again")

    def wait_line(self, line, text, timeout=30):
        wait_until(lambda: self.lines()[line] == text, timeout, f"line {line} to read {text!r}")

    def screenshot(self, name):
        path = self.folder / f"{name}.png"
        self.driver.save_screenshot(str(path))
        return path

    def cut_texts(self):
        """Text elements whose text does not fit their box (scroll width past
        the client width), as 'id-or-tag: text'."""
        return self.js("""
            const cut = [];
            for (const e of document.querySelectorAll('body *')) {
              if (e.closest('[hidden]') || e.closest('dialog:not([open])')) continue;
              if (!e.childNodes.length || ![...e.childNodes].some(n => n.nodeType === 3 && n.textContent.trim())) continue;
              const style = getComputedStyle(e);
              if (style.display === 'none' || style.visibility === 'hidden') continue;
              if (e.scrollWidth > e.clientWidth + 1 && style.overflowX !== 'auto' && style.overflowX !== 'scroll')
                cut.push((e.id || e.tagName) + ': ' + e.textContent.trim().slice(0, 60));
              const box = e.getBoundingClientRect();
              if (box.right > document.documentElement.clientWidth + 1)
                cut.push((e.id || e.tagName) + ' (past the page edge): ' + e.textContent.trim().slice(0, 60));
            }
            return cut;""")


@pytest.fixture
def web(browser, web_server, artifacts):
    page = WebPage(browser, web_server, artifacts)
    yield page
    # Nothing of one test reaches the next: no dialog left open, no page running.
    try:
        browser.execute_script("window.onbeforeunload = null")
        browser.get("about:blank")
    except Exception:
        try:
            browser.switch_to.alert.accept()
        except Exception:
            pass
