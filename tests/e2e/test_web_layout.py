"""The page as the user sees it: the main window during an update, the stop
dialog and the configuration form in English and Japanese, 1280 and 360 px
wide and at 200 % zoom, with no text cut; screenshots are kept
(WEB-DIR/screenshots). And the keyboard: every command reachable, the focus
visible, Esc answering the dialogs."""

import pytest
from selenium.webdriver.common.keys import Keys

from conftest import make_update
from fixtures_web import wait_until

SLOW = ["--delay", "all:60"]


@pytest.mark.parametrize("lang", ["en", "ja"])
@pytest.mark.parametrize("width", [1280, 360])
def test_screens_show_every_text_whole(web, tmp_path, lang, width):
    update = make_update(tmp_path / "a-long-update-file-name-for-the-display.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW], midi=[("USB MIDI Interface with a long name", [])], lang=lang, width=width, height=800)
    web.choose_file(update)
    wait_until(lambda: web.js("return !document.getElementById('progress').hidden") and
               web.record()["packets"] >= 2, 20, "the progress")
    assert web.js("return document.documentElement.lang") == lang
    shown = {"main": (web.screenshot(f"main-{lang}-{width}"), web.cut_texts())}
    web.click("cmd-stop")
    wait_until(lambda: web.js("return document.getElementById('stop-dialog').open"), 5, "the stop dialog")
    texts = web.js("return [1, 0, 2].map(i => document.getElementById('stop-line' + i).textContent)")
    assert texts[0] == ("(再度ＩＰＬモードでシステム転送を完了してください)" if lang == "ja"
                        else "(If so try the transfer again and let it complete.)")
    shown["stop"] = (web.screenshot(f"stop-{lang}-{width}"), web.cut_texts())
    web.click("stop-continue")
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 30, "the update to end")
    web.click("cmd-config")
    web.click("c102")
    shown["config"] = (web.screenshot(f"config-{lang}-{width}"), web.cut_texts())
    web.click("c2")
    for name, (path, cut) in shown.items():
        assert path.stat().st_size > 0
        assert cut == [], f"{name} at {width} px ({lang}) cuts: {cut}"


def test_at_200_percent_zoom_nothing_is_cut(web, tmp_path):
    web.open(serial=[[]], midi=[("XR MIDI", [])])
    # A 1280 x 800 window at 200 %: a 640 x 400 page of twice the pixels.
    web.cdp("Emulation.setDeviceMetricsOverride", {"width": 640, "height": 400, "deviceScaleFactor": 2,
                                                   "mobile": False})
    try:
        web.choose_file(make_update(tmp_path / "u.sys", attr=0, major=1, minor=1))
        wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the update")
        assert web.cut_texts() == []
        web.screenshot("main-en-zoom200")
        web.click("cmd-config")
        assert web.cut_texts() == []
        web.screenshot("config-en-zoom200")
        web.click("c2")
    finally:
        web.cdp("Emulation.clearDeviceMetricsOverride", {})


def focused(web):
    return web.js("return document.activeElement.id")


def test_the_keyboard_reaches_every_command_and_shows_where_it_is(web, tmp_path):
    web.open(serial=[SLOW])
    body = web.driver.find_element("tag name", "body")
    body.send_keys(Keys.TAB)
    order = []
    for _ in range(3):
        order.append(focused(web))
        web.driver.switch_to.active_element.send_keys(Keys.TAB)
    # "&Stop..." is grayed while no update runs, so Tab passes it.
    assert order == ["cmd-exit", "cmd-update", "cmd-config"]
    outline = web.js("return getComputedStyle(document.activeElement).outlineStyle")
    assert web.js("return document.activeElement.matches(':focus-visible')")
    assert outline != "none"
    # Config... with Enter, and Esc cancels the form.
    web.driver.find_element("id", "cmd-config").send_keys(Keys.ENTER)
    wait_until(lambda: web.js("return document.getElementById('config-dialog').open"), 5, "the form")
    web.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
    wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 5, "the form to close")
    # During an update: Stop... with Enter; Esc is "Continue".
    web.choose_file(make_update(tmp_path / "u.sys", attr=0, major=1, minor=9))
    wait_until(lambda: web.enabled("stop"), 20, "Stop... to be offered")
    web.driver.find_element("id", "cmd-stop").send_keys(Keys.ENTER)
    wait_until(lambda: web.js("return document.getElementById('stop-dialog').open"), 5, "the stop dialog")
    assert focused(web) == "stop-continue"
    web.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
    wait_until(lambda: not web.js("return document.getElementById('stop-dialog').open"), 5, "Continue")
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 30, "the update to go on")
