"""The Windows program with COM1 on a line that never stops talking: the
version request ends with "Receive Error(Timeout)" about 5 s after it went
out, and the stop dialog's "Abort" ends the wait at once."""

import time

import pytest

from conftest import make_update, wait_for
from fixtures_wine import ABORT, MAIN_TITLE, STOP_TITLE

# Run against the i686 build too: it has these code paths of its own.
pytestmark = pytest.mark.i686


def test_no_reply_within_five_seconds_is_a_timeout(wine, winprog, chattering_line):
    line = chattering_line(byte=b"\x55", every=0.002)
    wine.connect_com1(line.path)
    make_update(winprog.folder / "a.sys")
    winprog.start_main("a.sys")
    winprog.wait_log("Sending version check...")
    asked = time.monotonic()
    winprog.wait_log("Update failed : Receive Error(Timeout)", timeout=15)
    took = time.monotonic() - asked
    assert 4 <= took < 9, f"the receive ended {took:.1f} s after the request"
    assert "Sending 'Set Mode'" not in winprog.log()
    # Idle again: a close asks nothing.
    winprog.probe("close")
    wait_for(lambda: not winprog.exists(MAIN_TITLE), 20, "the window to close")
    assert not winprog.exists(STOP_TITLE)


def test_abort_ends_the_wait_at_once(wine, winprog, chattering_line):
    line = chattering_line(byte=b"\xfe", every=0.3)
    wine.connect_com1(line.path)
    make_update(winprog.folder / "a.sys")
    program = winprog.start_main("a.sys")
    winprog.wait_log("Sending version check...")
    winprog.probe("close")  # asks with the stop dialog while the transfer runs
    winprog.wait_window(STOP_TITLE)
    winprog.press(STOP_TITLE, ABORT)
    pressed = time.monotonic()
    winprog.wait_log("User aborted update", timeout=10)
    took = time.monotonic() - pressed
    assert took < 3, f"the abort took {took:.1f} s"
    assert program.wait(20) == 0  # the close is carried out once the transfer has stopped
    log = winprog.log()
    assert "Receive Error" not in log
    assert "Sending 'Set Mode'" not in log
