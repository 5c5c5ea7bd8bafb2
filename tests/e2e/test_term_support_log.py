"""A support log that cannot be created is told at start; the terminal front
end goes on and updates as before."""

from conftest import make_update
from fixtures_term import received_is, term_settings


def test_a_support_log_that_cannot_be_created_is_told_and_updates_go_on(place, instruments, front_end, xrupdate):
    (place / "vup_log.txt").mkdir()
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    ui = front_end("--ini", ini)
    ui.wait_screen("Failed to create log file.", 5, check="the start-up warning")
    ui.record("the support log cannot be created")
    assert ui.shows("The application will continue"), "it says the program goes on"
    ui.keys("Enter")
    ui.wait_gone("Failed to create log file.", 3, check="the box closes")
    handed = xrupdate("--ini", ini, "sample.sys")
    assert handed.returncode == 0, handed.stderr
    ui.wait_screen("Update Complete!", 20, check="an update still runs to its end")
    received_is(sim, place / "sample.sys", check="byte for byte")
    # "Update Complete!" shows a moment before the transfer has ended; Exit
    # before then asks with the stop dialog.
    ui.wait_idle()
    ui.keys("e")
    assert ui.wait_exit() == 0, "and the program ends with 0"
