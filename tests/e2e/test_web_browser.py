"""Where the browser is the problem, the page says so and names the fix: no
Web Serial or Web MIDI, access refused, no port chosen, a port in use, a
second tab. And what the browser keeps: the settings under the settings
file's keys, the support log across a reload."""

import pytest

from conftest import make_update
from fixtures_web import wait_until

KEY = "XR3300/R SystemUpdate Utility/"


def stored(web, key):
    return web.js("return localStorage.getItem(arguments[0])", KEY + key)


def test_without_either_api_the_page_names_the_browsers_that_work(web):
    web.open(remove=["serial", "midi"], ready=False)
    wait_until(web.notices, 10, "a notice")
    (text,) = web.notices()
    assert "neither Web Serial nor Web MIDI" in text and "Chrome" in text and "Edge" in text
    assert not any(web.enabled(c) for c in ("update", "stop", "config"))


@pytest.mark.parametrize("missing, says", [("serial", "no Web Serial"), ("midi", "no Web MIDI")])
def test_with_one_api_missing_the_other_link_works(web, tmp_path, missing, says):
    serial = [[]] if missing != "serial" else None
    midi = [("XR MIDI", [])] if missing != "midi" else None
    settings = {"DeviceType": "1"} if missing == "serial" else None
    web.open(serial=serial, midi=midi, remove=[missing], settings=settings)
    assert any(says in n for n in web.notices())
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=1)
    web.choose_file(update)
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the update")
    assert web.image("midi" if missing == "serial" else "serial") == update.read_bytes()


def test_a_page_that_is_no_secure_context_says_where_to_open_it(web, web_build):
    import functools, http.server, socket, threading
    from fixtures_web import _Handler
    # This computer's address on its network (a UDP "connection" sends nothing).
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.connect(("10.255.255.255", 9))
            address = probe.getsockname()[0]
    except OSError:
        address = "127.0.0.1"
    if address.startswith("127."):
        pytest.skip("no address but the loopback one: every page here is a secure context")
    handler = functools.partial(_Handler, page=web_build / "page", test=web_build / "test")
    server = http.server.ThreadingHTTPServer((address, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        web.open(serial=[[]], url=f"http://{address}:{server.server_address[1]}/", keep_storage=True, ready=False)
        wait_until(web.notices, 10, "a notice")
        assert web.js("return window.isSecureContext") is False
        (text,) = web.notices()
        assert "https://" in text and "http://localhost" in text
    finally:
        server.shutdown()
        server.server_close()


def test_midi_permission_refused_is_explained(web, tmp_path):
    web.open(midi={"permission": "denied", "devices": [{"name": "XR MIDI", "options": []}]},
             settings={"DeviceType": "1"})
    assert any("refused access to the MIDI devices" in n for n in web.notices())
    web.choose_file(make_update(tmp_path / "u.sys"))
    # The engine's own message for the link that does not open, then the fix.
    assert web.ok_message() == ["Error", "Midi In Open Error : Bad Device ID"]
    web.wait_idle()
    assert web.log().endswith("Midi In Open Error : Bad Device ID\r\n\r\n")


def test_no_port_chosen_and_the_chooser_cancelled(web, tmp_path):
    web.open(serial=[{"options": [], "granted": False}], chooser="cancel", settings={"DeviceType": "0"})
    update = make_update(tmp_path / "u.sys")
    # No port granted and no MIDI device: the settings' serial link has no port.
    web.js("localStorage.setItem(arguments[0], '0')", KEY + "DeviceType")
    web.click("cmd-config")
    web.click("c101")
    web.click("port-choose")
    wait_until(lambda: "No port was chosen" in web.js("return document.getElementById('config-note').textContent"),
               5, "the chooser's answer")
    web.click("c1")
    web.choose_file(update)
    assert web.ok_message() == ["Error", "Comm Port Open Error!(CreateFile)"]
    web.wait_idle()
    assert any("No serial port is chosen" in n for n in web.notices())
    assert "Starting serial transfer of file u.sys" in web.log()


def test_a_port_granted_in_the_form_is_used(web, tmp_path):
    web.open(serial=[{"options": [], "granted": False}], chooser=0)
    web.click("cmd-config")
    web.click("c101")
    assert web.js("return document.getElementById('c103').disabled")
    web.click("port-choose")
    wait_until(lambda: not web.js("return document.getElementById('c103').disabled"), 5, "COM1 to open")
    assert web.js("return document.getElementById('what1').textContent") == "(USB 0403:6001)"
    web.click("c103")
    web.click("c1")
    assert web.js("return document.getElementById('link').textContent") == \
        "Link: COM1 (USB 0403:6001) at 38400 baud"
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=1)
    web.choose_file(update)
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the update")
    assert web.image() == update.read_bytes()


def test_a_port_in_use_elsewhere_is_named(web, tmp_path):
    web.open(serial=[[]])
    web.standin("__xrStandIn.serial[0].settings.busy = true")  # another program took it meanwhile
    web.choose_file(make_update(tmp_path / "u.sys"))
    assert web.ok_message() == ["Error", "Comm Port Open Error!(CreateFile)"]
    web.wait_idle()
    assert any("COM1 could not be opened" in n and "Another program" in n for n in web.notices())
    assert web.log().endswith("Update Failed : Comm Port Open Error!(CreateFile)\r\n\r\n")


def test_a_second_tab_waits_for_the_first(web, tmp_path):
    web.open(serial=[[]])
    first = web.driver.current_window_handle
    web.driver.switch_to.new_window("tab")
    second = web.driver.current_window_handle
    web.driver.get(web.base + "/")
    wait_until(lambda: any("already open in another tab" in n for n in web.notices()), 10,
               "the second tab's notice")
    assert not web.enabled("update")
    # The first tab goes: the second takes its turn.
    web.driver.switch_to.window(first)
    web.driver.close()
    web.driver.switch_to.window(second)
    wait_until(lambda: not web.notices(), 10, "the second tab's turn")
    web.wait_ready()
    assert web.enabled("update")


def test_settings_are_kept_under_the_settings_files_keys(web):
    web.open(serial=[[]], midi=[("XR MIDI", []), ("Other MIDI", [])])
    web.click("cmd-config")
    web.click("c102")
    web.js("document.getElementById('c110').selectedIndex = 1; document.getElementById('c116').selectedIndex = 3")
    web.click("c107")
    web.click("c1")
    web.click("cmd-exit")
    wait_until(lambda: stored(web, "TransferRate") is not None, 5, "the settings to be saved")
    assert {k: stored(web, k) for k in ("DeviceType", "OutputMidiDevice", "InputMidiDevice", "TransferRate",
                                        "SkipVersionCheck", "ComPortNum", "ComBaudRate", "CurrentPath")} == {
        "DeviceType": "1", "OutputMidiDevice": "Other MIDI", "InputMidiDevice": "XR MIDI",
        "TransferRate": "3", "SkipVersionCheck": "1", "ComPortNum": "1", "ComBaudRate": "38400",
        "CurrentPath": ""}
    assert stored(web, "Warning") is None  # read, never written
    web.open(serial=[[]], midi=[("XR MIDI", []), ("Other MIDI", [])], keep_storage=True)
    assert web.js("return document.getElementById('link').textContent") == \
        'Link: MIDI out "Other MIDI", in "XR MIDI", Very Slow'


def test_a_stored_device_that_is_gone_is_told_in_the_browsers_language(web):
    web.open(serial=[[]], midi=[("XR MIDI", [])], lang="ja", ready=False,
             settings={"DeviceType": "1", "OutputMidiDevice": "Gone MIDI"})
    caption, text = web.ok_message()
    assert caption == "XR3300/R SystemUpdate Utility"
    assert text.startswith("設定ファイルで指定された出力デバイス名が\n")
    web.wait_ready()


def test_the_log_is_kept_across_a_reload_and_grows(web, tmp_path):
    web.open(serial=[[]])
    web.choose_file(make_update(tmp_path / "u.sys", major=1, minor=1))
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the update")
    first = web.log()
    assert first.startswith("\r\n****************\r\n** XR3300/R SystemUpdate Utility v1.3 started on "
                            "Unknown Windows Version\r\n****************\r\n")
    web.open(serial=[[]], keep_storage=True)
    web.choose_file(tmp_path / "u.sys")
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the second update")
    second = web.log()
    assert second.startswith(first) and second.count("started on Unknown Windows Version") == 2
    assert "\n" not in second.replace("\r\n", "")
    # "Download vup_log.txt" saves exactly those bytes under that name.
    saved = web.js("""
        let name = null, blob = null;
        const make = URL.createObjectURL;
        URL.createObjectURL = (b) => { blob = b; return make(b); };
        HTMLAnchorElement.prototype.click = function() { name = this.download; };
        document.getElementById('log-download').click();
        return blob.arrayBuffer().then((b) => [name, Array.from(new Uint8Array(b))]);""")
    assert saved[0] == "vup_log.txt"
    assert bytes(saved[1]) == second.encode()
