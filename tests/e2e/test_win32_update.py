"""Whole updates in the Windows program: a file named on the command line
arrives byte for byte with every step in the support log, and a file a second
copy hands over goes the same way."""

import pytest

from conftest import make_update
from fixtures_wine import wait_image

LOG_ENTRIES = ("Starting serial transfer of file", "Port    : COM1", "Sending version check...",
               "Version check successful.", "Sending 'Set Mode'...", "Set Mode successful.",
               "Sent packet 1 of 32...", "Sent packet 32 of 32...", "Update completed successfully.")


@pytest.mark.i686
def test_command_line_update_completes_with_every_log_entry_and_the_image_intact(wine, paced_instrument, winprog,
                                                                                shot):
    first = make_update(winprog.folder / "first.sys")
    winprog.start_main(wine.windows_path(first))
    winprog.wait_log("Sent packet 6 of 32")
    shot("main-window-during-update")
    winprog.wait_log("Update completed successfully.", timeout=120)
    shot("main-window-after-update")
    wait_image(paced_instrument, first.read_bytes(), "first.sys")
    log = winprog.log()
    for entry in LOG_ENTRIES:
        assert entry in log, f"the log lacks: {entry}"


def test_second_copy_hands_its_file_over_and_exits_with_0(wine, paced_instrument, winprog):
    second = make_update(winprog.folder / "second.sys")
    winprog.start_main()
    status = winprog.run_second(wine.windows_path(second))
    assert status == 0, f"the second copy exited with {status}"
    winprog.wait_log("second.sys")
    winprog.wait_log("Update completed successfully.", timeout=120)
    wait_image(paced_instrument, second.read_bytes(), "second.sys")
