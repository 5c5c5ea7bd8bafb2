"""What the tests on a real MIDI stack share: they run inside the guest that
scripts/real-midi.py boots, where the kernel's virtual MIDI card snd-virmidi
is card 0 and its devices 0 and 1 are the sequencer's clients 16 and 17."""

import os
import pathlib
import subprocess

import pytest

IN_GUEST = bool(os.environ.get("XR_REAL_MIDI")) and pathlib.Path("/proc/asound/card0/midi1").exists()
REAL_MIDI = pytest.mark.skipif(not IN_GUEST, reason="needs the real-MIDI guest (scripts/real-midi.py)")
# The program's port, and the instrument's behind it.
PORT = "Virtual Raw MIDI (hw:0,0,0)"


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
