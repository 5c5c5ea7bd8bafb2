"""Files handed over by a second copy of the Windows program: a file held
behind a dialog or box starts right after that step ends, is dropped when the
step ends the program's work (a session end allowed, a close), and never
starts behind an unrelated dialog later or for a window that is closing."""

import re

import pytest

from conftest import make_update, wait_for
from fixtures_wine import (CONFIG_TITLE, ERROR_TITLE, IDM_CONFIG, IDM_UPDATE, MAIN_TITLE, OK, OPEN_TITLE)

# Run against the i686 build too: it has these code paths of its own.
pytestmark = pytest.mark.i686


CANCEL = 2


def starts_of(winprog, name):
    return sum(1 for path in re.findall(r"Starting serial transfer of file (.*)\r\n", winprog.log())
               if path.endswith(name))


@pytest.fixture
def instrument(wine, instruments):
    sim = instruments("--system-version", "1.00")
    wine.connect_com1(sim.pty)
    return sim


def bad_file(winprog):
    path = winprog.folder / "bad.sys"
    path.write_bytes(bytes(1000))  # fails the header check: the thread's "Error" box
    return path


def test_held_behind_the_thread_box_starts_when_it_closes(winprog, instrument):
    second = make_update(winprog.folder / "second.sys", major=2)
    winprog.start_main(bad_file(winprog).name)
    winprog.wait_window(ERROR_TITLE)
    # The box is modal over the window, whose own thread shows it.
    assert winprog.probe("enabled")[0] != 0
    winprog.hand_over(second)
    assert winprog.stays_away(f"never", 1.5)  # time for the pieces to arrive and be held
    assert starts_of(winprog, "second.sys") == 0
    winprog.press(ERROR_TITLE, OK)
    winprog.wait_log("Update completed successfully.", timeout=120)
    assert starts_of(winprog, "second.sys") == 1
    instrument.stop()
    assert instrument.received() == second.read_bytes()


def test_held_then_dropped_by_an_allowed_session_end(winprog, instrument):
    second = make_update(winprog.folder / "second.sys", major=2)
    winprog.start_main(bad_file(winprog).name)
    winprog.wait_window(ERROR_TITLE)
    winprog.hand_over(second)
    assert winprog.stays_away("never", 1.5)
    # No transfer runs (the thread ended with its box): the session may end, and
    # the held file, whose moment has passed, is dropped.
    assert winprog.probe("query-end-session")[1].strip() == "result 1"
    winprog.press(ERROR_TITLE, OK)
    winprog.wait_gone(ERROR_TITLE)
    # The session did not end after all (another program refused it): an
    # unrelated dialog later starts nothing.
    winprog.post(IDM_CONFIG)
    winprog.wait_window(CONFIG_TITLE)
    winprog.press(CONFIG_TITLE, CANCEL)
    winprog.wait_gone(CONFIG_TITLE)
    assert winprog.stays_away("never", 2)
    assert starts_of(winprog, "second.sys") == 0
    assert instrument.received() == b""


@pytest.mark.parametrize("dialog", ["config", "open-file"])
def test_close_inside_a_dialog_waits_for_it_and_starts_nothing(winprog, instrument, dialog):
    second = make_update(winprog.folder / "second.sys", major=2)
    program = winprog.start_main()
    command, title = (IDM_CONFIG, CONFIG_TITLE) if dialog == "config" else (IDM_UPDATE, OPEN_TITLE)
    winprog.post(command)
    winprog.wait_window(title)
    winprog.hand_over(second)
    winprog.probe("close")
    # The close is carried out once the dialog has ended, not inside it.
    assert winprog.stays_away("never", 1.5)
    assert winprog.exists(MAIN_TITLE) and winprog.exists(title)
    winprog.press(title, CANCEL)
    assert program.wait(30) == 0
    log = winprog.log()
    assert starts_of(winprog, "second.sys") == 0, log
    assert "Starting" not in log
    assert instrument.received() == b""


def test_close_while_the_thread_box_is_open_is_carried_out_after_it(winprog, instrument):
    program = winprog.start_main(bad_file(winprog).name)
    winprog.wait_window(ERROR_TITLE)
    winprog.probe("close")
    assert winprog.stays_away("never", 1)
    assert winprog.exists(MAIN_TITLE) and winprog.exists(ERROR_TITLE)
    winprog.press(ERROR_TITLE, OK)
    assert program.wait(30) == 0
    log = winprog.log()
    assert "Update Failed : File format/version error" in log
    assert "User aborted update" not in log  # the transfer had ended: nothing to ask
