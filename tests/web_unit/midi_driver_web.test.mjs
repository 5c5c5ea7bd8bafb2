// Web MIDI under the MIDI driver (link/midi_driver_web.js) on stand-in devices:
// the access asked for once, the names, the sends, and input events of any length.
import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {loadLibraries} from './emscripten_library.mjs';

function midiWith(access, engine = {}) {
  const navigator = {requestMIDIAccess: async () => {
    if (access instanceof Error) throw access;
    return access;
  }};
  return loadLibraries(['engine/transfer_thread_web.js', 'link/midi_driver_web.js'], {navigator, Module: engine});
}

const device = (name, extra = {}) => ({name, state: 'connected', ...extra});
const access = (outputs, inputs) => ({outputs: new Map(outputs.entries()), inputs: new Map(inputs.entries())});

describe('the access', () => {
  test('is asked for once; a refusal is kept', async () => {
    let asked = 0;
    const refused = loadLibraries(['engine/transfer_thread_web.js', 'link/midi_driver_web.js'], {
      navigator: {requestMIDIAccess: async () => {
        ++asked;
        throw new DOMException('no sysex', 'SecurityError');
      }},
    });
    assert.equal(refused.library.xr_midi_state(), 0);
    assert.equal(await refused.library.xr_midi_request(), 2);
    assert.equal(refused.library.xr_midi_state(), 2);
    assert.equal(refused.library.xr_midi_count(1), 0);
    assert.equal(asked, 1);

    const granted = midiWith(access([device('Out A')], [device('In A'), device('In B')]));
    assert.equal(await granted.library.xr_midi_request(), 1);
    assert.equal(await granted.library.xr_midi_request(), 1);
    assert.deepEqual([granted.library.xr_midi_count(1), granted.library.xr_midi_count(0)], [1, 2]);
  });

  test('no Web MIDI is its own state', async () => {
    const none = loadLibraries(['engine/transfer_thread_web.js', 'link/midi_driver_web.js'], {navigator: {}});
    assert.equal(none.library.xr_midi_available(), 0);
    assert.equal(await none.library.xr_midi_request(), 3);
  });

  test('a device that comes or goes is told to the page', async () => {
    let told = 0;
    const devices = access([device('Out')], [device('In')]);
    const midi = midiWith(devices, {page: {devicesChanged: () => { ++told; }}});
    await midi.library.xr_midi_request();
    devices.onstatechange();
    assert.equal(told, 1);
  });
});

describe('names and sends', () => {
  test('a long name is cut to the room, never inside a character', async () => {
    const midi = midiWith(access([device('Ünïcödé MIDI')], []));
    await midi.library.xr_midi_request();
    assert.equal(midi.library.xr_midi_name(1, 0, 200, 64), 0);
    assert.equal(midi.text(200), 'Ünïcödé MIDI');
    assert.equal(midi.library.xr_midi_name(1, 0, 200, 5), 0);  // four bytes of room: "Ün" and half of "ï"
    assert.equal(midi.text(200), 'Ün');
    assert.equal(midi.library.xr_midi_name(1, 5, 200, 64), 2);
  });

  test('a send the browser refuses tells whether the device is gone', async () => {
    const sent = [];
    let fault = null;
    const out = device('Out', {send: (bytes) => {
      if (fault) throw new DOMException('x', fault);
      sent.push(Array.from(bytes));
    }});
    const midi = midiWith(access([out], []));
    await midi.library.xr_midi_request();
    midi.heap.set([0xf0, 0x7e, 0xf7], 300);
    assert.equal(midi.library.xr_midi_send(0, 300, 3), 0);
    assert.deepEqual(sent, [[0xf0, 0x7e, 0xf7]]);
    fault = 'InvalidStateError';
    assert.equal(midi.library.xr_midi_send(0, 300, 3), 6);
    fault = 'TypeError';
    assert.equal(midi.library.xr_midi_send(0, 300, 3), 11);
    assert.equal(midi.library.xr_midi_send(3, 300, 3), 6);
  });
});

describe('input events', () => {
  test('an event longer than the room goes on in pieces, in order, each reported', async () => {
    const input = device('In');
    const pieces = [];
    const engine = {
      _xr_midi_input_room: () => 4,
      _xr_midi_input_buffer: () => 500,
      _xr_midi_input: (tag, count) => pieces.push([tag, Array.from(midi.heap.subarray(500, 500 + count))]),
    };
    const midi = midiWith(access([], [input]), engine);
    await midi.library.xr_midi_request();
    midi.library.xr_midi_listen(0, 7);
    input.onmidimessage({data: new Uint8Array([0xf0, 1, 2, 3, 4, 5, 6, 7, 8, 0xf7])});
    input.onmidimessage({data: new Uint8Array([0xfe])});
    assert.deepEqual(pieces, [[7, [0xf0, 1, 2, 3]], [7, [4, 5, 6, 7]], [7, [8, 0xf7]], [7, [0xfe]]]);
  });

  test('a wait ends at its wake-up, or at its time', async () => {
    const midi = midiWith(access([], []));
    // The wait's sleep, as the engine would resume from it.
    const sleeps = [];
    const sleep = midi.context.Asyncify.handleSleep;
    midi.context.Asyncify.handleSleep = (start) => {
      const resumed = sleep(start);
      sleeps.push(resumed);
      return resumed;
    };
    midi.library.xr_midi_wait(-1);
    midi.library.xr_midi_wake();
    assert.equal(await sleeps[0], 0);
    const started = performance.now();
    midi.library.xr_midi_wait(30);
    await sleeps[1];
    assert.ok(performance.now() - started >= 29);
  });
});
