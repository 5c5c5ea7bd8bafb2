"""What --batch, --dry-run and --query say, and that nothing they write can hold
the update: the outcome told once, the progress one rewritten line on a
terminal, a hang-up and a stop at any moment (a stalled or late reader: see
test_cli_result_delivered.py)."""

import os
import re
import signal
import subprocess

import pexpect

from conftest import lines_of, make_update, wait_for, write_ini


def screen_of(raw):
    """What a terminal shows after `raw`: \r, \n, ESC[K and text, enough for the
    program's own output."""
    rows, row, col = [[]], 0, 0
    i = 0
    while i < len(raw):
        ch = raw[i]
        if raw.startswith("\x1b[K", i):
            del rows[row][col:]
            i += 3
            continue
        if ch == "\r":
            col = 0
        elif ch == "\n":
            row += 1
            col = 0
            if row == len(rows):
                rows.append([])
        else:
            line = rows[row]
            line.extend(" " * (col - len(line)))
            if col < len(line):
                line[col] = ch
            else:
                line.append(ch)
            col += 1
        i += 1
    return ["".join(r) for r in rows]


def log_has(work, text):
    path = work / "vup_log.txt"
    return path.exists() and text in path.read_text(errors="replace")


def test_the_outcome_is_told_once(work, instruments, xrupdate):
    sim = instruments("--system-version", "2.00")
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "old.sys", 0, 1, 0)
    make_update(work / "new.sys", 0, 3, 0)
    quiet = xrupdate("-q", "--dry-run", "old.sys", "--ini", ini)
    assert quiet.returncode == 6 and quiet.stdout == b""
    assert lines_of(quiet.stderr) == ["xrupdate: the update would not be accepted: Version check failed. The XR3300 "
                                      "already has same version or better. To force update select Skip Version "
                                      "Check in configuration."]
    query = xrupdate("--query", "--ini", ini)
    assert lines_of(query.stdout) == ["System: 2.00", "User: 1.00", "PCM: 1.00"]
    assert lines_of(query.stderr) == [f"xrupdate: link: COM1 ({sim.pty}) at 38400 baud"]
    done = xrupdate("-q", "--batch", "new.sys", "--ini", ini)
    assert done.returncode == 0 and done.stdout == b"Update complete.\n" and done.stderr == b""


def test_progress_is_one_line_rewritten_at_the_bottom_of_a_terminal(build, work, instruments):
    sim = instruments()
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    for quiet in (False, True):
        child = pexpect.spawn(str(build / "xrupdate"), ["--batch", "a.sys", "--ini", str(ini)] + (["-q"] if quiet else []),
                              cwd=str(work), encoding="utf-8", codec_errors="replace", dimensions=(40, 200), timeout=60)
        raw = child.read()
        child.close()
        assert child.exitstatus == 0, raw
        # Rewritten in place with its percentage, never a line of its own (texts
        # that come faster than the terminal takes them may be coalesced).
        assert re.search(r"\rPacket \d+ of 32[^\n]*%\)\x1b\[K", raw), raw
        assert not re.search(r"Packet [^\r]*\n", raw), raw
        shown = [line for line in screen_of(raw) if line.strip()]
        # The progress was erased at the end; every display line stands alone.
        assert not [line for line in shown if "Packet " in line and not line.startswith("2: Tx Packet")], shown
        tx_lines = [line for line in shown if line.startswith("2: Tx Packet:")]
        assert len(tx_lines) == (0 if quiet else 32), shown
        if quiet:
            assert shown == ["Update complete."], shown


def test_a_hang_up_lets_the_update_finish_and_a_quit_stops_it(build, work, instruments):
    sim = instruments()
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    for sig, status in ((signal.SIGHUP, 0), (signal.SIGQUIT, 7)):
        log = work / "vup_log.txt"
        if log.exists():
            log.unlink()
        proc = subprocess.Popen([str(build / "xrupdate"), "--batch", "a.sys", "--ini", str(ini)], cwd=work,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(lambda: log_has(work, "Sent packet 3 of 32"), 30, "packet 3")
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == status, err
        if status == 0:
            assert log_has(work, "Update completed successfully.")
            assert sim.received() == (work / "a.sys").read_bytes()
        else:
            assert log_has(work, "User aborted update")
            last = lines_of(err)[-1]
            assert last.startswith("xrupdate: the update was aborted after packet "), err
            assert "may wait in update mode until the update is run again" in last


def test_a_run_that_names_its_link_opens_that_device_alone(build, work, instruments):
    import pty
    sim = instruments()
    others = [pty.openpty() for _ in range(4)]  # COM1..COM4 of the settings, each a line that would open
    ini = write_ini(work / "x.ini", [os.ttyname(slave) for _, slave in others])
    make_update(work / "a.sys")
    trace = work / "trace.log"
    for args in (["--query"], ["--dry-run", "a.sys"], ["--batch", "a.sys"]):
        # LeakSanitizer cannot run under ptrace: a sanitized build is traced without it.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        traced = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", str(trace),
                                 str(build / "xrupdate"), *args, "--port", sim.pty, "--ini", str(ini)],
                                cwd=work, capture_output=True, timeout=60, env=env)
        assert traced.returncode == 0, traced.stderr
        opened = trace.read_text()
        assert sim.pty in opened
        for _, slave in others:
            assert os.ttyname(slave) not in opened, args
    for master, slave in others:
        os.close(master)
        os.close(slave)


def test_what_a_run_names_is_never_saved(work, instruments, xrupdate):
    sim = instruments("--system-version", "3.00")
    ini = write_ini(work / "x.ini", ["/dev/ttyS0"], SkipVersionCheck=0, TransferRate=1)
    make_update(work / "a.sys", 0, 2, 0)  # older than the instrument's: sent only with the check skipped
    os.symlink(sim.pty, work / "instrument")
    result = xrupdate("--batch", "a.sys", "--port", work / "instrument", "--skip-version-check", "--rate", "3",
                      "--ini", ini)
    assert result.returncode == 0, result.stderr
    assert sim.received() == (work / "a.sys").read_bytes()
    saved = ini.read_text()
    assert "SkipVersionCheck=0" in saved and "TransferRate=1" in saved and "DeviceType=0" in saved, saved
    assert "instrument" not in saved and sim.pty not in saved, saved
    assert "Com1Device=/dev/ttyS0" in saved
