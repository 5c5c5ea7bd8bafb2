"""The Windows program over Wine's winmm, which reaches the kernel's ALSA
sequencer: the simulated instrument behind the virtual MIDI card's device 1,
the program on that device's sequencer port. Runs inside the guest that
scripts/real-midi.py boots; anywhere else it is skipped."""

from conftest import make_update, wait_for
from fixtures_real_midi import PACKET, REAL_MIDI, SEQ_PORT
from fixtures_wine import ABORT, CONFIG_TITLE, IDM_CONFIG, IDM_STOP, STOP_TITLE

pytestmark = REAL_MIDI

OUT_LIST, IN_LIST, RATE_LIST, CANCEL = 110, 111, 116, 2


def midi_settings(winprog, rate, out=SEQ_PORT, into=SEQ_PORT):
    (winprog.folder / "xrupdate.ini").write_bytes(
        ("[XR3300/R SystemUpdate Utility]\r\nDeviceType=1\r\nWarning=0\r\n"
         f"OutputMidiDevice={out}\r\nInputMidiDevice={into}\r\nTransferRate={rate}\r\n").encode())


def items(winprog, control):
    status, text = winprog.probe("items", CONFIG_TITLE, control)
    assert status == 0, text
    return text.splitlines()


# One program for both (each Wine start costs much under emulation): the
# dialog's lists first, then a file handed over as a second copy does.
def test_the_config_dialog_lists_the_ports_and_an_update_arrives_byte_for_byte(winprog, instrument):
    midi_settings(winprog, 0)
    update = make_update(winprog.folder / "first.sys")
    sim = instrument()
    winprog.start_main()
    winprog.post(IDM_CONFIG)
    winprog.wait_window(CONFIG_TITLE)
    outs, ins = items(winprog, OUT_LIST), items(winprog, IN_LIST)
    winprog.press(CONFIG_TITLE, CANCEL)
    winprog.wait_gone(CONFIG_TITLE)
    for listed in (outs, ins):
        names = [name.lstrip("*") for name in listed]
        assert len(names) == len(set(names)), listed
        assert "*" + SEQ_PORT in listed, listed
        assert {f"VirMIDI 0-{n}" for n in range(4)} <= set(names), listed

    winprog.hand_over(update)
    winprog.wait_log("Update completed successfully.", timeout=300)
    assert "Receive Error" not in winprog.log() and "Transmit Error" not in winprog.log()
    sim.stop()
    assert sim.received() == update.read_bytes()


def test_fast_over_winmm_keeps_its_pauses_and_abort_sends_nothing_more(winprog, instrument):
    make_update(winprog.folder / "first.sys")
    midi_settings(winprog, 1)
    sim = instrument()
    winprog.start_main("first.sys")
    wait_for(lambda: sim.replies() >= 3, 90, "the first data packet's reply")
    wait_for(lambda: sim.bytes_in() > 40 + PACKET + 512, 30, "the second packet to begin")
    winprog.post(IDM_STOP)
    winprog.wait_window(STOP_TITLE)
    at_abort = sim.bytes_in()
    winprog.press(STOP_TITLE, ABORT)
    winprog.wait_gone(STOP_TITLE, 30)
    winprog.wait_log("User aborted update", timeout=30)
    # Wine's winmm takes a long message only whole (it closes every part with
    # F7), so the program gives it the packet whole with its last part: the
    # pauses after the first 18 parts come before it, then it comes at once.
    bursts = sim.bursts(2, 3, gap=0.15)
    assert [n for n, _, _ in bursts] == [PACKET]
    set_mode_answered = [at for at, line in sim.trace() if line.startswith(">")][1]
    assert bursts[0][1] - set_mode_answered >= 18 * 0.330 * 0.9
    # After Abort at most the packet already handed to Wine arrives, whole.
    received = sim.bytes_in()
    later = [n for n, _, _ in sim.bursts(3, 99, gap=0.15)]
    assert received - at_abort in (0, PACKET), (at_abort, received, later)
    sim.stop()
    assert sim.bytes_in() == received
