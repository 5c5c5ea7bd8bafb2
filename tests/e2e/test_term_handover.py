"""A second `xrupdate FILE` hands FILE to the running front end: started when
idle, held while a form is open (the second copy does not wait for it), and
refused while a transfer runs, never started later."""

import re
import time

from conftest import lines_of, make_update
from fixtures_term import SOCKET_NAME, holds, received_is, term_settings, wait_for


def test_a_hand_over_while_idle_starts_at_once_or_when_the_form_closes(work, place, instruments, front_end,
                                                                        xrupdate):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    make_update(place / "second.sys", 0, 2, 1)
    socket = work / "run" / SOCKET_NAME
    ui = front_end("--ini", ini)
    wait_for(socket.is_socket, 3, "the socket (the first copy listens)")
    second = xrupdate("--ini", ini, "sample.sys")
    assert second.returncode == 0, f"the second copy exits with 0: {second.stderr!r}"
    ui.wait_screen(f"{place}/sample.sys", 5, check="the first copy sends the handed-over file")
    ui.wait_screen("Update Complete!", 20, check="to the end")
    received_is(sim, place / "sample.sys", check="byte for byte")
    bare = xrupdate("--ini", ini, "/h")
    assert bare.returncode == 0, f"a second copy without a file exits with 0 too: {bare.stderr!r}"

    ui.keys("c")
    ui.wait_screen("Device Select", 3)
    started = time.monotonic()
    waiting = xrupdate("--ini", ini, "second.sys", timeout=8)
    took = time.monotonic() - started
    assert waiting.returncode == 1 and took <= 4, \
        f"a hand-over while a form is open: the second copy says it has no answer yet and exits with 1 " \
        f"(status {waiting.returncode} after {took:.1f} s)"
    said = waiting.stdout + waiting.stderr
    assert re.search(rb"has /.*/second.sys but has not answered yet", said), "naming the file"
    assert ui.shows("Device Select") and not ui.shows("second.sys"), "and waits while the form is open"
    ui.keys("Escape")
    ui.wait_screen(f"{place}/second.sys", 5, check="then starts once the form has closed")
    ui.wait_idle(20, check="and completes")
    received_is(sim, place / "second.sys", check="the instrument got that file")
    ui.keys("e")
    assert ui.wait_exit() == 0
    assert not socket.exists(), "the socket is removed at exit"


def abort(ui):
    wait_for(lambda: ui.menu_enabled("Stop..."), 5, '"Stop..." enabled')
    ui.keys("s")
    ui.wait_screen("Stop transfer", 3)
    ui.keys("Tab", "Enter")
    ui.wait_gone("Stop transfer", 10)


def test_a_hand_over_while_busy_is_dropped(place, instruments, front_end, xrupdate):
    sim = instruments("--line-speed", "115200")
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    make_update(place / "second.sys", 0, 2, 1)
    ui = front_end("--ini", ini, "sample.sys")
    ui.wait_screen("Tx Packet:", 10)
    busy = xrupdate("--ini", ini, "second.sys")
    assert busy.returncode != 0, "the second copy exits non-zero"
    assert f"xrupdate: the running copy is busy; {place}/second.sys was not started" in \
        lines_of(busy.stdout + busy.stderr), "and says the running copy is busy"
    assert ui.shows(f"{place}/sample.sys"), "the running transfer keeps its file"
    ui.record("a hand-over arrived during the transfer")
    abort(ui)
    ui.wait_idle(10)
    holds(lambda: not ui.shows("second.sys"), 1.0, "the dropped path does not start afterwards")
    later = xrupdate("--ini", ini, "second.sys")
    assert later.returncode == 0, later.stderr
    ui.wait_screen(f"{place}/second.sys", 5, check="a later hand-over starts normally")
    abort(ui)
    ui.keys("e")
    assert ui.wait_exit() == 0
