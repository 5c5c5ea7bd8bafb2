"""The Windows program's stop dialog: a stop before Set Mode sends nothing
more; a close or session end asked while the dialog is open is answered by
the user's choice in it; and a stop while the last packet's reply is awaited
lets that reply tell how the update ended."""

import subprocess

import pytest

from conftest import make_update, wait_for
from fixtures_wine import ABORT, CONTINUE, IDM_STOP, MAIN_TITLE, STOP_TITLE


def test_stop_before_set_mode_sends_no_set_mode(wine, winprog, instruments):
    sim = instruments("--delay", "version:4000")  # under the 5 s receive time-out
    wine.connect_com1(sim.pty)
    make_update(winprog.folder / "a.sys", major=2)
    program = winprog.start_main("a.sys")
    winprog.wait_log("Sending version check...")
    winprog.probe("close")
    winprog.wait_window(STOP_TITLE)
    winprog.press(STOP_TITLE, ABORT)
    assert program.wait(30) == 0
    log = winprog.log()
    assert "User aborted update" in log
    assert "Sending 'Set Mode'" not in log
    assert sim.received() == b""


@pytest.fixture
def slow_instrument(wine, instruments):
    sim = instruments("--delay", "all:150")
    wine.connect_com1(sim.pty)
    return sim


@pytest.mark.parametrize("choice", ["abort", "continue"])
def test_close_while_the_stop_dialog_is_open_follows_the_choice(winprog, slow_instrument, choice):
    image = make_update(winprog.folder / "a.sys", major=2).read_bytes()
    program = winprog.start_main("a.sys")
    winprog.wait_log("Sent packet 2 of 32...")
    winprog.post(IDM_STOP)
    winprog.wait_window(STOP_TITLE)
    winprog.probe("close")
    assert winprog.stays_away("never", 1)
    assert winprog.exists(MAIN_TITLE) and len(winprog.wine.windows(STOP_TITLE)) == 1
    if choice == "abort":
        winprog.press(STOP_TITLE, ABORT)
        assert program.wait(30) == 0  # the close asked meanwhile is carried out
        assert "User aborted update" in winprog.log()
    else:
        winprog.press(STOP_TITLE, CONTINUE)
        winprog.wait_log("Update completed successfully.", timeout=120)
        assert winprog.exists(MAIN_TITLE)  # "Continue" answered the close too
        slow_instrument.stop()
        assert slow_instrument.received() == image


@pytest.mark.parametrize("choice", ["abort", "continue"])
def test_session_end_while_the_stop_dialog_is_open_is_answered_by_the_choice(winprog, slow_instrument, choice):
    make_update(winprog.folder / "a.sys", major=2)
    winprog.start_main("a.sys")
    winprog.wait_log("Sent packet 2 of 32...")
    winprog.post(IDM_STOP)
    winprog.wait_window(STOP_TITLE)
    asking = subprocess.Popen(["wine", str(winprog.wine.win_build / "tests" / "xr_winprobe.exe"),
                               "query-end-session", MAIN_TITLE], env=winprog.wine.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert winprog.stays_away("never", 1.5)
        assert asking.poll() is None  # no answer before the user has chosen
        assert len(winprog.wine.windows(STOP_TITLE)) == 1
        winprog.press(STOP_TITLE, ABORT if choice == "abort" else CONTINUE)
        answer = asking.communicate(timeout=60)[0]
    finally:
        asking.kill()
    assert answer.strip() == ("result 1" if choice == "abort" else "result 0")
    if choice == "abort":
        winprog.wait_log("User aborted update")
    else:
        winprog.wait_log("Update completed successfully.", timeout=120)
    assert winprog.exists(MAIN_TITLE)


def test_abort_while_the_last_reply_is_awaited_reports_the_completed_update(wine, winprog, instruments):
    sim = instruments("--trace", "--delay", "packet:31:3000")
    wine.connect_com1(sim.pty)
    image = make_update(winprog.folder / "a.sys", major=2).read_bytes()
    program = winprog.start_main("a.sys")
    # The instrument has the version request, Set Mode and all 32 packets.
    wait_for(lambda: sim.messages_read() >= 34, 120, "the last packet")
    winprog.post(IDM_STOP)  # still enabled: the last packet's reply is not in
    winprog.wait_window(STOP_TITLE)
    winprog.press(STOP_TITLE, ABORT)
    winprog.probe("close")  # during the Abort wait: carried out once it is over
    assert program.wait(30) == 0
    log = winprog.log()
    assert log.rstrip().endswith("Update completed successfully.")
    assert "User aborted update" not in log
    sim.stop()
    assert sim.received() == image
