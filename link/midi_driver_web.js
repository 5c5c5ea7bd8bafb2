// Web MIDI under the MIDI driver (link/midi_driver_web.cpp). The page asks for
// access with system-exclusive messages (requestMIDIAccess({sysex: true})),
// which the browser grants only after asking the user; a device id is a
// position in the browser's list of outputs or inputs.
mergeInto(LibraryManager.library, {
  $XrMidi__deps: ['$XrTimer'],
  $XrMidi: {
    access: null,
    // 'unasked', 'granted', 'refused' (the user or the browser said no) or
    // 'unavailable' (no Web MIDI in this browser).
    state: 'unasked',
    error: '',
    waiter: null,

    available: function() {
      return typeof navigator !== 'undefined' && typeof navigator.requestMIDIAccess === 'function';
    },

    // Asks for access once it is wanted; the browser may ask the user first.
    request: async function() {
      if (XrMidi.access !== null) return XrMidi.state;
      if (!XrMidi.available()) {
        XrMidi.state = 'unavailable';
        return XrMidi.state;
      }
      try {
        XrMidi.access = await navigator.requestMIDIAccess({sysex: true});
        XrMidi.state = 'granted';
        XrMidi.error = '';
        // A device came or went: the page shows the lists again.
        XrMidi.access.onstatechange = () => {
          const page = Module['page'];
          if (page && page.devicesChanged) page.devicesChanged();
        };
      } catch (e) {
        XrMidi.state = 'refused';
        XrMidi.error = String((e && e.name) || e);
      }
      return XrMidi.state;
    },

    list: function(output) {
      if (XrMidi.access === null) return [];
      return Array.from((output ? XrMidi.access.outputs : XrMidi.access.inputs).values());
    },
  },
  // What the page asks (ui/web/page_devices_web.cpp); the states by number.
  $XrMidiStates: ['unasked', 'granted', 'refused', 'unavailable'],

  xr_midi_available__deps: ['$XrMidi'],
  xr_midi_available: function() { return XrMidi.available() ? 1 : 0; },

  xr_midi_state__deps: ['$XrMidi', '$XrMidiStates'],
  xr_midi_state: function() { return XrMidiStates.indexOf(XrMidi.state); },

  xr_midi_request__deps: ['$XrMidi', '$XrMidiStates'],
  xr_midi_request: function() {
    return Asyncify.handleAsync(async () => XrMidiStates.indexOf(await XrMidi.request()));
  },

  xr_midi_count__deps: ['$XrMidi'],
  xr_midi_count: function(output) { return XrMidi.list(output).length; },

  // The device's name in at most size - 1 bytes of UTF-8, never cut inside a character.
  xr_midi_name__deps: ['$XrMidi'],
  xr_midi_name: function(output, id, out, size) {
    const port = XrMidi.list(output)[id];
    if (port === undefined) return 2;
    let name = String(port.name || '');
    while (lengthBytesUTF8(name) > size - 1) name = Array.from(name).slice(0, -1).join('');
    stringToUTF8(name, out, size);
    return 0;
  },

  xr_midi_connected__deps: ['$XrMidi'],
  xr_midi_connected: function(output, id) {
    const port = XrMidi.list(output)[id];
    return port !== undefined && port.state === 'connected' ? 1 : 0;
  },

  // 0 open; 2 no such device (or unplugged); 4 the browser would not open it.
  xr_midi_open__deps: ['$XrMidi'],
  xr_midi_open: function(output, id) {
    const port = XrMidi.list(output)[id];
    return Asyncify.handleAsync(async () => {
      if (port === undefined || port.state !== 'connected') return 2;
      try {
        await port.open();
      } catch (e) {
        return 4;
      }
      return port.state === 'connected' ? 0 : 2;
    });
  },

  xr_midi_close__deps: ['$XrMidi'],
  xr_midi_close: function(output, id) {
    const port = XrMidi.list(output)[id];
    if (port === undefined) return;
    if (!output) port.onmidimessage = null;
    port.close().catch(() => {});
  },

  // 0 sent; 6 the device is gone; 11 the browser refused the bytes.
  xr_midi_send__deps: ['$XrMidi'],
  xr_midi_send: function(id, data, length) {
    const port = XrMidi.list(1)[id];
    if (port === undefined) return 6;
    try {
      port.send(HEAPU8.slice(data, data + length));
      return 0;
    } catch (e) {
      return (e && e.name === 'InvalidStateError') ? 6 : 11;
    }
  },

  xr_midi_listen__deps: ['$XrMidi'],
  xr_midi_listen: function(id, tag) {
    const port = XrMidi.list(0)[id];
    if (port === undefined) return;
    port.onmidimessage = (event) => {
      const bytes = event.data;
      const room = Module['_xr_midi_input_room']();
      for (let at = 0; at < bytes.length; at += room) {
        const piece = bytes.subarray(at, Math.min(bytes.length, at + room));
        HEAPU8.set(piece, Module['_xr_midi_input_buffer']());
        Module['_xr_midi_input'](tag, piece.length);
      }
    };
  },

  // Yields until xr_midi_wake or ms milliseconds (-1: no limit).
  xr_midi_wait__deps: ['$XrMidi', '$XrTimer'],
  xr_midi_wait: function(ms) {
    Asyncify.handleSleep((wakeUp) => {
      let timer = 0;
      XrMidi.waiter = () => {
        XrMidi.waiter = null;
        XrTimer.cancel(timer);
        wakeUp(0);
      };
      if (ms >= 0) timer = XrTimer.after(ms, () => { if (XrMidi.waiter) XrMidi.waiter(); });
    });
  },

  // An event was set (maybe from inside an engine call): the wait resumes once
  // that call has returned.
  xr_midi_wake__deps: ['$XrMidi'],
  xr_midi_wake: function() {
    const waiter = XrMidi.waiter;
    if (waiter !== null) Promise.resolve().then(() => { if (XrMidi.waiter === waiter) waiter(); });
  },
});
