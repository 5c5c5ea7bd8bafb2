"""Whole updates through the web page in a real browser: the file the user
chose reaches the simulated instrument byte for byte over Web Serial and over
Web MIDI, at every MIDI transfer rate, with the rate's chunk waits on the
stand-in's clock."""

import math
import re
import statistics

import pytest

from conftest import make_update
from fixtures_web import wait_until

PACKET = 9372
# Chunk size and pause after each chunk, by transfer rate.
RATES = {0: (512, 0), 1: (512, 330), 2: (256, 330), 3: (256, 500)}
RATE_NAMES = ["Very Fast", "Fast", "Slow", "Very Slow"]


def finish(web, timeout):
    wait_until(lambda: web.lines()[3] != " " and web.idle(), timeout, "the update to end")
    return web.lines()


def midi_settings(rate, skip=0):
    """Stored settings that choose the MIDI link, its devices and a rate."""
    return {"DeviceType": "1", "OutputMidiDevice": "XR MIDI", "InputMidiDevice": "XR MIDI",
            "TransferRate": str(rate), "SkipVersionCheck": str(skip)}


@pytest.mark.parametrize("attr, name", [(0, "system.sys"), (3, "all.b_1")])
def test_serial_update_arrives_whole(web, tmp_path, attr, name):
    update = make_update(tmp_path / name, attr=attr, major=1, minor=5)
    web.open(serial=[["--system-version", "1.00"]])
    web.choose_file(update)
    lines = finish(web, 60)
    assert lines[0] == name
    assert lines[3] == "Update Complete!"
    assert web.image() == update.read_bytes()
    record = web.record()
    assert record["updates_completed"] == 1 and record["bad_packets"] == 0
    opens = web.standin("__xrStandIn.opens(0)")
    assert opens and all(o["baudRate"] == 38400 and o["dataBits"] == 8 and o["stopBits"] == 1
                         and o["parity"] == "none" for o in opens)
    log = web.log()
    assert f"Starting serial transfer of file {name}\r\nSkipVer : No\r\nPort    : COM1\r\n\r\n" in log
    packets = len(update.read_bytes()) // 8192
    assert f"Sent packet {packets} of {packets}...\r\n\r\nUpdate completed successfully.\r\n\r\n" in log


def packet_gaps(sends, rate):
    """The gaps between data packets, and what each must be at least: the
    pauses after every chunk of the first (Web MIDI takes the packet whole with
    its last chunk) plus the 20 ms after its reply."""
    chunk, pause = RATES[rate]
    expected = math.ceil(PACKET / chunk) * pause + 20
    packets = [s for s in sends if s["length"] == PACKET]
    return [b["t"] - a["t"] for a, b in zip(packets, packets[1:])], expected


# Whole updates at each rate, on a clock that runs up to 200 times as fast: a
# wait never ends early on it, however busy the machine, but it may end late
# by as much again, so only the least gap is checked here.
@pytest.mark.parametrize("rate, scale", [(0, 1), (1, 200), (2, 200), (3, 200)])
def test_midi_update_at_each_rate(web, tmp_path, rate, scale):
    update = make_update(tmp_path / "system.sys", attr=0, major=2, minor=0)
    web.open(midi=[("XR MIDI", ["--system-version", "1.00"])], time_scale=scale, settings=midi_settings(rate))
    assert web.js("return document.getElementById('link').textContent") == \
        f'Link: MIDI out "XR MIDI", in "XR MIDI", {RATE_NAMES[rate]}'
    web.choose_file(update)
    lines = finish(web, 90)
    assert lines[3] == "Update Complete!", lines
    assert web.image("midi") == update.read_bytes()
    sends = web.standin("__xrStandIn.sends(0)")
    # The version request, Set Mode, then every packet: each one whole message.
    assert [s["length"] for s in sends] == [6, 7] + [PACKET] * 32
    assert sends[1]["head"] == [0xF0, 0x42, 0x23, 0x58, 0x02, 0x00, 0xF7]
    gaps, expected = packet_gaps(sends, rate)
    assert min(gaps) >= expected - 1, (rate, expected, min(gaps))
    assert f"XferRate : {RATE_NAMES[rate]}\r\nMidiOut  : XR MIDI v0.0 (0x0)\r\nMidiIn   : XR MIDI v0.0 (0x0)" \
        in web.log()


# The pauses themselves, on a clock only ten times as fast (a timer's lateness
# counts ten times), over the first packets; then the update is stopped.
@pytest.mark.parametrize("rate", [1, 2, 3])
def test_midi_pauses_follow_the_rate(web, tmp_path, rate):
    update = make_update(tmp_path / "system.sys", attr=0, major=2, minor=0)
    web.open(midi=[("XR MIDI", [])], time_scale=10, settings=midi_settings(rate))
    web.choose_file(update)
    wait_until(lambda: web.record("midi")["packets"] >= 4, 30, "four packets")
    web.click("cmd-stop")
    web.click("stop-abort")
    web.wait_idle(30)
    gaps, expected = packet_gaps(web.standin("__xrStandIn.sends(0)"), rate)
    assert len(gaps) >= 3
    assert min(gaps) >= expected - 1, (rate, expected, gaps)
    # Short of the next rate's pauses: 512-byte chunks are not 256, 330 ms not 500.
    assert statistics.median(gaps) <= expected * 1.3 + 25, (rate, expected, gaps)


def test_midi_all_file(web, tmp_path):
    update = make_update(tmp_path / "all.b_0", attr=3, major=1, minor=1)
    web.open(midi=[("XR MIDI", [])], settings=midi_settings(0, skip=1))
    web.choose_file(update)
    lines = finish(web, 120)
    assert lines[3] == "Update Complete!", lines
    assert web.image("midi") == update.read_bytes()
    sends = web.standin("__xrStandIn.sends(0)")
    # The version check is skipped: Set Mode is the first message.
    assert [s["length"] for s in sends] == [7] + [PACKET] * 128


def test_the_progress_moves_when_a_packet_is_accepted_and_its_estimate_holds(web, tmp_path):
    update = make_update(tmp_path / "u.sys", attr=0, major=1, minor=9)
    # At 38400 baud a packet takes 2.4 s on the line: the page's clock runs 10 times as fast.
    web.open(serial=[["--line-speed", "38400"]], time_scale=10)
    web.js("""window.__progress = [];
              new MutationObserver(() => window.__progress.push({
                  text: document.getElementById('progress-text').textContent,
                  t: performance.now(), replies: __xrStandIn.replies(0).length}))
                .observe(document.getElementById('progress-text'), {childList: true, characterData: true,
                                                                    subtree: true});""")
    web.choose_file(update)
    assert finish(web, 120)[3] == "Update Complete!"
    seen = web.js("return window.__progress")
    end = web.standin("__xrStandIn.replies(0)")[-1]
    counts = []
    for change in seen:
        match = re.match(r"Packet (\d+) of 32(?:, about (\d+):(\d\d) left)?$", change["text"])
        assert match, change
        done = int(match.group(1))
        counts.append(done)
        if done > 0:
            # Shown once packet `done` is answered (the version reply and Set
            # Mode's come first), before the next packet's answer.
            assert change["replies"] == done + 2, change
        if 3 <= done < 32:
            estimate = int(match.group(2)) * 60 + int(match.group(3))
            left = (end - change["t"]) / 1000
            assert abs(estimate - left) <= 0.2 * left + 1, (change, left)
    assert counts == sorted(counts) and set(range(1, 33)) <= set(counts)
    # How far the update got stays shown after its end.
    assert web.js("return document.getElementById('progress-text').textContent") == "Packet 32 of 32"
    assert not web.js("return document.getElementById('progress').hidden")
