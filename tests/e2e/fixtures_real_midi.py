"""What the tests on a real MIDI stack share: they run inside the guest that
scripts/real-midi.py boots, where the kernel's virtual MIDI card snd-virmidi
is card 0 and its devices 0 and 1 are the sequencer's clients 16 and 17."""

import os
import pathlib
import subprocess
import threading
import time

import pytest

from conftest import end_process

IN_GUEST = bool(os.environ.get("XR_REAL_MIDI")) and pathlib.Path("/proc/asound/card0/midi1").exists()
REAL_MIDI = pytest.mark.skipif(not IN_GUEST, reason="needs the real-MIDI guest (scripts/real-midi.py)")
# The Linux program's port (rawmidi), joined to the instrument's (hw:0,1).
PORT = "Virtual Raw MIDI (hw:0,0,0)"
# Wine and Chromium reach the sequencer's port of the instrument's device itself.
SEQ_PORT = "VirMIDI 0-1"
PACKET = 9372  # a data packet's bytes on the wire


@pytest.fixture(scope="session", autouse=True)
def joined_ports():
    """Ports 0 and 1 joined both ways, as a MIDI cable pair joins a computer and
    an instrument."""
    if not IN_GUEST:
        yield
        return
    for pair in (("16:0", "17:0"), ("17:0", "16:0")):
        subprocess.run(["aconnect", *pair], check=False, capture_output=True)
    yield
    subprocess.run(["aconnect", "-x"], check=False)


class MidiInstrument:
    """xrsim behind hw:0,1, its trace read as it comes: each line with the time
    it arrived, so that the chunks and pauses of a transfer can be seen."""

    def __init__(self, build, folder, *options):
        self.image = pathlib.Path(folder) / f"image-{id(self)}.bin"
        self.proc = subprocess.Popen([str(build / "xrsim"), "--midi", "hw:0,1", "--trace", "--image",
                                      str(self.image), *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().strip()
        if first != "hw:0,1":
            raise RuntimeError(f"xrsim did not start: {first!r} {self.proc.stderr.read()}")
        self.lines = []  # (arrival time, line)
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            with self.lock:
                self.lines.append((time.monotonic(), line.rstrip("\n")))

    def trace(self):
        with self.lock:
            return list(self.lines)

    def replies(self):
        return sum(1 for _, line in self.trace() if line.startswith(">"))

    def bytes_in(self):
        return sum(len(line.split()) - 1 for _, line in self.trace() if line.startswith("<"))

    def bursts(self, after_reply, until_reply, gap):
        """The bytes that came in between reply number after_reply and reply
        number until_reply, as (bytes, start, end) bursts that pauses of more
        than `gap` seconds separate."""
        replies = 0
        found = []
        for at, line in self.trace():
            if line.startswith(">"):
                replies += 1
                continue
            if not line.startswith("<") or not after_reply <= replies < until_reply:
                continue
            n = len(line.split()) - 1
            if found and at - found[-1][2] <= gap:
                found[-1] = (found[-1][0] + n, found[-1][1], at)
            else:
                found.append((n, at, at))
        return found

    def received(self):
        return self.image.read_bytes() if self.image.exists() else b""

    def stop(self):
        end_process(self.proc)
        self.reader.join(5)
        return "".join(line + "\n" for _, line in self.trace() if line.startswith("xrsim:"))


@pytest.fixture
def instrument(build, work):
    """Starts the simulated instrument behind hw:0,1: instrument(*options)."""
    started = []

    def start(*options):
        started.append(MidiInstrument(build, work, *options))
        return started[-1]

    yield start
    for one in started:
        one.stop()


def paced(sim, chunk, pause):
    """Checks the first data packet (the third message) went out in chunks of
    `chunk` bytes, the last one shorter, with at least `pause` s between them."""
    bursts = sim.bursts(2, 3, gap=pause / 2)
    sizes = [n for n, _, _ in bursts]
    full = PACKET // chunk
    assert sizes == [chunk] * full + [PACKET - full * chunk], sizes
    pauses = sorted(b[1] - a[2] for a, b in zip(bursts, bursts[1:]))
    # Arrival times are taken in the emulated guest, where a burst's last line
    # may be read tens of milliseconds late, so that one pause looks short.
    # Every pause is still well above the next shorter rate's, and the typical
    # one is the whole pause.
    assert pauses[0] >= pause * 0.75, pauses
    assert pauses[len(pauses) // 2] >= pause * 0.95, pauses
    return sum(n for n, _, _ in sim.bursts(0, 3, gap=pause / 2))
