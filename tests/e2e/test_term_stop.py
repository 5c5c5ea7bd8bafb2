"""Stopping a transfer in the terminal front end: Stop, Exit and Ctrl-C ask with
the stop dialog, which holds the transfer while it is open; Continue goes on,
Abort stops it and says so in the log; SIGTERM stops it as Abort does."""

import os
import signal

from conftest import make_update
from fixtures_term import TITLE, holds, ini_lines, term_settings, wait_for


def start_transfer(place, instruments, front_end, **settings):
    """A transfer of sample.sys under way, on a line slow enough to stop it;
    the instrument traces what it reads and answers."""
    sim = instruments("--line-speed", "115200", "--trace")
    make_update(place / "sample.sys")
    ui = front_end("--ini", term_settings(place, sim.pty, **settings), "sample.sys")
    ui.wait_screen("Tx Packet:", 10, check="data packets begin")
    return ui, sim


def traffic(sim):
    """What the instrument has done, in order: "<" for a read, ">" for a reply."""
    return [line[0] for line in sim.log.read_text(errors="replace").splitlines() if line[:1] in "<>"]


def log_says(place, text, check):
    log = place / "vup_log.txt"
    return wait_for(lambda: log.exists() and text in log.read_text(errors="replace"), 5,
                    f"{text!r} in the log ({check})")


def test_stop_holds_the_transfer_and_continue_or_abort_answer(place, instruments, front_end):
    ui, sim = start_transfer(place, instruments, front_end)
    wait_for(lambda: ui.menu_enabled("Stop..."), 3, '"Stop..." enabled while packets go')
    assert ui.menu_dim("Update..."), '"Update..." grayed during the transfer'
    assert ui.menu_dim("Config..."), '"Config..." grayed during the transfer'
    ui.wait_screen("left", 5, check="the progress line")
    ui.record("a transfer under way, with the progress bar")
    # The keys of grayed commands are passed over: the stop dialog is the next thing shown.
    ui.keys("u", "c", "s")
    wait_for(lambda: any(ui.shows(t) for t in ("Stop transfer", "Open File", "Device Select")), 3, "the stop dialog")
    assert not ui.shows("Open File") and not ui.shows("Device Select"), "grayed commands are refused"
    ui.wait_screen("Stop transfer", 3)
    ui.record("the stop dialog")
    assert ui.shows("If you abort the transfer, the device may not be able to start up normally."), "its first text"
    assert ui.shows("(If so try the transfer again and let it complete.)"), "its second text"
    assert ui.shows("Are you sure you wish to abort the transfer?"), "its question"
    # The packet on the line when the dialog opened is answered first; then none goes.
    wait_for(lambda: traffic(sim)[-1:] == [">"], 5, "the packet on the line to be answered")
    held, done = ui.packet_number(), len(traffic(sim))
    holds(lambda: len(traffic(sim)) == done and ui.packet_number() == held, 1.0,
          "the transfer holds while the dialog is open")
    ui.keys("Enter")
    ui.wait_gone("Stop transfer", 3, check="Continue closes it")
    ui.wait_packet_moves_from(held, 10, check="and the transfer goes on")
    ui.keys("s")
    ui.wait_screen("Stop transfer", 3)
    ui.keys("Tab", "Enter")
    ui.wait_gone("Stop transfer", 10, check="Abort closes it")
    log_says(place, "User aborted update", "the log says the user aborted")
    wait_for(lambda: ui.menu_dim("Stop..."), 3, 'idle again: "Stop..." grayed')
    wait_for(lambda: ui.menu_enabled("Update..."), 3, 'idle again: "Update..." enabled')
    ui.record("after Abort")
    ui.keys("e")
    assert ui.wait_exit() == 0, "Exit after an abort"


def test_exit_and_ctrl_c_during_a_transfer_ask_first(place, instruments, front_end):
    # No port in the settings: the one the program saves at the end is its own.
    ui, _ = start_transfer(place, instruments, front_end, ComPortNum=None)
    ui.keys("e")
    ui.wait_screen("Stop transfer", 3, check="Exit asks with the stop dialog")
    ui.record("Exit during a transfer")
    ui.keys("Escape")
    ui.wait_gone("Stop transfer", 3, check="Esc continues")
    assert ui.shows(TITLE), "the window stays"
    ui.wait_packet_moves_from(ui.packet_number(), 10, check="and the transfer goes on")
    ui.keys("C-c")
    ui.wait_screen("Stop transfer", 3, check="Ctrl-C asks too")
    ui.keys("Tab", "Enter")
    assert ui.wait_exit(10) == 0, "Abort ends the program with 0"
    assert ui.modes_restored(), "terminal modes restored"
    assert "ComPortNum=1" in ini_lines(place / "xr.ini"), "the settings were saved"


def test_sigterm_stops_the_transfer_and_sigint_when_idle_exits(place, instruments, front_end):
    ui, _ = start_transfer(place, instruments, front_end)
    os.kill(ui.pid(), signal.SIGTERM)
    assert ui.wait_exit(10) == 0, "SIGTERM ends with 0"
    assert ui.modes_restored(), "terminal modes restored"
    log_says(place, "User aborted update", "the stop is logged")
    idle = front_end("--ini", place / "xr.ini", name="idle")
    os.kill(idle.pid(), signal.SIGINT)
    assert idle.wait_exit() == 0, "SIGINT when idle closes as Exit does"
