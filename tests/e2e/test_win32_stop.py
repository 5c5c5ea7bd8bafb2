"""The Windows program's stop dialog: the English copy opened from the menu
holds the transfer, "Continue" (Esc) lets it go on and "Abort" ends it; a
session end during a transfer asks with it; a stop before Set Mode sends
nothing more; a close or session end asked while the dialog is open is answered by
the user's choice in it; and a stop while the last packet's reply is awaited
lets that reply tell how the update ended."""

import subprocess

import pytest

from conftest import make_update, wait_for
from fixtures_wine import (ABORT, CONFIG_TITLE, CONTINUE, IDM_CONFIG, IDM_STOP, MAIN_TITLE, STOP_TITLE, ended,
                           holds)

# Run against the i686 build too: it has these code paths of its own.
pytestmark = pytest.mark.i686


def test_stop_before_set_mode_sends_no_set_mode(wine, instruments, winprog):
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


def ask_end_session(winprog):
    return subprocess.Popen(["wine", str(winprog.wine.win_build / "tests" / "xr_winprobe.exe"),
                             "query-end-session", MAIN_TITLE], env=winprog.wine.env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


@pytest.mark.parametrize("choice", ["abort", "continue"])
def test_close_during_a_session_ends_stop_dialog_is_settled_by_the_choice(winprog, slow_instrument, choice):
    make_update(winprog.folder / "a.sys", major=2)
    program = winprog.start_main("a.sys")
    winprog.wait_log("Sent packet 2 of 32...")
    asking = ask_end_session(winprog)  # the session end opens the stop dialog
    try:
        winprog.wait_window(STOP_TITLE)
        winprog.probe("close")
        assert winprog.stays_away("never", 1)
        winprog.press(STOP_TITLE, ABORT if choice == "abort" else CONTINUE)
        answer = asking.communicate(timeout=60)[0]
    finally:
        asking.kill()
    if choice == "abort":
        # The user asked to close and chose Abort: the close is carried out
        # without waiting for a session end that may never come.
        assert answer.strip() == "result 1"
        assert program.wait(30) == 0
        assert "User aborted update" in winprog.log()
        return
    assert answer.strip() == "result 0"
    winprog.wait_log("Update completed successfully.", timeout=120)
    # The dropped close never fires later: a handed-over update runs without a
    # stop dialog of its own, and Config then Cancel leaves the window open.
    second = make_update(winprog.folder / "b.sys", major=3)
    winprog.hand_over(second)
    winprog.wait_log("Update completed successfully.", times=2, timeout=120)
    assert not winprog.wine.windows(STOP_TITLE)
    winprog.post(IDM_CONFIG)
    winprog.wait_window(CONFIG_TITLE)
    winprog.press(CONFIG_TITLE, 2)  # Cancel
    winprog.wait_gone(CONFIG_TITLE)
    assert winprog.stays_away("never", 1) and winprog.exists(MAIN_TITLE)
    slow_instrument.stop()
    assert slow_instrument.received() == second.read_bytes()  # the last update's image


def test_abort_while_the_last_reply_is_awaited_reports_the_completed_update(wine, instruments, winprog):
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


def test_continue_lets_the_transfer_go_on_and_abort_ends_it(wine, paced_instrument, winprog, shot):
    third = make_update(winprog.folder / "third.all", attr=3)
    winprog.start_main(wine.windows_path(third))
    winprog.wait_log("Sent packet 3 of 128")
    winprog.keys("alt+s")
    winprog.wait_window(STOP_TITLE, 15)
    shot("stop-dialog")
    texts = winprog.probe("texts", STOP_TITLE)[1]
    assert "2\tButton\tContinue" in texts.splitlines() and "Are you sure you wish to abort the transfer?" in texts, \
        f"the stop dialog's texts are not the English ones: {texts!r}"
    sent = winprog.count("Sent packet")
    assert holds(lambda: winprog.count("Sent packet") == sent, 1.5), "packets went on while the dialog was open"
    wine.keys(STOP_TITLE, "Escape")  # "Continue": Esc sends its id
    winprog.wait_gone(STOP_TITLE, 10)
    winprog.wait_log("Sent packet", times=sent + 1, timeout=20)
    winprog.keys("alt+s")
    winprog.wait_window(STOP_TITLE, 15)
    wine.keys(STOP_TITLE, "Tab", "space")  # from "Continue" to "Abort", then press it
    winprog.wait_log("User aborted update", timeout=20)
    winprog.wait_gone(STOP_TITLE, 10)
    assert winprog.count("Update completed successfully.") == 0, "the aborted transfer completed"
    shot("main-window-after-abort")


@pytest.mark.i686
def test_session_end_during_a_transfer_asks_continue_refuses_and_abort_allows(wine, paced_instrument, winprog):
    third = make_update(winprog.folder / "third.all", attr=3)
    program = winprog.start_main(wine.windows_path(third))
    winprog.wait_log("Sent packet 5 of 128")
    asking = ask_end_session(winprog)
    try:
        winprog.wait_window(STOP_TITLE, 15)
        wine.keys(STOP_TITLE, "Escape")
        answer = asking.communicate(timeout=20)[0]
    finally:
        asking.kill()
    assert answer.strip() == "result 0", f"Continue did not refuse the session end: {answer!r}"
    sent = winprog.count("Sent packet")
    winprog.wait_log("Sent packet", times=sent + 2, timeout=20)
    asking = ask_end_session(winprog)
    try:
        winprog.wait_window(STOP_TITLE, 15)
        wine.keys(STOP_TITLE, "Tab", "space")
        answer = asking.communicate(timeout=30)[0]
    finally:
        asking.kill()
    assert answer.strip() == "result 1", f"Abort did not allow the session end: {answer!r}"
    winprog.wait_log("User aborted update", timeout=10)
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
