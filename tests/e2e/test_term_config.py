"""The configuration form of the terminal front end: what can be chosen, Esc
and OK, and the device behind each port (shown beside it, typed or picked from
the serial devices present, tried as start-up tries the ports, refused whole
when too long) kept in the settings file."""

import glob
import os
import re

from conftest import make_update
from fixtures_term import ini_lines, received_is, term_settings

SERIAL_PRESENT = bool(glob.glob("/dev/ttyS[0-9]*") + glob.glob("/dev/ttyUSB[0-9]*") + glob.glob("/dev/ttyACM[0-9]*"))


def open_form(ui, check=None):
    ui.keys("c")
    ui.wait_screen("Device Select", 3, check=check)


def close_form(ui, *keys, check=None):
    ui.keys(*keys)
    ui.wait_gone("Device Select", 3, check=check)


def test_the_form_offers_what_can_be_used_and_keeps_what_ok_takes(place, instruments, front_end):
    sim = instruments()
    # No link in the settings: the one the program saves is its own.
    ini = term_settings(place, sim.pty, DeviceType=None)
    ui = front_end("--ini", ini)
    open_form(ui, check="the configuration form")
    ui.record("the configuration form")
    assert ui.dim("COM2"), "a missing port cannot be chosen"
    assert not ui.dim("COM1"), "the port found is offered"
    assert ui.dim("57.6kBps"), '"57.6kBps" is never selectable'
    assert ui.dim("Use MIDI"), "MIDI without devices cannot be chosen"
    assert ui.shows("(*) Use Serial Port"), "serial link checked"
    # The focus starts on OK; one step back is "Skip Version Check".
    ui.keys("Up", "Space")
    ui.wait_screen("[X] Skip Version Check", 2, check="Skip Version Check ticks")
    close_form(ui, "Escape", check="Esc cancels")
    open_form(ui)
    assert ui.shows("[ ] Skip Version Check"), "a cancelled change is not kept"
    close_form(ui, "Up", "Space", "Enter", check="OK closes it")
    open_form(ui)
    assert ui.shows("[X] Skip Version Check"), "the change is kept"
    close_form(ui, "Escape")
    ui.keys("e")
    assert ui.wait_exit() == 0
    assert "SkipVersionCheck=1" in ini_lines(ini), "saved as SkipVersionCheck=1"
    assert "DeviceType=0" in ini_lines(ini), "the link is saved"


def test_the_device_behind_each_port(place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    make_update(place / "notes.txt", size=16)
    adapter = f"{place}/usb adapter é"
    os.symlink(sim.pty, adapter)
    ui = front_end("--ini", ini)
    open_form(ui)
    ui.record("the configuration form with the device of each port")
    assert ui.shows(f"COM1 {sim.pty}"), "COM1 shows its device"
    assert ui.shows(f"COM2 ...{str(place)[-4:]}/no-such-com2"), "COM2 shows its device, the end of a long path"
    assert ui.shows(f"< COM1 >  [{sim.pty} "), "the device field shows the chosen port's device"
    assert ui.dim("COM2"), "a port whose device does not open stays dim"
    # From OK: "Skip Version Check", "38.4kBps", the field, then the port before it.
    ui.keys("Up", "Up", "Up", "Up", "Right")
    ui.wait_screen(f"< COM2 >  [{place}/no-such-com2", 2, check="the field's port can be any of the four")
    ui.keys("Down")
    if SERIAL_PRESENT:
        ui.wait_screen("Present (Left/Right): /dev/tty", 2, check="entering the field names the serial devices present")
    else:
        ui.wait_screen("No serial device", 2, check="entering the field says no serial device is present")
    ui.keys("C-u")
    ui.text(f"{place}/nothing here")
    ui.keys("Tab")
    ui.wait_screen(f"COM2: {place}/nothing here does not exist.", 3, check="a device that does not exist says so")
    assert ui.dim("COM2"), "and its port stays dim"
    ui.keys("BTab", "C-u")
    ui.text(f"{place}/notes.txt")
    ui.keys("Enter")
    ui.wait_screen(f"COM2: {place}/notes.txt is not a terminal.", 3, check="a file that is no terminal says so")
    ui.keys("BTab", "C-u", "Tab")
    ui.wait_screen(f"A device path is needed; COM2 keeps {place}/notes.txt.", 3, check="an empty path keeps the device")
    ui.keys("BTab", "C-u")
    ui.text(adapter)
    ui.keys("Enter")
    ui.wait_screen(f"COM2: {adapter} opens.", 3,
                   check="a path with a blank and a non-ASCII letter, to a terminal, opens")
    ui.record("a device typed for COM2 that opens")
    assert not ui.dim("COM2"), "its port is offered now"
    ui.keys("BTab", "BTab", "BTab", "Space")
    ui.wait_screen("(*) COM2", 2, check="choosing COM2 checks it")
    assert ui.shows(f"< COM2 >  [{adapter}"), "and the field shows its device"
    # The serial devices present are offered with Left and Right.
    ui.keys("Down", "Down", "Right")
    if SERIAL_PRESENT:
        ui.wait_screen("< COM2 >  [/dev/tty", 3, check="Right offers a serial device present")
        assert re.search(r"COM2: /dev/tty(S|USB|ACM)[0-9]+ ", ui.screen()), "and tries it at once"
        ui.record("a serial device offered")
        ui.keys("Left")
        ui.wait_screen("COM2: /dev/tty", 3, check="Left goes back")
    else:
        ui.wait_screen("No serial device", 3, check="no serial device present says so")
    ui.keys("C-u")
    ui.text(adapter)
    close_form(ui, "Enter", "Enter", check="OK closes the form")
    open_form(ui)
    ui.keys("Up", "Up", "Up", "C-u")
    ui.text(f"{place}/no-such-com2-either")
    close_form(ui, "Tab", "Escape")
    ui.keys("e")
    assert ui.wait_exit() == 0
    saved = ini_lines(ini)
    assert f"Com2Device={adapter}" in saved, "saved as Com2Device"
    assert "ComPortNum=2" in saved, "the port chosen is saved"
    assert not any("no-such-com2-either" in line for line in saved), "a cancelled device is not kept"
    assert f"Com3Device={place}/no-such-com3" in saved, "the other lines are kept"

    again = front_end("--ini", ini, "sample.sys", name="again")
    again.wait_screen("Update Complete!", 20, check="after a restart the update goes through COM2's device")
    received_is(sim, place / "sample.sys", check="byte for byte")
    open_form(again)
    assert again.shows("(*) COM2 ...") and again.shows("/usb adapter é"), "and the form shows it"
    close_form(again, "Escape")
    again.keys("e")
    assert again.wait_exit() == 0


def test_a_device_path_longer_than_the_settings_take_is_refused(place, instruments, front_end):
    # 300 characters whose first 255 name a terminal.
    folder = place / ("long-" + "d" * 100)
    folder.mkdir()
    device = f"{folder}/" + "t" * (300 - len(str(folder)) - 1)
    sim = instruments()
    os.symlink(sim.pty, device[:255])
    ui = front_end("--ini", term_settings(place, sim.pty))
    open_form(ui)
    ui.keys("Up", "Up", "Up", "C-u")
    ui.text(device)
    ui.keys("Tab")
    ui.wait_screen(f"The path is too long (255 bytes at most); COM1 keeps {sim.pty}.", 3,
                   check="a 300-character device path is refused with the reason")
    ui.record("a typed device path longer than the settings take")
    assert ui.shows(f"< COM1 >  [{sim.pty} "), "and the port keeps its device"
    close_form(ui, "Escape")
    ui.keys("e")
    assert ui.wait_exit() == 0
