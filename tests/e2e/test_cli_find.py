"""--find: every device asked at once with a short time-out, one line for each
that did not answer, a stop that ends the scan at once, every port closed."""

import os
import pty
import signal
import subprocess

from conftest import lines_of, wait_for


def silent_lines(count):
    pairs = [pty.openpty() for _ in range(count)]
    return pairs, [os.ttyname(slave) for _, slave in pairs]


def test_the_scan_asks_every_device_at_once(work, instruments, xrupdate):
    sim = instruments("--system-version", "1.05")
    pairs, silent = silent_lines(6)
    ports = [arg for path in silent[:3] + [sim.pty] + silent[3:] for arg in ("--port", path)]
    result = xrupdate("--find", *ports, "--timeout", "300", "--ini", work / "x.ini")
    assert result.returncode == 0, result.stderr
    assert lines_of(result.stdout) == [f"serial {sim.pty}: System 1.05, User 1.00, PCM 1.00"]
    assert sorted(lines_of(result.stderr)) == sorted(f"xrupdate: {p}: no answer in 0.3 s" for p in silent)
    log = (work / "vup_log.txt").read_text()
    assert f"Version request on {sim.pty}: System 1.05" in log
    assert f"Version request on {silent[0]}: no answer in 0.3 s" in log
    # --first stops at the first instrument; the rest are not reported as silent.
    first = xrupdate("--find", "--first", *ports, "--timeout", "5000", "--ini", work / "x.ini")
    assert first.returncode == 0 and lines_of(first.stdout) == lines_of(result.stdout)
    assert first.stderr == b""
    for master, slave in pairs:
        os.close(master)
        os.close(slave)


def test_nothing_to_try_and_a_stop_during_the_scan(build, work, xrupdate):
    nothing = xrupdate("--find", "--port", "/nonexistent/a", "--port", "/nonexistent/b", "--ini", work / "x.ini")
    assert nothing.returncode == 4
    assert lines_of(nothing.stderr)[-1] == "xrupdate: --find: no device to try"
    pairs, silent = silent_lines(3)
    (work / "vup_log.txt").unlink()  # made again once the scan's signal handling is in place
    proc = subprocess.Popen([str(build / "xrupdate"), "--find", "--timeout", "60000", "--ini", str(work / "x.ini")] +
                            [arg for p in silent for arg in ("--port", p)], cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # A stop before or after the requests went out: either way the scan ends at once.
    wait_for(lambda: (work / "vup_log.txt").exists(), 10, "the scan to begin")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)  # far less than the scan's minute
    assert proc.returncode == 7, err
    # Every port was closed: each opens again at once.
    for path in silent:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        os.close(fd)
    for master, slave in pairs:
        os.close(master)
        os.close(slave)
