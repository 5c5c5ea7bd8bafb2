"""The command line's result always reaches its reader: a stalled or late
reader of stdout or stderr never holds the update, and never loses the
outcome, the JSON object or the last display lines; one stalled stream never
holds the other; nothing of a run comes after its outcome line."""

import json
import os
import signal
import subprocess
import threading
import time

from conftest import lines_of, make_update, wait_for, write_ini


# How late a reader comes back: longer than any time the program could think
# enough to wait for it.
LATE_READER_S = 3


def full_pipe():
    """A pipe whose buffer is full already: (read end, write end)."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"\0" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


class Drain:
    """Reads a pipe to its end on a thread of its own, from when it is started."""

    def __init__(self, fd):
        self.fd, self.data = fd, b""
        self.thread = threading.Thread(target=self._read, daemon=True)

    def _read(self):
        while True:
            chunk = os.read(self.fd, 65536)
            if not chunk:
                break
            self.data += chunk
        os.close(self.fd)

    def start(self):
        self.thread.start()
        return self

    def text(self, timeout=30):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the pipe was not closed"
        return self.data.lstrip(b"\0")  # the filler first


def log_has(work, text):
    path = work / "vup_log.txt"
    return path.exists() and text in path.read_text(errors="replace")


def start(build, work, *args, **streams):
    return subprocess.Popen([str(build / "xrupdate"), *args], cwd=work, **streams)


def test_a_stalled_output_holds_neither_the_update_nor_a_stop(build, work, instruments):
    sim = instruments()
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")

    # Nobody reads stdout or stderr: the update still goes to its end, and the
    # program then waits for its readers, who get its last lines.
    out_r, out_w = full_pipe()
    err_r, err_w = full_pipe()
    proc = start(build, work, "--batch", "a.sys", "--ini", str(ini), stdout=out_w, stderr=err_w)
    os.close(out_w)
    os.close(err_w)
    wait_for(lambda: log_has(work, "Update completed successfully."), 60, "the update's end")
    wait_for(lambda: sim.received() == (work / "a.sys").read_bytes(), 10, "the image")
    time.sleep(LATE_READER_S)
    assert proc.poll() is None  # its output is not yet read
    out, err = Drain(out_r).start(), Drain(err_r).start()
    assert proc.wait(timeout=30) == 0
    assert lines_of(out.text())[-1] == "3: Update Complete!"
    assert lines_of(err.text())[-1] == "Packet 32 of 32, about 0:00 left"

    # A stop while the output is stalled is seen at once; a second one ends
    # the wait for the reader.
    (work / "vup_log.txt").unlink()
    read_end, write_end = full_pipe()
    proc = start(build, work, "--batch", "a.sys", "--ini", str(ini), stdout=write_end, stderr=write_end)
    os.close(write_end)
    wait_for(lambda: log_has(work, "Sent packet 3 of 32"), 30, "packet 3")
    proc.send_signal(signal.SIGINT)
    wait_for(lambda: log_has(work, "User aborted update"), 10, "the abort in the log")
    assert proc.poll() is None
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=10) == 7
    os.close(read_end)


def test_the_json_object_reaches_a_reader_that_comes_late(build, work, instruments):
    sim = instruments()
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    read_end, write_end = full_pipe()
    proc = start(build, work, "--batch", "--json", "a.sys", "--ini", str(ini), stdout=write_end,
                 stderr=subprocess.DEVNULL)
    os.close(write_end)
    wait_for(lambda: log_has(work, "Update completed successfully."), 60, "the update's end")
    # The reader comes back seconds later (it was busy): the program is still there for it.
    time.sleep(LATE_READER_S)
    assert proc.poll() is None
    out = Drain(read_end).start()
    assert proc.wait(timeout=30) == 0
    result = json.loads(lines_of(out.text())[-1])
    assert result["exit"] == 0 and result["outcome"] == "complete"
    assert result["packets"] == {"done": 32, "total": 32}


def test_a_stalled_stderr_does_not_hold_stdout(build, work, instruments):
    sim = instruments("--system-version", "2.00")
    ini = write_ini(work / "x.ini", [sim.pty])
    err_r, err_w = full_pipe()
    out_path = work / "out.json"
    with open(out_path, "wb") as out_file:
        proc = start(build, work, "--query", "--json", "--ini", str(ini), stdout=out_file, stderr=err_w)
    os.close(err_w)
    # The object is in the file while stderr still holds the link's line.
    wait_for(lambda: out_path.read_bytes().endswith(b"}\n"), 30, "the JSON object in the file")
    assert proc.poll() is None
    result = json.loads(out_path.read_text())
    assert result["versions"]["system"] == "2.00" and result["exit"] == 0
    err = Drain(err_r).start()
    assert proc.wait(timeout=30) == 0
    assert lines_of(err.text()) == [f"xrupdate: link: COM1 ({sim.pty}) at 38400 baud"]


def test_a_terminal_held_with_ctrl_s_gets_the_outcome_after_ctrl_q(build, work, instruments):
    sim = instruments("--delay", "all:30")
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    status = work / "status"
    script = work / "run.sh"
    script.write_text(f"cd {work}\n{build / 'xrupdate'} -q --batch a.sys --ini {ini}\n"
                      f"echo status=$? > {status}\nexec sleep 600\n")
    name = f"xr-ctrl-s-{os.getpid()}"

    def tmux(*args):
        return subprocess.run(["tmux", "-L", name, *args], check=True, capture_output=True, text=True).stdout

    tmux("new-session", "-d", "-s", name, "-x", "100", "-y", "20", f"bash {script}")
    try:
        wait_for(lambda: log_has(work, "Sent packet 2 of 32"), 30, "packet 2")
        tmux("send-keys", "-t", name, "C-s")
        wait_for(lambda: log_has(work, "Update completed successfully."), 60, "the update's end")
        time.sleep(LATE_READER_S)  # the terminal stays held a while
        assert not status.exists()  # the outcome waits for the terminal
        tmux("send-keys", "-t", name, "C-q")
        wait_for(status.exists, 30, "the program's end")
        assert status.read_text().strip() == "status=0"
        wait_for(lambda: "Update complete." in tmux("capture-pane", "-p", "-t", name), 10, "the outcome on screen")
    finally:
        subprocess.run(["tmux", "-L", name, "kill-server"], capture_output=True)


def test_nothing_comes_after_the_outcome_line(build, work, instruments):
    # Runs side by side, each failing at the last packet, so that the progress
    # texts and the outcome race for the writers.
    runs = []
    for batch in range(10):
        group = []
        for i in range(5):
            sim = instruments("--status", "packet:31:2")
            ini = write_ini(work / f"x{batch}-{i}.ini", [sim.pty])
            image = make_update(work / f"a{i}.sys")  # each run holds its file alone
            merged = i % 2 == 1  # stdout and stderr on one pipe, or each on its own
            proc = start(build, work, "--batch", image.name, "--ini", str(ini), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT if merged else subprocess.PIPE)
            group.append((sim, proc))
        for sim, proc in group:
            out, err = proc.communicate(timeout=120)
            runs.append((proc.returncode, lines_of(err if err is not None else out)))
            sim.stop()
    for status, lines in runs:
        assert status == 5, lines
        assert lines[-1].startswith("xrupdate: "), lines[-3:]
        assert not lines[-1].startswith("xrupdate: link:"), lines[-3:]
