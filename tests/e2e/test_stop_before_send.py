"""A stop is honoured right before every send: under a slow disk (every fsync
of the support log held back by strace), a SIGINT that comes while an entry is
being committed lets nothing more out, and what the run says went out is what
the instrument received."""

import os
import pathlib
import random
import re
import signal
import shutil
import subprocess

import pytest

from conftest import make_update, wait_for, write_ini

ABORTED = 7
pytestmark = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")


def messages_in(trace):
    """(code, packet number) of every request the instrument read, from xrsim --trace."""
    stream = bytearray()
    for line in trace.splitlines():
        if line.startswith("<"):
            stream += bytes(int(b, 16) for b in line[1:].split())
    found = []
    for match in re.finditer(rb"\xf0\x42\x23\x58([\x00\x02\x04])", bytes(stream)):
        code = match.group(1)[0]
        at = match.end()
        found.append((code, stream[at] | (stream[at + 1] << 7) if code == 4 else None))
    return found


class SlowDiskRun:
    """xrupdate --batch under strace, every fsync delayed by `delay_us`."""

    def __init__(self, build, work, sim, delay_us):
        self.work = work
        self.proc = subprocess.Popen(
            ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
             f"inject=fsync:delay_enter={delay_us}", str(build / "xrupdate"), "--batch", "--ini", "x.ini",
             "--port", sim.pty, "a.sys"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            # LeakSanitizer cannot run under ptrace; the rest of a sanitized build can.
            env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        self.pid = wait_for(self.program_pid, 30, "xrupdate under strace")

    def program_pid(self):
        # strace also forks children of its own to try ptrace out: the one that
        # became xrupdate is the program.
        try:
            children = pathlib.Path(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read_text().split()
        except OSError:
            return None
        for child in children:
            try:
                if pathlib.Path(f"/proc/{child}/comm").read_text().strip() == "xrupdate":
                    return int(child)
            except OSError:
                continue
        return None

    def log(self):
        path = self.work / "vup_log.txt"
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def interrupt(self):
        try:
            os.kill(self.pid, signal.SIGINT)
        except ProcessLookupError:
            pass

    def finish(self):
        try:
            out, err = self.proc.communicate(timeout=120)
        finally:
            self.proc.kill()
        return self.proc.returncode, out, err


def traced_instrument(work, instruments):
    write_ini(work / "x.ini")
    make_update(work / "a.sys")
    return instruments("--trace")


@pytest.mark.parametrize("entry, sent", [
    ("Sending 'Set Mode'...", [(0, None)]),
    ("Sent packet 3 of 32...", [(0, None), (2, None), (4, 0), (4, 1), (4, 2)]),
])
def test_a_stop_while_a_log_entry_is_committed_sends_nothing_more(build, work, instruments, entry, sent):
    sim = traced_instrument(work, instruments)
    run = SlowDiskRun(build, work, sim, 400000)
    wait_for(lambda: entry in run.log(), 60, entry)
    run.interrupt()  # well within the 400 ms the entry's fsync is held
    status, out, err = run.finish()
    assert status == ABORTED, out + err
    if sent[-1][0] == 0:
        assert err.rstrip().endswith("xrupdate: the update was aborted before the data packets began"), err
    else:
        assert "aborted after packet 3 of 32" in err, err
    assert "User aborted update" in run.log()
    sim.stop()
    assert messages_in(sim.log.read_text()) == sent


def test_stops_at_random_moments_send_nothing_the_run_does_not_tell_of(build, work, instruments):
    # What the run says went out is what went out: no Set Mode for "before the
    # data packets began", no packet for "after Set Mode", and no packet past
    # the one after the last accepted for "after packet k".
    sim = traced_instrument(work, instruments)
    rng = random.Random(26)
    for attempt in range(8):
        (work / "vup_log.txt").unlink(missing_ok=True)
        before = len(messages_in(sim.log.read_text()))
        run = SlowDiskRun(build, work, sim, 30000)
        wait_for(lambda: "Starting serial transfer" in run.log(), 60, "the start")
        deadline_s = rng.uniform(0.0, 0.6)
        try:
            run.proc.wait(deadline_s)
        except subprocess.TimeoutExpired:
            pass
        run.interrupt()
        status, out, err = run.finish()
        sent = messages_in(sim.log.read_text())[before:]
        codes = [code for code, _ in sent]
        said = err.rstrip().splitlines()[-1] if err.strip() else ""
        if status == 0:
            continue
        assert status == ABORTED, (attempt, out, err)
        if said.endswith("before the data packets began"):
            assert 2 not in codes and 4 not in codes, (attempt, sent)
        elif "after Set Mode went out" in said:
            assert 4 not in codes, (attempt, sent)
        else:
            done = int(re.search(r"after packet (\d+) of", said).group(1))
            assert max((n for code, n in sent if code == 4), default=-1) <= done, (attempt, said, sent)
