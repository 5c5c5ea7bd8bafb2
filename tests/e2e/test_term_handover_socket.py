"""The running front end's hand-over socket: a stale one left by a crashed
copy is replaced, hostile peers neither stop nor start anything, and a runtime
folder others may write is passed over for the user's private one."""

import os
import pathlib
import signal
import socket
import struct
import subprocess

from conftest import make_update
from fixtures_term import AS_NOBODY, SOCKET_NAME, dismiss_port_message, give_to_nobody, term_settings, wait_for


def test_a_stale_socket_from_a_crashed_copy_is_replaced(work, place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    path = work / "run" / SOCKET_NAME
    first = front_end("--ini", ini, name="first")
    wait_for(path.is_socket, 3, "the first copy to listen")
    os.kill(first.pid(), signal.SIGKILL)
    assert first.wait_exit() == 137
    assert path.is_socket(), "the crashed copy left its socket"
    ui = front_end("--ini", ini, "sample.sys")
    ui.wait_screen("Update Complete!", 20, check="a new start replaces it and runs the update itself")
    assert path.is_socket(), "and listens again"
    # "Update Complete!" shows a moment before the transfer has ended; Exit
    # before then asks with the stop dialog.
    ui.wait_idle()
    ui.keys("e")
    assert ui.wait_exit() == 0


def test_hostile_peers_on_the_socket_start_nothing_and_stop_nothing(work, place, instruments, front_end, xrupdate):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    path = str(work / "run" / SOCKET_NAME)
    ui = front_end("--ini", ini)
    wait_for(lambda: os.path.exists(path), 3, "the front end to listen")

    def peer(data, close=True):
        s = socket.socket(socket.AF_UNIX)
        s.connect(path)
        s.sendall(data)
        if close:
            s.close()
        return s

    # After the greeting, records of two little-endian words: 211 with the byte
    # offset in the high half, then four bytes of the path.
    peer(b"\xff" * 4096)  # garbage
    peer(b"XRHO0001" + b"".join(struct.pack("<II", 211 | (o << 16), 0x41414141)
                                for o in (0xFFFF, 0x8000, 300, 257, 256, 253)))  # offsets far out
    too_long = peer(b"XRHO0001" + struct.pack("<II", 211, 0x41414141) * 5000, close=False)  # no terminator
    held = peer(b"XRHO0001" + struct.pack("<II", 211, 0x2F2F2F2F), close=False)  # never finishes
    peer(b"XRHO0001" + struct.pack("<II", 211 | (4 << 16), 0))  # a terminator with nothing before it
    peer(b"XRHO0001abc")  # a cut record
    # While one peer holds its connection open, a real second copy is still answered.
    bare = xrupdate("--ini", ini, "/h", timeout=15)
    assert bare.returncode == 0, f"a second copy is answered beside a peer that never finishes: {bare.stderr!r}"
    held.close()
    too_long.close()
    assert ui.shows("XR3300/R SystemUpdate Utility v1.3"), "still running"
    assert not ui.shows("Tx Packet") and not ui.shows("FILE :"), "nothing started"
    real = xrupdate("--ini", ini, "sample.sys")
    assert real.returncode == 0, real.stderr
    ui.wait_screen("Update Complete!", 20, check="a real hand-over still works")
    # "Update Complete!" shows a moment before the transfer has ended; Exit
    # before then asks with the stop dialog.
    ui.wait_idle()
    ui.keys("e")
    assert ui.wait_exit() == 0


def test_a_runtime_folder_others_may_write_is_passed_over(build, place, front_end):
    # Run as "nobody" when root, so that root's own private folder is not touched.
    home, open_run, start = place / "user-home", place / "open-run", place / "user-start"
    for folder in (home, open_run, start):
        folder.mkdir()
    open_run.chmod(0o777)
    give_to_nobody(home, open_run, start)
    uid = 65534 if AS_NOBODY else os.getuid()
    private = f"/tmp/xrupdate-{uid}/{SOCKET_NAME}"
    user = [*AS_NOBODY, "env", f"HOME={home}", "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", f"XDG_RUNTIME_DIR={open_run}"]
    ui = front_end(prefix=user, cwd=start, env={}, name="user")
    ui.wait_screen("cannot hold the socket", 5, check="the runtime folder is told at start")
    ui.record("a runtime folder others may write")
    assert ui.shows_joined("other users may write to it."), "with the reason"
    assert ui.shows_joined(f"/tmp/xrupdate-{uid} is used instead."), "and the folder used instead"
    ui.keys("Enter")
    ui.wait_gone("cannot hold the socket", 3, check="the program goes on")
    assert pathlib.Path(private).is_socket(), "listening in the private folder"
    assert not (open_run / SOCKET_NAME).exists(), "not in the open one"
    second = subprocess.run([*user, build / "xrupdate", "/h"], cwd=start, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=30)
    assert second.returncode == 0, f"a second copy finds it there and exits with 0: {second.stderr!r}"
    assert b"is used instead." in second.stdout + second.stderr, "telling the same on stderr"
    dismiss_port_message(ui)
    ui.keys("e")
    assert ui.wait_exit() == 0
