"""The page over Chromium's own Web MIDI, which reaches the kernel's ALSA
sequencer: no stand-in, the simulated instrument behind the virtual MIDI
card's device 1, the page on that device's sequencer port. SysEx is granted
by the browser's permission settings (DevTools' Browser.grantPermissions),
the page itself unchanged. Runs inside the guest that scripts/real-midi.py
boots; anywhere else it is skipped."""

from conftest import make_update
from fixtures_real_midi import REAL_MIDI, SEQ_PORT
from fixtures_web import wait_until

pytestmark = REAL_MIDI


def open_on_web_midi(web, rate=0):
    web.cdp("Browser.grantPermissions", {"origin": web.base, "permissions": ["midi", "midiSysex"]})
    web.open(standins=False, ready=False, settings={"DeviceType": "1", "OutputMidiDevice": SEQ_PORT,
                                                    "InputMidiDevice": SEQ_PORT, "TransferRate": str(rate)})
    # Under emulation the engine's WebAssembly takes a while to compile.
    web.wait_ready(60)
    # The remembered devices were found: no start-up message.
    assert web.message() is None, (web.message(), web.js(
        "return navigator.requestMIDIAccess().then(a => [...a.outputs.values()].map(p => p.name))"))


def options(web, select):
    return web.js(f"return Array.from(document.getElementById('{select}').options).map("
                  "o => (o.selected ? '*' : '') + o.textContent)")


# One page load for both (the engine's WebAssembly compiles slowly under emulation).
def test_the_config_form_lists_the_ports_and_an_update_arrives_byte_for_byte(web, instrument, tmp_path):
    update = make_update(tmp_path / "system.sys")
    sim = instrument()
    open_on_web_midi(web)
    web.click("cmd-config")
    wait_until(lambda: web.js("return document.getElementById('config-dialog').open"), 10, "the Config form")
    for listed in (options(web, "c110"), options(web, "c111")):
        names = [name.lstrip("*") for name in listed]
        assert len(names) == len(set(names)), listed
        assert "*" + SEQ_PORT in listed, listed
        assert {f"VirMIDI 0-{n}" for n in range(4)} <= set(names), listed
    web.click("c2")
    wait_until(lambda: not web.js("return document.getElementById('config-dialog').open"), 10,
               "the Config form to close")

    assert web.js("return document.getElementById('link').textContent") == \
        f'Link: MIDI out "{SEQ_PORT}", in "{SEQ_PORT}", Very Fast'
    web.choose_file(update)
    wait_until(lambda: web.lines()[3] != " " and web.idle(), 300, "the update to end")
    assert web.lines()[3] == "Update Complete!", web.lines()
    sim.stop()
    assert sim.received() == update.read_bytes()
