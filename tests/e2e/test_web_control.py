"""The user's side of an update in the page: Stop with Continue and Abort,
Exit during an update, bad files, a device unplugged, the page reloaded, a
file dropped at the wrong time and a file changed on disk. Whatever happens,
the update ends with its texts and log entries, nothing goes out after a stop,
and the page is idle and works again."""

import subprocess
import time

import pytest

from conftest import make_update
from fixtures_web import wait_until

SLOW = ["--delay", "all:60"]  # every reply 60 ms late: an update takes about 3 s


def wait_packets(web, kind, count):
    wait_until(lambda: web.record(kind)["packets"] >= count, 20, f"{count} packets to arrive")


def stays(predicate, seconds=0.4):
    """predicate holds for the whole time (for things that must not happen)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        assert predicate()
        time.sleep(0.05)


def test_stop_then_continue_holds_the_update_and_goes_on(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 3)
    web.click("cmd-stop")
    wait_until(lambda: web.js("return document.getElementById('stop-dialog').open"), 5, "the stop dialog")
    # The packet in flight completes; then nothing more goes out while the dialog is open.
    time.sleep(0.3)
    held = web.record()["packets"]
    stays(lambda: web.record()["packets"] == held)
    assert web.js("return document.activeElement.id") == "stop-continue"
    web.click("stop-continue")
    wait_until(lambda: web.idle() and web.lines()[3] != " ", 20, "the update to end")
    assert web.lines()[3] == "Update Complete!"
    assert web.image() == update.read_bytes()
    assert "User aborted update" not in web.log()


def test_abort_sends_nothing_more_and_the_next_update_works(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 4)
    web.click("cmd-stop")
    web.click("stop-abort")
    web.wait_idle(15)
    sent = web.standin("__xrStandIn.writes(0).length")
    stays(lambda: web.standin("__xrStandIn.writes(0).length") == sent)
    assert web.record()["updates_completed"] == 0
    log = web.log()
    assert log.endswith("User aborted update\r\n\r\n")
    assert "Update completed successfully." not in log
    assert web.lines()[3] != "Update Complete!"
    # The next update starts from the beginning and completes.
    web.choose_file(update)
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the second update")
    assert web.image() == update.read_bytes()


def test_abort_ends_a_midi_reply_wait_at_once(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(midi=[("XR MIDI", ["--silent", "packet:3"])], settings={"DeviceType": "1"})
    web.choose_file(update)
    wait_packets(web, "midi", 3)
    web.click("cmd-stop")
    started = time.monotonic()
    web.click("stop-abort")
    web.wait_idle(5)
    # Not after the 10 s receive time-out.
    assert time.monotonic() - started < 2
    log = web.log()
    assert log.endswith("Sent packet 3 of 32...\r\n\r\nUser aborted update\r\n\r\n")
    assert "Receive Error(Timeout)" not in log
    assert web.lines()[3:] == [" ", " ", " "]


def test_exit_during_an_update_asks_first(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 2)
    web.click("cmd-exit")
    wait_until(lambda: web.js("return document.getElementById('stop-dialog').open"), 5, "the stop dialog")
    web.click("stop-continue")
    assert web.js("return document.getElementById('ended').hidden")
    web.click("cmd-exit")
    web.click("stop-abort")
    wait_until(lambda: not web.js("return document.getElementById('ended').hidden"), 15, "the page to end")
    assert not any(web.enabled(c) for c in ("exit", "update", "stop", "config"))
    assert web.record()["updates_completed"] == 0
    # The settings were saved as the program saves them at its end.
    assert web.js("return localStorage.getItem('XR3300/R SystemUpdate Utility/ComBaudRate')") == "38400"


BAD_FILES = [
    ("empty", lambda p: p.write_bytes(b"")),
    ("short without tag", lambda p: p.write_bytes(b"\x00" * 2000)),
    ("no tag anywhere", lambda p: p.write_bytes(b"\x00" * 262144)),
    ("wrong product", lambda p: p.write_bytes(b"PELD\x01\x00\x57\x00" + b"\x00" * (262144 - 8))),
    ("wrong attribute", lambda p: p.write_bytes(b"PELD\x01\x00\x58\x04" + b"\x00" * (262144 - 8))),
    ("one byte long", lambda p: p.write_bytes(b"PELD\x01\x00\x58\x00" + b"\x00" * (262144 - 7))),
]


@pytest.mark.parametrize("maker", [b[1] for b in BAD_FILES], ids=[b[0] for b in BAD_FILES])
def test_a_bad_file_is_refused_with_the_programs_text(web, build, tmp_path, maker):
    bad = tmp_path / "bad.sys"
    maker(bad)
    native = subprocess.run([str(build / "xrupdate"), "--info", str(bad)], capture_output=True, text=True,
                            timeout=30)
    web.open(serial=[[]])
    web.choose_file(bad)
    caption, text = web.ok_message()
    assert caption == "Error"
    assert text in native.stdout + native.stderr
    web.wait_idle(10)
    assert web.log().endswith("Update Failed : File format/version error\r\n\r\n")
    assert web.record()["messages"] == 0


def test_serial_device_unplugged_mid_update(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 5)
    web.standin("__xrStandIn.unplug('serial', 0)")
    web.wait_idle(15)
    lines = web.lines()
    assert lines[3] in ("Receive Error", "Transmit Error")
    assert lines[4] == "Please contact technical support."
    log = web.log()
    assert "Update completed successfully." not in log
    assert log.endswith(f"Update failed : {lines[3]}\r\n\r\n")  # the run's end in the log


def test_midi_device_unplugged_mid_update(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    # The reply to packet 5 comes late, and not at all once the device is gone:
    # the receive ends at its time-out (run ten times as fast here).
    web.open(midi=[("XR MIDI", ["--delay", "packet:5:3000"])], settings={"DeviceType": "1"}, time_scale=10)
    web.choose_file(update)
    wait_packets(web, "midi", 5)
    web.standin("__xrStandIn.unplug('midi', 0)")
    web.wait_idle(15)
    assert web.lines()[3:] == ["Receive Error(Timeout)", "XR3300 did not respond. Please check",
                               "MIDI configuration and cabling."]
    # Started again with the device gone: it does not open, and the page says why.
    web.choose_file(update)
    assert web.ok_message() == ["Error", "Midi In Open Error : Bad Device ID"]
    web.wait_idle(15)
    assert web.log().endswith("Midi In Open Error : Bad Device ID\r\n\r\n")
    assert any("MIDI devices could not be opened" in n for n in web.notices())


def leaving_is_questioned(web):
    """Whether the page asks before it is left (WebDriver accepts the
    browser's own question by itself, so the page's answer is looked at)."""
    return web.js("""const e = new Event('beforeunload', {cancelable: true});
                     window.dispatchEvent(e); return e.defaultPrevented;""")


def test_reload_during_an_update_asks_and_tells_afterwards(web, tmp_path):
    update = make_update(tmp_path / "reload.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    assert not leaving_is_questioned(web)
    web.choose_file(update)
    wait_until(lambda: "Sent packet 3 of 32..." in web.log(), 20, "three packets")
    assert leaving_is_questioned(web)
    web.driver.refresh()
    web.wait_ready()
    assert any("reload.sys" in n and "did not finish" in n for n in web.notices())
    log = web.log()
    assert "Starting serial transfer of file reload.sys" in log and "Sent packet 3 of 32..." in log
    assert "Update completed successfully." not in log
    # After an update that ends, the next start has nothing to tell.
    web.choose_file(update)
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the new update")
    assert not leaving_is_questioned(web)
    web.open(serial=[[]], keep_storage=True)
    assert not any("did not finish" in n for n in web.notices())


def test_a_file_dropped_during_an_update_is_not_started(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 2)
    drop = """
        const data = new DataTransfer();
        data.items.add(new File([new Uint8Array(262144)], 'other.sys'));
        document.getElementById('window').dispatchEvent(
            new DragEvent('drop', {dataTransfer: data, bubbles: true, cancelable: true}));"""
    web.js(drop)
    assert any("not started" in n for n in web.notices())
    wait_until(lambda: web.idle() and web.lines()[3] == "Update Complete!", 20, "the update to end")
    assert web.lines()[0] == "u.sys"
    assert web.image() == update.read_bytes()
    assert "other.sys" not in web.log()
    # Dropped while idle, a file starts (it is refused here: all zeros, no tag).
    web.js(drop)
    assert web.ok_message() == ["Error", "Illegal File_ID"]
    web.wait_idle()
    assert "Starting serial transfer of file other.sys" in web.log()


def test_a_name_too_long_for_the_path_buffer_is_refused_whole(web):
    web.open(serial=[[]])
    name = "n" * 300 + ".sys"
    web.js("""const data = new DataTransfer();
              data.items.add(new File([new Uint8Array(262144)], arguments[0]));
              document.getElementById('window').dispatchEvent(
                  new DragEvent('drop', {dataTransfer: data, bubbles: true, cancelable: true}));""", name)
    assert web.ok_message() == ["Error", "File Open Error"]
    web.wait_idle()
    assert web.log().endswith(f"Update Failed : Failed to open file {name}\r\n\r\n")
    assert web.record()["messages"] == 0


def test_a_file_changed_during_the_update_cannot_mix_into_it(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    checked = update.read_bytes()
    web.open(serial=[SLOW])
    web.choose_file(update)
    wait_packets(web, "serial", 3)
    update.write_bytes(checked[:-1] + b"!")  # the file was read whole before anything was sent
    web.wait_idle(60)
    assert web.lines()[3] == "Update Complete!"
    assert web.image() == checked
