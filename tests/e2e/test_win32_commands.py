"""Commands another program sends or posts to the Windows program's window:
208 ends a transfer only when its thread has really ended, once; the menu's
commands do nothing while the menu has them grayed or a dialog is open; and
the window takes no input while any dialog is open over it."""

import pytest

from conftest import make_update
from fixtures_wine import (CONFIG_TITLE, CONTINUE, IDM_CONFIG, IDM_STOP, IDM_TFR_END, IDM_UPDATE, OPEN_TITLE,
                           STOP_TITLE)

# Run against the i686 build too: it has these code paths of its own.
pytestmark = pytest.mark.i686


@pytest.fixture
def slow_instrument(wine, instruments):
    """Answers every message after 150 ms: a SYSTEM update takes about 6 s."""
    sim = instruments("--delay", "all:150")
    wine.connect_com1(sim.pty)
    return sim


def test_208_from_another_program_leaves_the_transfer_and_its_port_alone(winprog, slow_instrument):
    first = make_update(winprog.folder / "first.sys", major=2)
    second = make_update(winprog.folder / "second.sys", major=3)
    winprog.start_main("first.sys")
    winprog.wait_log("Sent packet 3 of 32...")
    for lparam in (0, 1):
        winprog.post(IDM_TFR_END, lparam)
    winprog.wait_log("Update completed successfully.", timeout=120)
    log = winprog.log()
    assert "Receive Error" not in log and "Transmit Error" not in log
    winprog.post(IDM_TFR_END, 0)  # idle: nothing to end
    # The port was not closed under the transfer, and the real end came once:
    # a file handed over now has the port and goes through too.
    winprog.hand_over(second)
    winprog.wait_log("Update completed successfully.", times=2, timeout=120)
    assert winprog.count("Starting serial transfer of file") == 2
    slow_instrument.stop()
    assert slow_instrument.received() == second.read_bytes()


@pytest.fixture
def slower_instrument(wine, instruments):
    """Answers every message after 250 ms: a SYSTEM update takes about 8 s,
    time enough for a few commands posted by separate programs under Wine."""
    sim = instruments("--delay", "all:250")
    wine.connect_com1(sim.pty)
    return sim


def test_menu_commands_do_nothing_while_grayed_or_behind_a_dialog(winprog, slower_instrument):
    make_update(winprog.folder / "first.sys", major=2)
    winprog.start_main("first.sys")
    winprog.wait_log("Sent packet 2 of 32...")
    # "&Stop..." is enabled during the packets; with its dialog open the
    # transfer waits, the window takes no input and no other menu command
    # opens anything.
    winprog.post(IDM_STOP)
    winprog.wait_window(STOP_TITLE)
    assert winprog.probe("enabled")[0] != 0
    winprog.post(IDM_CONFIG)
    winprog.post(IDM_UPDATE)
    winprog.post(IDM_STOP)
    assert winprog.stays_away(CONFIG_TITLE, 1.5) and not winprog.exists(OPEN_TITLE)
    assert len(winprog.wine.windows(STOP_TITLE)) == 1
    assert winprog.count("Update completed successfully.") == 0
    winprog.press(STOP_TITLE, CONTINUE)
    winprog.wait_gone(STOP_TITLE)
    assert winprog.probe("enabled")[0] == 0
    # The transfer goes on for seconds: "&Config..." and "&Update..." are
    # grayed all that time.
    winprog.post(IDM_CONFIG)
    winprog.post(IDM_UPDATE)
    posted_during_transfer = winprog.count("Update completed successfully.") == 0
    assert winprog.stays_away(CONFIG_TITLE, 1.5) and not winprog.exists(OPEN_TITLE)
    assert posted_during_transfer
    winprog.wait_log("Update completed successfully.", timeout=120)
    # Idle: "&Stop..." is grayed and does nothing; "&Config..." is enabled
    # again, and opens its dialog.
    winprog.post(IDM_STOP)
    assert winprog.stays_away(STOP_TITLE, 1.5)
    winprog.post(IDM_CONFIG)
    winprog.wait_window(CONFIG_TITLE)
    winprog.press(CONFIG_TITLE, 2)
    winprog.wait_gone(CONFIG_TITLE)
