"""The terminal front end started with a file on its command line: it sends it
at once, shows what it sends and through which port, and a port named on the
command line is the only one tried. Its help and version; a file name that
would drive the terminal is shown harmless."""

import os
import re

from conftest import make_update
from fixtures_term import TITLE, ini_lines, received_is, term_settings


def test_a_file_on_the_command_line_is_sent_at_start(place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    ui = front_end("--ini", ini, "sample.sys")
    ui.record("start-up with sample.sys on the command line")
    assert ui.shows(TITLE), "the title"
    assert re.search(r"Exit *Update\.\.\. *Stop\.\.\. *Config\.\.\.", ui.row(2)), "the menu line"
    ui.wait_screen(f"{place}/sample.sys", 5, check="the file on line 0")
    ui.wait_screen("Update Complete!", 20, check="Update Complete!")
    ui.record("the update has completed")
    assert ui.shows("Type=SYSTEM"), "type and version on line 1"
    assert ui.shows(f"Link: COM1 ({sim.pty}) at 38400 baud"), "the display names the port in use"
    received_is(sim, place / "sample.sys", check="the image arrived byte for byte")
    assert ui.menu_dim("Stop..."), '"Stop..." grayed after the end'
    assert ui.menu_enabled("Update..."), '"Update..." enabled after the end'
    assert ui.menu_enabled("Config..."), '"Config..." enabled after the end'
    assert "Update completed successfully." in (place / "vup_log.txt").read_text(), "the log says so"
    ui.keys("e")
    assert ui.wait_exit() == 0, "Exit when idle ends the program with 0"
    assert ui.modes_restored(), "terminal modes restored"


def test_a_port_named_that_does_not_open_is_told_and_no_other_is_used(place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    # The front end does not open: the terminal gets the one line of why.
    ui = front_end("--ini", ini, "--port", place / "no-such-port", "sample.sys", name="second", wait_title=False)
    assert ui.wait_exit() == 4, "and the front end ends with 4, using no other port"
    assert ui.shows_joined("no-such-port: does not exist; no other port is used"), \
        "a port named on the command line that does not open is told"
    assert f"Com1Device={sim.pty}" in ini_lines(ini), "the configured port is still in the settings"
    sim.stop()
    assert sim.received() == b"", "nothing reached the configured port"


def test_help_names_the_front_end_and_version_is_the_title(xrupdate):
    shown = xrupdate("--help")
    assert shown.returncode == 0, "--help exits 0"
    assert b"xrupdate [--ini PATH] [/h] [FILE...]" in shown.stdout, "--help names the front end"
    version = xrupdate("--version")
    assert version.stdout.decode().strip() == TITLE, "--version"


def test_a_name_with_control_characters_and_stray_bytes_is_shown_harmless(place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    odd = bytes(place) + b"/odd\x1b[31m\xff\xfe\t\xc3\xa9name.sys"
    make_update(os.fsdecode(odd))
    ui = front_end("--ini", ini, odd)
    ui.wait_screen("Update Complete!", 20, check="the update runs")
    assert re.search(r"odd\?\[31m\?\?\?(é|\?\?)name\.sys", ui.row(4)), "what cannot be shown shows as ?"
    assert "\x1b[31m" not in ui.row(4, attrs=True), "no escape reaches the terminal"
    assert ui.row(5).startswith("  FILE : Type=SYSTEM"), "the next line is whole"
    ui.record("a path with control characters and stray bytes")
    ui.keys("e")
    assert ui.wait_exit() == 0
