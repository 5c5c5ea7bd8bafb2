"""How the Windows program starts on what it finds: over-long and missing
paths and out-of-range settings; no serial port and no MIDI device at all;
the window's saved place, left of and above the screen or beyond its edge."""

from conftest import make_update, wait_for, write_ini
from fixtures_wine import BOX_TITLE, CONFIG_TITLE, MAIN_TITLE, ended


def responds_with_the_config_dialog(wine, winprog, shot, name):
    winprog.keys("alt+c")
    winprog.wait_window(CONFIG_TITLE, 15)
    shot(name)
    wine.keys(CONFIG_TITLE, "Escape")
    winprog.wait_gone(CONFIG_TITLE, 10)


def test_bad_input_is_refused_or_clamped_and_the_window_responds(wine, paced_instrument, winprog, shot):
    # COM1 leads to an instrument: a port found missing at the start would be
    # replaced by one that is there, not by the clamp's 1.
    write_ini(winprog.folder / "xrupdate.ini", ComPortNum=9, DeviceType=-4, TransferRate=77, Xpos=-99999,
              Ypos=99999999, CurrentPath="Q:\\nowhere", Warning=0)
    program = winprog.start("C:\\" + "0" * 300 + ".sys", "C:\\no\\such\\file.sys", "x" * 300)
    # The over-long paths are refused with a message that says why, before the window.
    winprog.wait_window(BOX_TITLE, 60)
    texts = winprog.probe("texts", BOX_TITLE)[1]
    assert "longer than 259 characters" in texts, f"the message does not name the reason: {texts!r}"
    shot("refused-long-path")
    wine.keys(BOX_TITLE, "Return")
    winprog.wait_window(MAIN_TITLE, 60)
    responds_with_the_config_dialog(wine, winprog, shot, "config-dialog-bad-settings")
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
    saved = winprog.settings().splitlines()
    assert "ComPortNum=1" in saved and "TransferRate=0" in saved, f"out-of-range settings were not clamped: {saved}"


def test_without_any_port_the_program_reports_the_failed_transfer_and_responds(wine, winprog, no_serial_ports, shot):
    (winprog.folder / "xrupdate.ini").unlink()
    first = make_update(winprog.folder / "first.sys")
    program = winprog.start_main(wine.windows_path(first))
    # The MIDI link cannot open: its message box is the one other window; OK closes it.
    box = wait_for(lambda: wine.other_windows(MAIN_TITLE), 15, "the message box of the failed transfer")[0]
    shot("no-ports-start")
    wine.keys(box, "Return")
    wait_for(lambda: not wine.other_windows(MAIN_TITLE), 10, "OK to close the message box")
    # The MIDI link's start entry: its own blanks, the rate's name and both devices.
    lines = winprog.log().replace("\r", "").splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("Starting MIDI transfer of file")
              and line.endswith("first.sys"))
    entry = lines[at + 1:at + 5]
    assert ("SkipVer  : No" in entry and "XferRate : Very Fast" in entry
            and any(line.startswith("MidiOut  : ") for line in entry)
            and any(line.startswith("MidiIn   : ") for line in entry)), \
        f"the MIDI start entry is not as expected: {entry}"
    responds_with_the_config_dialog(wine, winprog, shot, "config-dialog-no-ports")
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"


def wait_place(wine, place):
    wait_for(lambda: (wine.geometry(MAIN_TITLE) or ())[:2] == place, 10, f"the window at {place}")


def test_a_place_left_of_and_above_the_screen_is_kept(wine, winprog):
    # A monitor left of and above the primary one has negative coordinates.
    write_ini(winprog.folder / "xrupdate.ini", Xpos=-1500, Ypos=-400, Warning=0)
    program = winprog.start_main()
    wait_place(wine, (-1500, -400))
    winprog.probe("close")  # keys cannot reach a window off the screen: the close box's message
    assert ended(program), "the program did not close"
    saved = winprog.settings().splitlines()
    assert (any(line.startswith("ComPortNum=") for line in saved) and "Xpos=-1500" in saved
            and "Ypos=-400" in saved), f"the saved place changed: {saved}"


def test_a_place_beyond_the_right_edge_falls_back_to_the_default_corner(wine, winprog):
    # The screen is 1024 wide: nothing of the window would be left on it.
    write_ini(winprog.folder / "xrupdate.ini", Xpos=1100, Ypos=30, Warning=0)
    program = winprog.start_main()
    wait_place(wine, (40, 30))
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
