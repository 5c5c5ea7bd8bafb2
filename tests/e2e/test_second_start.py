"""A second start beside a running front end: a plain `xrupdate FILE` hands
FILE over; a start that names a link or a one-run option is never handed over
(the file would go to the running copy's instrument), and every way the
running copy answers is told, never as a silent success."""

import fcntl
import os
import socket
import threading

from conftest import lines_of, make_update, wait_for, write_ini


def test_a_named_link_is_never_handed_to_the_running_copy(work, instruments, front_end, xrupdate):
    one = instruments()
    two = instruments()
    ini = write_ini(work / "x.ini", [one.pty])
    make_update(work / "a.sys")
    ui = front_end("--ini", ini)
    ui.wait_screen(f"Link: COM1 ({one.pty})")

    # The named device does not open: that is said first, and nothing is handed over.
    missing = xrupdate("--port", "/dev/nothing", "a.sys", "--ini", ini)
    assert missing.returncode == 4
    assert lines_of(missing.stderr) == ["xrupdate: --port /dev/nothing: does not exist; no other port is used"]

    # The named device opens: the running copy is named, with its link, and given nothing.
    for args in (["--port", two.pty, "--skip-version-check"], ["--skip-version-check"], ["--rate", "2"]):
        second = xrupdate(*args, "a.sys", "--ini", ini)
        assert second.returncode == 1, second.stderr
        said = lines_of(second.stderr)
        assert len(said) == 1 and f"already running (link: COM1 ({one.pty}) at 38400 baud)" in said[0], said
        assert "--batch" in said[0]
    assert "Update Complete!" not in ui.screen()

    # A plain second start hands the file over, and the running copy's link takes it.
    plain = xrupdate("a.sys", "/h")
    assert plain.returncode == 0, plain.stderr
    ui.wait_screen("Update Complete!", 60)
    assert one.received() == (work / "a.sys").read_bytes()
    two.stop()
    assert two.received() == b""
    assert "0 messages" in two.log.read_text()


class FakeRunningCopy:
    """A copy that holds the single-copy lock and answers as it is told."""

    def __init__(self, work, answer):
        folder = work / "run"
        self.path = str(folder / "XR3300_R_SystemUpdate_Utility.sock")
        self.lock = open(self.path + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.path)
        self.server.listen(4)
        self.answer = answer
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        connection, _ = self.server.accept()
        if self.answer == "reset":
            connection.close()  # closed unread: the second copy's records are lost
            return
        wait_for(lambda: connection.recv(4096, socket.MSG_PEEK), 5, "the records")
        connection.recv(4096)
        try:
            if self.answer:
                connection.sendall(self.answer)
        except OSError:
            pass  # a second copy that had nothing to ask has gone already
        connection.close()

    def close(self):
        self.server.close()
        self.lock.close()


def test_every_answer_of_the_running_copy_is_told(work, xrupdate):
    make_update(work / "a.sys")
    cases = [(b"T", 0, ""), (b"B", 1, "is busy; "), (b"N", 1, "could not start"), (b"", 1, "without answering"),
             (b"Xyz", 1, "could not be understood"), ("reset", 1, "was not started")]
    for answer, status, said in cases:
        fake = FakeRunningCopy(work, answer)
        result = xrupdate("a.sys", "/h", timeout=20)
        fake.close()
        assert result.returncode == status, (answer, result.stderr)
        assert said in result.stderr.decode(), (answer, result.stderr)
        os.unlink(fake.path)
    # A file that does not exist is said, whoever was to take it.
    fake = FakeRunningCopy(work, b"T")
    result = xrupdate("missing.sys", timeout=20)
    fake.close()
    assert result.returncode == 2
    assert lines_of(result.stderr) == ["xrupdate: missing.sys: no such file; nothing was handed over"]
