"""A serial line that never stops talking: a pseudo-terminal whose other side
a thread keeps writing to (a modem, a GPS, noise, a wrong baud rate), never
with a byte that starts a reply."""

import os
import threading

import pytest


class ChatteringLine:
    """`path` is the device to open; `every` seconds one `byte` goes out."""

    def __init__(self, byte=b"\x55", every=0.002):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        self.byte, self.every = byte, every
        self.sent = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._talk, daemon=True)
        self._thread.start()

    def _talk(self):
        while not self._stop.wait(self.every):
            try:
                self.sent += os.write(self.master, self.byte)
            except BlockingIOError:
                pass  # nobody reads: the line's buffer is full
            except OSError:
                return
            try:  # what the program sends is read and dropped
                os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                pass

    def close(self):
        self._stop.set()
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def chattering_line():
    """chattering_line(byte=b"\\x55", every=0.002) -> ChatteringLine, closed at the end."""
    lines = []

    def start(**options):
        line = ChatteringLine(**options)
        lines.append(line)
        return line

    yield start
    for line in lines:
        line.close()

