"""The page's dialogs as the program's: a box shown right after another waits
for its own answer, Enter is OK and Esc is Cancel in the configuration form
from any field, and the form tells what the slow MIDI rates do on the page."""

from selenium.webdriver.common.keys import Keys

from fixtures_web import wait_until


def still_open_after_the_events(web, dialog_id):
    """Whether the dialog is still open once the browser has delivered what it
    had queued (two animation frames and a timer round)."""
    return web.driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(() =>
            done(document.getElementById(arguments[0]).open), 50)));""", dialog_id)


def test_the_second_of_two_start_up_messages_waits_for_its_ok(web):
    # Both remembered MIDI devices are gone: 1001, then 1002.
    web.open(serial=[[]], midi=[("XR MIDI", [])], ready=False,
             settings={"DeviceType": "1", "OutputMidiDevice": "Gone Out", "InputMidiDevice": "Gone In"})
    first = web.ok_message()
    assert "MIDI output device" in first[1]
    wait_until(lambda: web.message() is not None, 10, "the second message")
    assert still_open_after_the_events(web, "message-dialog")
    second = web.ok_message()
    assert "MIDI input device" in second[1]
    web.wait_ready()


def open_config(web):
    web.click("cmd-config")
    wait_until(lambda: web.js("return document.getElementById('config-dialog').open"), 10, "the form")


def test_enter_is_ok_from_any_field_and_esc_is_cancel(web):
    # A check box and a radio button on the serial link, a list on the MIDI link.
    for device_type, field in (("0", "c107"), ("0", "c103"), ("1", "c116")):
        web.open(serial=[[]], midi=[("XR MIDI", [])], settings={"DeviceType": device_type})
        open_config(web)
        web.click("c107")  # Skip Version Check changes
        wanted = web.js("return document.getElementById('c107').checked")
        web.js("document.getElementById(arguments[0]).focus()", field)
        assert web.js("return document.activeElement.id") == field
        web.driver.switch_to.active_element.send_keys(Keys.ENTER)
        wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 5,
                   f"Enter in {field} to close the form")
        open_config(web)  # the form shows what OK kept
        assert web.js("return document.getElementById('c107').checked") == wanted
        web.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 5, "Esc")
    open_config(web)
    before = web.js("return document.getElementById('c107').checked")
    web.click("c107")
    web.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
    wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 5, "Esc")
    open_config(web)
    assert web.js("return document.getElementById('c107').checked") == before  # Cancel dropped the change
    assert "slow rates lengthen the pauses between messages, not the bytes" in \
        web.js("return document.getElementById('rate-note').textContent")
    # Enter on a button presses that button: Cancel here.
    web.click("c107")
    web.js("document.getElementById('c2').focus()")
    web.driver.switch_to.active_element.send_keys(Keys.ENTER)
    wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 5, "Cancel")
    open_config(web)
    assert web.js("return document.getElementById('c107').checked") == before
