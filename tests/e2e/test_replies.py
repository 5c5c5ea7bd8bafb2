"""What a reply is worth on the serial link: a version reply whose versions did
not all arrive is refused as it is on MIDI, only a reply that came after its
request answers it, and a stop while the last data packet's reply is awaited
lets that reply tell how the update ended."""

import json
import signal
import subprocess

import pytest

from conftest import make_update, wait_for, write_ini

COMPLETE, DEVICE_ERROR = 0, 5


def log_text(work):
    path = work / "vup_log.txt"
    return path.read_bytes().decode("latin-1") if path.exists() else ""


def stop_once_the_last_packet_is_out(build, work, sim, *extra):
    """xrupdate --batch, SIGINT once the instrument has the last packet: (status, stdout, stderr)."""
    program = subprocess.Popen([str(build / "xrupdate"), "--batch", *extra, "--ini", "x.ini", "--port", sim.pty,
                                "a.sys"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The instrument has read the version request, Set Mode and 32 packets.
        wait_for(lambda: sim.messages_read() >= 34, 60, "the last packet")
        program.send_signal(signal.SIGINT)
        out, err = program.communicate(timeout=30)
    finally:
        program.kill()
    return program.returncode, out, err


def test_version_reply_cut_short_is_refused(build, work, instruments):
    # F7 as byte 5 ends the reply before its three versions.
    sim = instruments("--bad-byte", "version:5:0xF7")
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    run = subprocess.run([str(build / "xrupdate"), "--dry-run", "--ini", "x.ini", "--port", sim.pty, "a.sys"],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == DEVICE_ERROR, run.stdout + run.stderr
    assert "3: Rx Msg Error(4:Msg Code Error)" in run.stdout
    log = log_text(work)
    assert "Rx Msg Error(4:Msg Code Error)" in log
    assert "Version check successful." not in log
    assert "Target :" not in run.stdout


def test_stop_while_the_last_reply_is_awaited_reports_the_completed_update(build, work, instruments):
    sim = instruments("--trace", "--delay", "packet:31:2500")
    write_ini(work / "x.ini")
    image = make_update(work / "a.sys", major=2).read_bytes()
    status, out, err = stop_once_the_last_packet_is_out(build, work, sim)
    assert status == COMPLETE, out + err
    assert "3: Update Complete!" in out
    log = log_text(work)
    assert log.rstrip().endswith("Update completed successfully.")
    assert "User aborted update" not in log
    sim.stop()
    assert sim.received() == image


# ---- one request, one reply: a reply waiting on the line answers nothing later

def run_batch(build, sim, *extra):
    return subprocess.run([str(build / "xrupdate"), "--batch", "--ini", "x.ini", "--port", sim.pty, *extra, "a.sys"],
                          capture_output=True, text=True, timeout=60)


def assert_the_last_packets_write_error(run, work):
    """The run ended with the Write Error that answered the last packet."""
    assert run.returncode == DEVICE_ERROR, run.stdout + run.stderr
    assert "3: Rx Msg Error(5:Write Error)" in run.stdout
    assert "Update Complete!" not in run.stdout
    assert "Update completed successfully." not in log_text(work)


def test_a_reply_sent_twice_does_not_answer_the_next_request(build, work, instruments):
    # Read one behind, the Write Error of the last packet would never be read.
    sim = instruments("--duplicate", "packet:3", "--status", "packet:31:5")
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    run = run_batch(build, sim)
    assert_the_last_packets_write_error(run, work)
    assert "Sent packet 4 of 32...\r\n\r\nDiscarded 7 bytes received before the request" in log_text(work)


def test_a_late_reply_into_a_retry_at_once_is_not_its_answer(build, work, instruments):
    # Packet 3's reply comes 7 s late: the first run times out at 5 s, and the
    # late reply arrives while the retry (Set Mode first) waits for its answer.
    sim = instruments("--late", "packet:3:7000", "--status", "packet:31:5")
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    first = run_batch(build, sim)
    assert first.returncode == DEVICE_ERROR, first.stdout + first.stderr
    assert "3: Receive Error(Timeout)" in first.stdout
    retry = run_batch(build, sim, "--skip-version-check")
    assert_the_last_packets_write_error(retry, work)


@pytest.mark.parametrize("fault, line3", [
    (("--status", "packet:31:5"), "Rx Msg Error(5:Write Error)"),
    (("--silent", "packet:31"), "Receive Error(Timeout)"),
])
def test_a_stop_while_the_last_reply_is_awaited_reports_what_the_instrument_answered(
        build, work, instruments, fault, line3):
    sim = instruments("--trace", "--delay", "packet:31:2500", *fault)
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    status, out, err = stop_once_the_last_packet_is_out(build, work, sim, "--json")
    assert status == DEVICE_ERROR, out + err
    result = json.loads(out.splitlines()[-1])
    assert result["outcome"] == "device-error"
    assert result["reason"].startswith(line3), result
    assert result["packets"] == {"done": 31, "total": 32}
    log = log_text(work)
    assert line3 in log
    assert "User aborted update" not in log
    assert "Update completed successfully." not in log
