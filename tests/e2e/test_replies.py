"""What a reply is worth on the serial link: a version reply whose versions did
not all arrive is refused as it is on MIDI, and a stop while the last data
packet's reply is awaited lets that reply tell how the update ended."""

import signal
import subprocess

from conftest import make_update, wait_for, write_ini

COMPLETE, DEVICE_ERROR = 0, 5


def log_text(work):
    path = work / "vup_log.txt"
    return path.read_bytes().decode("latin-1") if path.exists() else ""


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
    sim = instruments("--delay", "packet:31:2500")
    write_ini(work / "x.ini")
    image = make_update(work / "a.sys", major=2).read_bytes()
    program = subprocess.Popen([str(build / "xrupdate"), "--batch", "--ini", "x.ini", "--port", sim.pty, "a.sys"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # test.dat holds each packet just before it goes out (its bytes 5 and
        # 6 are the packet's number): once it is packet 31, the last is sent.
        def last_packet_written():
            try:
                data = (work / "test.dat").read_bytes()
            except OSError:
                return False
            return len(data) == 9372 and data[5] == 31
        wait_for(last_packet_written, 60, "the last packet")
        program.send_signal(signal.SIGINT)
        out, err = program.communicate(timeout=30)
    finally:
        program.kill()
    assert program.returncode == COMPLETE, out + err
    assert "3: Update Complete!" in out
    log = log_text(work)
    assert log.rstrip().endswith("Update completed successfully.")
    assert "User aborted update" not in log
    sim.stop()
    assert sim.received() == image
