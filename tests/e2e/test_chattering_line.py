"""A serial line that keeps sending bytes that are no reply holds no command of
the Linux program: a reply must be whole within 5 s of the request ("Receive
Error(Timeout)" then), and a stop (a signal, the front end's Abort) ends the
wait at once."""

import os
import signal
import subprocess
import time

import pytest

from conftest import make_update, wait_for, write_ini

DEVICE_ERROR, ABORTED = 5, 7

# A byte that starts no reply every 2 ms; a line of text ten times a second;
# MIDI Active Sensing every 300 ms.
TALK = {
    "noise": dict(byte=b"\x55", every=0.002),
    "text": dict(byte=b"$GPGGA,123519,4807.038,N,01131.000,E*47\r\n", every=0.1),
    "active-sensing": dict(byte=b"\xfe", every=0.3),
}


def log_text(work):
    path = work / "vup_log.txt"
    return path.read_bytes().decode("latin-1") if path.exists() else ""


def run_timed(build, args, timeout=30):
    start = time.monotonic()
    run = subprocess.run([str(build / "xrupdate"), *args], capture_output=True, text=True, timeout=timeout)
    return run, time.monotonic() - start


@pytest.mark.parametrize("talk", sorted(TALK))
def test_query_ends_with_the_timeout_in_about_five_seconds(build, work, chattering_line, talk):
    line = chattering_line(**TALK[talk])
    write_ini(work / "x.ini")
    run, took = run_timed(build, ["--query", "--ini", "x.ini", "--port", line.path])
    assert run.returncode == DEVICE_ERROR, run.stderr
    assert 4.5 <= took < 9, f"--query took {took:.1f} s"
    assert "Update failed : Receive Error(Timeout)" in log_text(work)
    assert line.sent > 0


def test_batch_and_find_end_too(build, work, chattering_line):
    line = chattering_line(**TALK["noise"])
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    run, took = run_timed(build, ["--batch", "--ini", "x.ini", "--port", line.path, "a.sys"])
    assert run.returncode == DEVICE_ERROR, run.stderr
    assert took < 9, f"--batch took {took:.1f} s"
    assert "3: Receive Error(Timeout)" in run.stdout
    assert "4: XR3300 did not respond. Please check" in run.stdout
    assert "Sending 'Set Mode'" not in log_text(work)
    # --find gives each device 2 s to answer: a talking one is passed over then.
    run, took = run_timed(build, ["--find", "--port", line.path])
    assert took < 6, f"--find took {took:.1f} s"
    assert line.path in run.stdout + run.stderr


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_ends_the_wait_at_once(build, work, chattering_line, how):
    line = chattering_line(**TALK["noise"])
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    program = subprocess.Popen([str(build / "xrupdate"), "--batch", "--ini", "x.ini", "--port", line.path, "a.sys"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: "Sending version check..." in log_text(work), 10, "the version request")
        program.send_signal(how)
        signalled = time.monotonic()
        out, err = program.communicate(timeout=10)
        took = time.monotonic() - signalled
    finally:
        program.kill()
    assert program.returncode == ABORTED, err
    assert took < 1.0, f"the program ended {took:.2f} s after the signal"
    log = log_text(work)
    assert "User aborted update" in log
    assert "Receive Error" not in log  # stopped, not timed out
    assert "Sending 'Set Mode'" not in log


def test_front_end_abort_ends_the_wait_at_once(build, work, chattering_line):
    pexpect = pytest.importorskip("pexpect")
    line = chattering_line(**TALK["noise"])
    write_ini(work / "x.ini", com_devices=[line.path])
    make_update(work / "a.sys")
    env = dict(os.environ, TERM="xterm", LC_ALL="C.UTF-8")
    program = pexpect.spawn(str(build / "xrupdate"), ["--ini", "x.ini", "a.sys"], env=env,
                            dimensions=(24, 80), encoding="utf-8", codec_errors="replace")
    try:
        wait_for(lambda: "Sending version check..." in log_text(work), 10, "the version request")
        program.send("e")  # Exit during a transfer asks with the stop dialog
        program.expect("Abort", timeout=10)
        program.send("\t\r")  # Tab to "Abort", Enter
        pressed = time.monotonic()
        wait_for(lambda: "User aborted update" in log_text(work), 3, "the abort in the log")
        took = time.monotonic() - pressed
        program.expect(pexpect.EOF, timeout=5)
    finally:
        program.close(force=True)
    assert took < 1.0, f"the abort took {took:.2f} s"
    assert "Sending 'Set Mode'" not in log_text(work)
