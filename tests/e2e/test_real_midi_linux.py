"""The Linux program over the kernel's ALSA: ports 0 and 1 of the virtual MIDI
card snd-virmidi joined both ways through the sequencer, the simulated
instrument behind port 1, the program on port 0. Runs inside the guest that
scripts/real-midi.py boots; anywhere else it is skipped."""

import signal
import subprocess
import time

import pytest

from conftest import lines_of, make_update, wait_for
from fixtures_real_midi import PACKET, PORT, REAL_MIDI, paced

pytestmark = REAL_MIDI

MIDI = ["--midi-out", PORT, "--midi-in", PORT]


def start_update(build, path, *args):
    return subprocess.Popen([str(build / "xrupdate"), "--batch", str(path), *MIDI, *args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_every_port_has_a_name_of_its_own(xrupdate):
    result = xrupdate("--list")
    outs = [line.split(": ", 1)[1] for line in lines_of(result.stdout) if line.startswith("midi out ")]
    ins = [line.split(": ", 1)[1] for line in lines_of(result.stdout) if line.startswith("midi in ")]
    assert len(outs) == 64 and len(ins) == 64, result.stdout
    assert len(set(outs)) == 64 and len(set(ins)) == 64
    assert outs[0] == PORT and outs[17] == "Virtual Raw MIDI (hw:0,1,1)"
    # A name from the list finds exactly that port (no instrument is behind it).
    query = xrupdate("--query", "--midi-out", outs[17], "--midi-in", ins[17], "--json", timeout=60)
    assert b'"output":17' in query.stdout and b'"input":17' in query.stdout, query.stdout


@pytest.mark.parametrize("attr", [0, 3], ids=["system", "all"])
def test_an_update_at_very_fast_arrives_byte_for_byte(build, work, instrument, xrupdate, attr):
    update = make_update(work / "update.bin", attr=attr)
    sim = instrument("--exit-on-complete")
    result = xrupdate("--batch", update, *MIDI, "--rate", "0", timeout=600)
    assert result.returncode == 0, result.stderr
    assert b"Update Complete!" in result.stdout + result.stderr
    wait_for(lambda: sim.proc.poll() is not None, 30, "xrsim to end after the update")
    assert sim.received() == update.read_bytes()


@pytest.mark.parametrize("rate,chunk,pause", [(1, 512, 0.330), (2, 256, 0.330), (3, 256, 0.500)],
                         ids=["fast", "slow", "very-slow"])
def test_paced_rates_send_their_chunks_and_pauses_and_nothing_after_a_stop(build, work, instrument, rate,
                                                                             chunk, pause):
    update = make_update(work / "update.bin")
    sim = instrument()
    run = start_update(build, update, "--rate", str(rate))
    try:
        # Version request, Set Mode and the first data packet answered.
        wait_for(lambda: sim.replies() >= 3, 60, "the first data packet's reply")
        # Then a stop, while the second packet goes out.
        wait_for(lambda: sim.bytes_in() > 40 + PACKET + chunk, 30, "the second packet to begin")
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=30)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 7, err
    sent_before = paced(sim, chunk, pause)
    # Nothing after the stop: the program has ended, and of the second packet
    # fewer bytes came than a packet holds.
    assert 0 < sim.bytes_in() - sent_before < PACKET


def test_a_silent_instrument_is_a_time_out(build, work, instrument, xrupdate):
    update = make_update(work / "update.bin")
    instrument("--silent", "version")
    started = time.monotonic()
    result = xrupdate("--batch", update, *MIDI, timeout=120)
    assert result.returncode == 5, result.stderr
    assert b"Receive Error(Timeout)" in result.stdout + result.stderr
    assert 8 <= time.monotonic() - started < 60


def test_a_port_another_program_holds_is_not_opened(build, work, instrument, xrupdate):
    update = make_update(work / "update.bin")
    instrument()
    holder = subprocess.Popen(["amidi", "-p", "hw:0,0,0", "-d"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
    try:
        wait_for(lambda: xrupdate("--query", *MIDI).returncode == 4, 10, "the port to be held")
        result = xrupdate("--batch", update, *MIDI)
    finally:
        holder.terminate()
        holder.wait(5)
    assert result.returncode == 4, result.stderr
    assert b"Midi In Open Error : Allocated" in result.stdout + result.stderr
    log = (work / "vup_log.txt").read_bytes()
    assert b"Midi In Open Error : Allocated" in log


def test_a_port_unjoined_mid_transfer_ends_with_a_time_out(build, work, instrument):
    update = make_update(work / "update.bin")
    sim = instrument()
    run = start_update(build, update, "--rate", "0")
    try:
        wait_for(lambda: sim.replies() >= 5, 60, "three data packets")
        subprocess.run(["aconnect", "-d", "17:0", "16:0"], check=True)
        out, err = run.communicate(timeout=60)
    finally:
        subprocess.run(["aconnect", "17:0", "16:0"], check=False)
        if run.poll() is None:
            run.kill()
    assert run.returncode == 5, err
    assert b"Receive Error(Timeout)" in out + err
    log = (work / "vup_log.txt").read_text(errors="replace")
    assert "Receive Error(Timeout)" in log


def test_a_slow_instrument_fails_the_fast_rate_and_takes_the_slow_one(build, work, instrument, xrupdate):
    """An instrument whose 256-byte input buffer drains at 1000 bytes a second
    loses bytes of 512-byte chunks sent back to back, and keeps up with 256-byte
    chunks 330 ms apart."""
    update = make_update(work / "update.bin")
    sim = instrument("--slow-input", "256:1000")
    result = xrupdate("--batch", update, *MIDI, "--rate", "0", timeout=120)
    assert result.returncode == 5, result.stderr
    said = result.stdout + result.stderr
    assert b"Receive Error(Timeout)" in said or b"Rx Msg Error(5:Format Error)" in said, said
    summary = sim.stop()
    assert "bytes lost to a full input buffer" in summary and "; 0 bytes lost" not in summary, summary

    slow = instrument("--slow-input", "256:1000")
    run = start_update(build, update, "--rate", "2")
    try:
        wait_for(lambda: slow.replies() >= 3, 120, "a data packet at Slow")
        run.send_signal(signal.SIGINT)
        run.communicate(timeout=30)
    finally:
        if run.poll() is None:
            run.kill()
    summary = slow.stop()
    assert "; 0 bytes lost to a full input buffer" in summary, summary
    assert "last error" not in summary, summary
