"""The terminal front end and its terminal: keys at any moment, a resize, the
attention mark when a transfer ends unseen, and the terminal given back as it
was whatever ends the program: a crash, Ctrl-C, a terminal that goes away, or
none to begin with."""

import os
import pty
import select
import signal
import subprocess

from conftest import make_update
from fixtures_term import TITLE, holds, term_settings, wait_for

MARKED = f"* {TITLE} *"


def test_keys_at_any_moment_leave_every_form_working(place, instruments, front_end):
    sim = instruments("--line-speed", "460800")
    make_update(place / "sample.sys")
    ui = front_end("--ini", term_settings(place, sim.pty), "sample.sys")
    ui.wait_screen("Tx Packet:", 10)
    # During the transfer: printable noise, escape sequences (Ctrl-Right, a
    # bracketed paste start, F1, Shift-Tab, Esc Esc, NUL, DEL, BS, Tab) and named keys.
    ui.text('xyz123!@#$%^&*()_+[]{};:,./<>?~`')
    ui.hex_keys("1b 5b 31 3b 35 43 1b 5b 32 30 30 7e 1b 4f 50 1b 5b 5a 1b 1b 00 7f 08 09")
    ui.keys("F1", "F5", "PageUp", "PageDown", "Home", "End", "Insert", "Delete", "BTab")
    wait_for(lambda: ui.menu_enabled("Stop..."), 5, '"Stop..." enabled')
    ui.keys("s")
    ui.wait_screen("Stop transfer", 3)
    ui.text("pastedtextisnotananswer")
    ui.hex_keys("1b 5b 41 1b 5b 42 1b 5b 44")
    holds(lambda: ui.shows("Stop transfer"), 0.5, "the stop dialog survives noise")
    ui.keys("Escape")
    ui.wait_gone("Stop transfer", 3)
    ui.wait_screen("Update Complete!", 60, check="the transfer completes under noise")
    ui.keys("c")
    ui.wait_screen("Device Select", 3)
    ui.hex_keys("1b 5b 31 3b 35 43 09 09 1b 5b 5a 1b 5b 44 1b 5b 43")
    ui.text("qwertyuiop")
    ui.keys("Escape")
    ui.wait_gone("Device Select", 3, check="the configuration form survives noise")
    ui.keys("u")
    ui.wait_screen("Open File", 3)
    ui.text("x" * 400)
    ui.hex_keys("1b 5b 31 3b 35 43 7f 7f c3 a9 e2 82 ac")
    ui.keys("Escape")
    ui.wait_gone("Open File", 3, check="the prompt survives a long paste")
    assert ui.shows(TITLE), "the program is still there"
    ui.keys("e")
    assert ui.wait_exit() == 0, "and exits normally"


def test_a_resize_redraws_or_says_the_terminal_is_too_small(place, instruments, front_end):
    sim = instruments()
    ui = front_end("--ini", term_settings(place, sim.pty))
    ui.resize(60, 15)
    ui.wait_screen("Terminal too small", 3, check="too small says so")
    ui.record("a terminal too small")
    ui.resize(100, 30)
    ui.wait_screen("Exit    Update...", 3, check="a big terminal redraws")
    wait_for(lambda: "Keys:" in ui.row(30), 3, "Keys: on row 30 (with the key line at its new bottom)")
    ui.resize(80, 24)
    ui.keys("C-c")
    assert ui.wait_exit() == 0, "Ctrl-C when idle ends the program with 0"
    assert ui.modes_restored(), "terminal modes restored"


def test_the_title_is_marked_when_a_transfer_ends_unseen(place, instruments, front_end, xrupdate):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    ui = front_end("--ini", ini)
    ui.hex_keys("1b 5b 4f")  # the terminal reports: focus out
    handed = xrupdate("--ini", ini, "/h", "sample.sys")
    assert handed.returncode == 0, handed.stderr
    ui.wait_screen("Update Complete!", 20)
    ui.wait_screen(MARKED, 3, check="the title is marked")
    ui.record("the marked title after an update that ended unseen")
    ui.wait_gone(MARKED, 3, check="and blinks")
    ui.hex_keys("1b 5b 49")  # focus in
    # The mark blinks every half second: two turns without it show it has gone.
    wait_for(lambda: "* XR3300" not in ui.screen(), 3, "the mark to go once focus is back")
    holds(lambda: "* XR3300" not in ui.screen(), 1.2, "focus back: no mark")
    ui.keys("e")
    assert ui.wait_exit() == 0


def test_a_crash_of_the_update_thread_restores_the_terminal(place, instruments, front_end):
    sim = instruments("--line-speed", "115200")
    make_update(place / "sample.sys")
    ui = front_end("--ini", term_settings(place, sim.pty), "sample.sys")
    ui.wait_screen("Tx Packet:", 10)
    os.kill(ui.pid(), signal.SIGSEGV)
    assert ui.wait_exit(5) == 139, "the program ends"
    assert ui.modes_restored(), "terminal modes restored"
    assert "Keys: E Exit" not in ui.screen(), "the screen is the shell's again"


def test_without_a_terminal_it_says_so_and_a_terminal_that_goes_away_ends_it(build, place, instruments):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    program = [str(build / "xrupdate"), "--ini", str(ini)]
    closed = subprocess.run(program, stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=5)
    assert closed.returncode == 1, "closed stdin: a clear message and 1"
    assert b"needs a terminal" in closed.stdout, "the message"
    devnull = subprocess.run(program, stdin=subprocess.DEVNULL, capture_output=True, timeout=5)
    assert devnull.returncode == 1, "stdin not a terminal: 1, no hang"

    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execve(program[0], program, {**os.environ, "TERM": "xterm"})
        finally:
            os._exit(127)
    seen, status = b"", []

    def menu_drawn():
        nonlocal seen
        if select.select([fd], [], [], 0.1)[0]:
            seen += os.read(fd, 65536)
        return b"Config" in seen

    def ended():
        done, raw = os.waitpid(pid, os.WNOHANG)
        if done:
            status.append(os.waitstatus_to_exitcode(raw))
        return done

    try:
        wait_for(menu_drawn, 5, "the menu on the pseudo-terminal")
        os.close(fd)  # the terminal goes away
        wait_for(ended, 5, "an idle program to end once its terminal has gone")
    finally:
        if not status:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    assert status == [0], "a terminal that goes away ends an idle program"
