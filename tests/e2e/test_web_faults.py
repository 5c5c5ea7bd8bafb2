"""Every fault the simulated instrument can give, through the web page and
through the Linux program (xrupdate --batch on xrsim with the same options):
the same display lines and the same support log, row by row."""

import concurrent.futures
import pathlib
import re
import signal
import subprocess

import pytest

from conftest import Instrument, make_update
from fixtures_web import wait_until

# (row, xrsim options); the file is a SYSTEM file of version 1.02.
ROWS = [
    ("complete", []),
    ("set mode format error", ["--setmode-status", "1"]),
    ("set mode write error", ["--setmode-status", "5"]),
    ("set mode unknown status", ["--setmode-status", "255"]),
    ("packet checksum error", ["--status", "packet:3:2"]),
    ("packet timeout status", ["--status", "packet:0:3"]),
    ("packet hardware error", ["--status", "packet:5:4"]),
    ("a status code where the versions belong", ["--bad-byte", "version:4:0x03"]),
    ("no reply", ["--silent", "packet:2"]),
    ("noise before a reply", ["--noise", "packet:1"]),
    ("zero byte before a reply", ["--noise", "setmode:00"]),
    ("long reply padded with zeros", ["--long-reply", "packet:4:20"]),
    ("long reply padded with other bytes", ["--long-reply", "packet:4:24:0x11"]),
    ("wrong manufacturer", ["--bad-byte", "packet:2:1:0x41"]),
    ("wrong jig id", ["--bad-byte", "setmode:2:0x00"]),
    ("wrong product id", ["--bad-byte", "version:3:0x00"]),
    ("wrong message code", ["--bad-byte", "packet:0:4:0x01"]),
    ("late reply", ["--delay", "packet:3:300"]),
    ("line closed", ["--close", "packet:6"]),
    ("version refused", ["--system-version", "1.05"]),
]


def fold_lines(stdout):
    """The display as the batch run left it: the last text of each line."""
    lines = [" "] * 6
    for line in stdout.splitlines():
        match = re.match(r"^([0-5]): (.*)$", line)
        if match:
            lines[int(match.group(1))] = match.group(2)
    return lines


def native_run(build, folder, options, update):
    instrument = Instrument(build, folder, *options)
    try:
        done = subprocess.run([str(build / "xrupdate"), "--batch", "--port", instrument.pty, "--ini",
                               str(folder / "xrupdate.ini"), str(update)],
                              cwd=folder, capture_output=True, text=True, timeout=60)
    finally:
        instrument.stop()
    lines = fold_lines(done.stdout)
    lines[0] = pathlib.Path(lines[0]).name
    # The page shows the file by its name, and its port is always a COM port;
    # the program names the device it was given for the run.
    log = (folder / "vup_log.txt").read_bytes().decode().replace(str(update), update.name)
    log = log.replace(f"Port    : {instrument.pty}\r\n", "Port    : COM1\r\n")
    return lines, log


@pytest.fixture(scope="module")
def native(build, tmp_path_factory):
    """The Linux program's lines and log for every row, run side by side."""
    root = tmp_path_factory.mktemp("native")
    update = make_update(root / "update.sys", attr=0, major=1, minor=2)

    def one(index):
        # A copy each: the program holds its update file exclusively.
        folder = root / f"row{index}"
        folder.mkdir()
        copy = folder / update.name
        copy.write_bytes(update.read_bytes())
        return native_run(build, folder, ROWS[index][1], copy)

    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(one, range(len(ROWS))))
    return update, results


@pytest.mark.parametrize("index", range(len(ROWS)), ids=[row[0] for row in ROWS])
def test_fault_gives_the_programs_lines_and_log(web, native, index):
    update, results = native
    native_lines, native_log = results[index]
    web.open(serial=[ROWS[index][1]])
    web.choose_file(update)
    wait_until(lambda: web.idle() and web.lines()[3] != " ", 30, "the update to end")
    assert web.lines() == native_lines
    assert web.log() == native_log
    # Each row is what it claims to be.
    # What a long reply leaves on the line is discarded before the next request.
    if ROWS[index][0] in ("complete", "noise before a reply", "late reply", "long reply padded with zeros",
                          "long reply padded with other bytes"):
        assert native_lines[3] == "Update Complete!"
    else:
        assert native_lines[3] != "Update Complete!"


# (row, xrsim options, the log entry after which Abort is pressed, the command
# that opens the stop dialog, what the command line says, and the instrument's
# count that shows the held step has arrived, with the messages it has read by
# then): the instrument holds its answer to that step, and Abort is pressed only
# once the step is in, so the abort cuts its receive on both sides (a stop just
# before the receive ends the transfer without a word). Before the data packets
# Stop is grayed, and Exit asks with the stop dialog.
ABORTS = [
    ("abort at the version check", ["--delay", "version:30000"], "Sending version check...", "cmd-exit",
     "aborted before the data packets began", "version_requests", 1, 1),
    ("abort at Set Mode", ["--delay", "setmode:30000"], "Sending 'Set Mode'...", "cmd-exit",
     "aborted after Set Mode went out", "setmodes", 1, 2),
    ("abort at packet 5", ["--delay", "packet:5:30000"], "Sent packet 5 of 32...", "cmd-stop",
     "aborted after packet 5 of 32; the XR3300 may wait in update mode", "packets", 6, 8),
]


def native_abort(build, folder, options, entry, update, messages):
    instrument = Instrument(build, folder, *options, "--trace")
    log = folder / "vup_log.txt"
    try:
        run = subprocess.Popen([str(build / "xrupdate"), "--batch", "--port", instrument.pty, "--ini",
                                str(folder / "xrupdate.ini"), str(update)],
                               cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        wait_until(lambda: log.exists() and entry in log.read_text(errors="replace"), 30, entry)
        wait_until(lambda: instrument.messages_read() >= messages, 30, "the held step to arrive")
        run.send_signal(signal.SIGINT)
        out, _ = run.communicate(timeout=30)
        assert run.returncode == 7
    finally:
        instrument.stop()
    lines = fold_lines(out)
    lines[0] = pathlib.Path(lines[0]).name
    text = log.read_bytes().decode().replace(str(update), update.name)
    return lines, text.replace(f"Port    : {instrument.pty}\r\n", "Port    : COM1\r\n")


@pytest.mark.parametrize("index", range(len(ABORTS)), ids=[row[0] for row in ABORTS])
def test_an_abort_gives_the_programs_lines_and_log(web, build, tmp_path, index):
    _, options, entry, command, told, count, at_least, messages = ABORTS[index]
    update = make_update(tmp_path / "update.sys", attr=0, major=1, minor=2)
    native_lines, native_log = native_abort(build, tmp_path, options, entry, update, messages)
    web.open(serial=[options])
    web.choose_file(update)
    wait_until(lambda: entry in web.log(), 30, entry)
    wait_until(lambda: web.record()[count] >= at_least, 30, "the held step to arrive")
    web.click(command)
    wait_until(lambda: web.js("return document.getElementById('stop-dialog').open"), 10, "the stop dialog")
    web.click("stop-abort")
    if command == "cmd-exit":
        wait_until(lambda: web.js("return !document.getElementById('ended').hidden"), 30, "the page's end")
    else:
        web.wait_idle(30)
    assert web.lines() == native_lines
    assert web.log() == native_log
    assert native_log.endswith("User aborted update\r\n\r\n")
    # Above the log the page tells what the command line tells on stderr.
    assert any(told in n for n in web.notices()), web.notices()
