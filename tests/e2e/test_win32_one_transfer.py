"""One transfer at a time in the Windows program, whoever asks: files handed
over by second copies behind "Open File", at once, during the packets, behind
the stop dialog, behind the configuration dialog and before Set Mode is
answered give one transfer, each of the file it should be. The grayed menu
commands during a transfer: test_win32_commands.py."""

import pytest

from conftest import make_update
from fixtures_wine import CONFIG_TITLE, OPEN_TITLE, STOP_TITLE, ended, holds, wait_image


def second_copy(winprog, *args, what):
    status = winprog.run_second(*args)
    assert status == 0, f"the second copy {what} exited with {status}"


@pytest.mark.i686
def test_five_requests_during_one_transfer_give_one_transfer_of_the_chosen_file(wine, paced_instrument, winprog,
                                                                               shot):
    first = make_update(winprog.folder / "first.sys")
    second = make_update(winprog.folder / "second.sys")
    third = make_update(winprog.folder / "third.all", attr=3)
    program = winprog.start_main()
    winprog.keys("alt+u")
    winprog.wait_window(OPEN_TITLE, 20)
    second_copy(winprog, wine.windows_path(second), what="behind the Open File dialog")
    assert holds(lambda: winprog.starts() == 0, 1.5), "a transfer started behind the Open File dialog"
    wine.activate(OPEN_TITLE, bottom=True)  # the second copy brought the main window to the front
    wine.keys(OPEN_TITLE, "ctrl+a")
    wine.type_text(wine.windows_path(third))
    shot("open-file-dialog-race")
    wine.xdotool("key", "Return")
    winprog.wait_gone(OPEN_TITLE, 10)
    # While the chosen file goes: a second copy at once (the version check and
    # Set Mode), one during the packets, one while the stop dialog is open.
    second_copy(winprog, wine.windows_path(first), what="at once")
    winprog.wait_log("Sent packet 20 of 128", timeout=60)
    second_copy(winprog, wine.windows_path(second), what="during the packets")
    winprog.keys("alt+s")
    winprog.wait_window(STOP_TITLE, 15)
    # With /h: the main window would cover the small dialog otherwise.
    second_copy(winprog, "/h", wine.windows_path(first), what="behind the stop dialog")
    wine.keys(STOP_TITLE, "Escape")
    winprog.wait_gone(STOP_TITLE, 10)
    winprog.wait_log("Update completed successfully.", timeout=120)
    assert holds(lambda: winprog.starts() == 1, 1.5), f"{winprog.starts()} start entries for one transfer"
    assert winprog.started_files()[-1].endswith("third.all"), "the start entry does not name third.all"
    assert "Update failed" not in winprog.log(), "an update failed"
    wait_image(paced_instrument, third.read_bytes(), "third.all")
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"


@pytest.mark.i686
def test_file_handed_over_behind_the_config_dialog_is_held_until_it_closes(wine, paced_instrument, winprog):
    first = make_update(winprog.folder / "first.sys")
    second = make_update(winprog.folder / "second.sys")
    # A transfer first: COM1 must be free again for the held file.
    winprog.start_main(wine.windows_path(first))
    winprog.wait_log("Update completed successfully.", timeout=120)
    winprog.keys("alt+c")
    winprog.wait_window(CONFIG_TITLE, 15)
    second_copy(winprog, wine.windows_path(second), what="behind the configuration dialog")
    assert holds(lambda: winprog.starts() == 1, 1.5), "a transfer started behind the configuration dialog"
    wine.activate(CONFIG_TITLE, bottom=True)
    wine.keys(CONFIG_TITLE, "Escape")
    winprog.wait_gone(CONFIG_TITLE, 10)
    winprog.wait_log("Update completed successfully.", times=2, timeout=120)
    assert holds(lambda: winprog.starts() == 2, 1), f"{winprog.starts() - 1} start entries for the held file"
    wait_image(paced_instrument, second.read_bytes(), "second.sys")


def test_second_copy_before_set_mode_is_answered_changes_nothing(wine, instruments, winprog):
    sim = instruments("--delay", "setmode:4500", "--system-version", "1.00")
    wine.connect_com1(sim.pty)
    first = make_update(winprog.folder / "first.sys")
    third = make_update(winprog.folder / "third.all", attr=3)
    program = winprog.start_main(wine.windows_path(third))
    winprog.wait_log("Sending 'Set Mode'")
    second = winprog.start(wine.windows_path(first))
    # "&Stop..." is grayed until Set Mode is answered: the menu opens nothing.
    winprog.keys("alt+s")
    assert winprog.stays_away(STOP_TITLE, 1.5), "\"&Stop...\" opened its dialog before Set Mode was answered"
    assert "Set Mode successful." not in winprog.log(), "Set Mode was answered before \"&Stop...\" was tried"
    wine.xdotool("key", "--clearmodifiers", "Escape")
    assert ended(second, 30) and second.returncode == 0, \
        f"the second copy before Set Mode did not exit with 0 ({second.returncode})"
    winprog.wait_log("Update completed successfully.", timeout=120)
    assert holds(lambda: winprog.starts() == 1, 1), f"{winprog.starts()} start entries"
    wait_image(sim, third.read_bytes(), "third.all")
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
