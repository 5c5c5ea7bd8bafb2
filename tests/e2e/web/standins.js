// Test-only stand-ins for Web Serial and Web MIDI, installed before the page's
// own scripts (CDP Page.addScriptToEvaluateOnNewDocument) with the test's
// settings in window.__xrStandInConfig. Every device is backed by the
// simulated instrument (sim/ compiled to WebAssembly, served at
// /test/xrsim_web.js) with xrsim's options, so a fault is asked for exactly as
// with xrsim on a pseudo-terminal. They keep the browser's promises that the
// page relies on: Web Serial's streams, locks and errors, Web MIDI's ports,
// states and its refusal of anything but whole messages.
//
// Settings (all optional):
//   serial: [{options: [xrsim options], info: {usbVendorId, usbProductId},
//             granted: true, busy: false}]   the ports, granted or not yet
//   chooser: 'cancel' | 'deny' | n            what requestPort() does (n: grant port n)
//   midi: {permission: 'granted' | 'prompt' | 'denied', devices: [{name, options}]}
//         each device is an output and an input of the same name
//   remove: ['serial', 'midi']                take the APIs away
//   timeScale: k                              the page's clock runs k times as fast
// The tests reach them through window.__xrStandIn.
(() => {
  // The browser offers neither API to a page that is not a secure context.
  if (!/^https?:$/.test(window.location.protocol) || !window.isSecureContext) return;
  const config = window.__xrStandInConfig || {};
  const realNow = performance.now.bind(performance);

  // ---- the clock

  const scale = config.timeScale || 1;
  if (scale !== 1) {
    const start = realNow();
    const setT = window.setTimeout.bind(window);
    const setI = window.setInterval.bind(window);
    performance.now = () => start + (realNow() - start) * scale;
    window.setTimeout = (fn, ms, ...rest) => setT(fn, (ms || 0) / scale, ...rest);
    window.setInterval = (fn, ms, ...rest) => setI(fn, (ms || 0) / scale, ...rest);
    const RealWorker = window.Worker;
    // A worker's timers and its clock run as fast as the page's.
    window.Worker = function(url, options) {
      const boot = `const k=${scale};const s=self.setTimeout.bind(self);` +
                   `const n=performance.now.bind(performance);const n0=n();performance.now=()=>n0+(n()-n0)*k;` +
                   `self.setTimeout=(f,ms,...r)=>s(f,(ms||0)/k,...r);importScripts(${JSON.stringify(String(url))});`;
      return new RealWorker(URL.createObjectURL(new Blob([boot], {type: 'text/javascript'})), options);
    };
  }
  const now = () => performance.now();
  // What is due now runs as a task of its own, as a device's event does; the
  // page's timers would hold it back 4 ms once their calls nest.
  const soon = new MessageChannel();
  const due = [];
  soon.port1.onmessage = () => { const fn = due.shift(); if (fn) fn(); };
  const later = (ms, fn) => {
    if (ms > 0) return window.setTimeout(fn, ms);
    due.push(fn);
    soon.port2.postMessage(0);
    return 0;
  };

  // ---- the simulated instruments

  const simModule = import(new URL('/test/xrsim_web.js', window.location.href).href).then((m) => m.default);

  class Instrument {
    constructor(options) {
      this.options = options || [];
      this.ready = simModule.then((create) => create()).then((sim) => {
        this.sim = sim;
        const text = this.options.join('\n');
        const size = sim.lengthBytesUTF8(text) + 1;
        const at = sim._malloc(size);
        sim.stringToUTF8(text, at, size);
        const ok = sim._xrsim_configure(at);
        sim._free(at);
        if (!ok) throw new Error('bad xrsim option: ' + sim.UTF8ToString(sim._xrsim_error()));
        this.byteUs = sim._xrsim_byte_time_us();
      });
    }

    // Feeds bytes; returns the instrument's actions [{close, delayUs, perByteUs, bytes}].
    feed(bytes) {
      const sim = this.sim;
      const at = sim._malloc(bytes.length);
      sim.HEAPU8.set(bytes, at);
      const sizeAt = sim._malloc(4);
      const out = sim._xrsim_feed(at, bytes.length, sizeAt);
      const size = sim.HEAP32[sizeAt >> 2];
      const data = sim.HEAPU8.slice(out, out + size);
      sim._free(at);
      sim._free(sizeAt);
      const view = new DataView(data.buffer);
      const actions = [];
      for (let p = 0; p + 16 <= data.length;) {
        const count = view.getUint32(p + 12, true);
        actions.push({close: view.getUint32(p, true) === 1, delayUs: view.getUint32(p + 4, true),
                      perByteUs: view.getUint32(p + 8, true), bytes: data.slice(p + 16, p + 16 + count)});
        p += 16 + count;
      }
      return actions;
    }

    record() { return JSON.parse(this.sim.UTF8ToString(this.sim._xrsim_record())); }

    image() {
      const sim = this.sim;
      const sizeAt = sim._malloc(4);
      const at = sim._xrsim_image(sizeAt);
      const size = sim.HEAP32[sizeAt >> 2];
      sim._free(sizeAt);
      let text = '';
      for (let i = 0; i < size; i += 8192) {
        text += String.fromCharCode.apply(null, sim.HEAPU8.subarray(at + i, at + Math.min(size, i + 8192)));
      }
      return btoa(text);
    }

    // Carries out actions from time `from` on: deliver(bytes) for each byte
    // group as it would arrive, close() for a closed line. What is due goes
    // out in order, one item after the other.
    perform(actions, from, deliver, close) {
      let at = from;
      const due = [];
      for (const action of actions) {
        at += action.delayUs / 1000;
        if (action.close) {
          due.push({at, run: close});
          break;
        }
        if (action.perByteUs > 0) {
          for (const byte of action.bytes) {
            at += action.perByteUs / 1000;
            due.push({at, run: () => deliver(new Uint8Array([byte]))});
          }
        } else {
          const bytes = action.bytes;
          due.push({at, run: () => deliver(bytes)});
        }
      }
      const next = () => {
        const item = due.shift();
        if (item === undefined) return;
        later(item.at - now(), () => {
          item.run();
          next();
        });
      };
      next();
    }
  }

  const lost = () => new DOMException('The device has been lost.', 'NetworkError');

  // ---- Web Serial

  class FakeSerialPort extends EventTarget {
    constructor(settings) {
      super();
      this.settings = settings;
      this.instrument = new Instrument(settings.options);
      this.granted = settings.granted !== false;
      this.connected = true;
      this.isOpen = false;
      this.readable = null;
      this.writable = null;
      this.writes = [];   // {t, length} of every write
      this.replies = [];  // when each answer's last byte was handed to the page
      this.opens = [];    // the options of every open
      this.lineFree = 0;  // when the line has carried what was written
      this.closed = false;  // the instrument closed the line
    }

    getInfo() { return this.settings.info || {usbVendorId: 0x0403, usbProductId: 0x6001}; }

    async open(options) {
      await this.instrument.ready;
      if (this.isOpen) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (!this.connected || this.settings.busy || this.closed) {
        throw new DOMException('Failed to open serial port.', 'NetworkError');
      }
      if (!options || !(options.baudRate > 0)) throw new TypeError('baudRate is required');
      this.opens.push(Object.assign({}, options));
      this.isOpen = true;
      const port = this;
      this.readable = new ReadableStream({
        start(controller) { port.reader = controller; },
        cancel() { port.reader = null; },
      });
      this.writable = new WritableStream({
        write(chunk) { return port.carry(new Uint8Array(chunk)); },
      });
    }

    // The line carries the bytes to the instrument, which answers.
    carry(bytes) {
      if (!this.connected || this.closed) return Promise.reject(lost());
      this.writes.push({t: now(), length: bytes.length});
      const byteMs = this.instrument.byteUs / 1000;
      const arrived = Math.max(now(), this.lineFree) + bytes.length * byteMs;
      this.lineFree = arrived;
      return new Promise((resolve, reject) => {
        later(arrived - now(), () => {
          if (!this.connected) {
            reject(lost());
            return;
          }
          const actions = this.instrument.feed(bytes);
          this.instrument.perform(actions, now(), (reply) => this.deliver(reply), () => this.lineClosed());
          resolve();
        });
      });
    }

    deliver(bytes) {
      if (this.reader && this.connected && !this.closed) this.reader.enqueue(bytes);
      if (bytes.length > 0 && bytes[bytes.length - 1] === 0xF7) this.replies.push(now());
    }

    // The instrument closed the line: to the page, as a device that was lost.
    lineClosed() {
      this.closed = true;
      this.fail();
    }

    fail() {
      try { if (this.reader) this.reader.error(lost()); } catch (e) { /* done */ }
      this.reader = null;
      try { if (this.writable && !this.writable.locked) this.writable.abort(lost()); } catch (e) { /* done */ }
    }

    async close() {
      if (!this.isOpen) throw new DOMException('The port is already closed.', 'InvalidStateError');
      if ((this.readable && this.readable.locked) || (this.writable && this.writable.locked)) {
        throw new TypeError('Cannot close a port whose streams are locked.');
      }
      try { if (this.reader) this.reader.close(); } catch (e) { /* errored */ }
      this.reader = null;
      this.readable = null;
      this.writable = null;
      this.isOpen = false;
    }

    async forget() { this.granted = false; }

    unplug() {
      this.connected = false;
      this.fail();
      serial.dispatchEvent(new Event('disconnect'));
    }
  }

  const serialPorts = (config.serial || []).map((settings) => new FakeSerialPort(settings));

  class FakeSerial extends EventTarget {
    async getPorts() { return serialPorts.filter((p) => p.granted && p.connected); }

    async requestPort() {
      const choice = config.chooser === undefined ? 'cancel' : config.chooser;
      if (choice === 'deny') throw new DOMException('Access to the feature "serial" is disallowed.', 'SecurityError');
      const port = serialPorts[choice];
      if (typeof choice !== 'number' || port === undefined) {
        throw new DOMException('No port selected by the user.', 'NotFoundError');
      }
      port.granted = true;
      return port;
    }
  }
  const serial = new FakeSerial();

  // ---- Web MIDI

  // What Web MIDI accepts in one send: whole messages only.
  function wholeMessages(data) {
    let i = 0;
    while (i < data.length) {
      const status = data[i];
      if (status < 0x80) throw new TypeError(`Running status is not allowed at index ${i} (${status}).`);
      if (status >= 0xF8) { i += 1; continue; }
      if (status === 0xF0) {
        let j = i + 1;
        while (j < data.length && data[j] !== 0xF7) {
          if (data[j] >= 0x80 && data[j] < 0xF8) throw new TypeError(`Unexpected status byte at index ${j} (${data[j]}).`);
          j += 1;
        }
        if (j >= data.length) throw new TypeError('Message is incomplete.');
        i = j + 1;
        continue;
      }
      if (status === 0xF7) throw new TypeError(`Unexpected end of system exclusive message at index ${i} (${status}).`);
      const lengths = {0x8: 3, 0x9: 3, 0xA: 3, 0xB: 3, 0xC: 2, 0xD: 2, 0xE: 3};
      const length = status < 0xF0 ? lengths[status >> 4] : ({0xF1: 2, 0xF2: 3, 0xF3: 2, 0xF6: 1})[status];
      if (length === undefined) throw new TypeError(`Reserved status is not allowed at index ${i} (${status}).`);
      if (i + length > data.length) throw new TypeError('Message is incomplete.');
      i += length;
    }
  }

  // A reply's bytes as the browser hands them on: each message whole.
  function splitMessages(bytes) {
    const out = [];
    let i = 0;
    while (i < bytes.length) {
      if (bytes[i] === 0xF0) {
        let j = i + 1;
        while (j < bytes.length && bytes[j] !== 0xF7) ++j;
        out.push(bytes.slice(i, Math.min(bytes.length, j + 1)));
        i = j + 1;
      } else {
        out.push(bytes.slice(i, i + 1));
        i += 1;
      }
    }
    return out;
  }

  const midiSettings = config.midi || {permission: 'granted', devices: []};
  let access = null;

  class FakeMidiPort extends EventTarget {
    constructor(type, index, settings, instrument) {
      super();
      this.type = type;
      this.id = `${type}-${index}`;
      this.name = settings.name;
      this.manufacturer = settings.manufacturer || '';
      this.version = '1.0';
      this.state = 'connected';
      this.connection = 'closed';
      this.instrument = instrument;
      this.sends = [];  // output: {t, length, head} of every send
      this.replies = [];  // input: when each answer was handed to the page
      this.onmidimessage = null;
      this.onstatechange = null;
    }

    async open() {
      if (this.state !== 'connected') throw new DOMException('The port is not connected.', 'InvalidAccessError');
      this.connection = 'open';
      return this;
    }

    async close() {
      this.connection = 'closed';
      return this;
    }

    send(data) {
      if (this.state !== 'connected') throw new DOMException('The port is disconnected.', 'InvalidStateError');
      const bytes = new Uint8Array(data);
      wholeMessages(bytes);
      if (!access.sysexEnabled && bytes.includes(0xF0)) {
        throw new DOMException('System exclusive message is not allowed.', 'InvalidAccessError');
      }
      this.connection = 'open';
      this.sends.push({t: now(), length: bytes.length, head: Array.from(bytes.slice(0, 7))});
      const input = this.partner;
      const actions = this.instrument.feed(bytes);
      this.instrument.perform(actions, now(), (reply) => {
        if (input.state !== 'connected') return;
        input.replies.push(now());
        for (const message of splitMessages(reply)) {
          if (typeof input.onmidimessage === 'function') {
            input.onmidimessage({data: message, timeStamp: now(), target: input});
          }
        }
      }, () => {});
    }
  }

  const midiDevices = (midiSettings.devices || []).map((settings, index) => {
    const instrument = new Instrument(settings.options);
    const output = new FakeMidiPort('output', index, settings, instrument);
    const input = new FakeMidiPort('input', index, settings, instrument);
    output.partner = input;
    return {output, input, instrument};
  });

  async function requestMIDIAccess(options) {
    await Promise.all(midiDevices.map((d) => d.instrument.ready));
    if (midiSettings.permission === 'denied') {
      throw new DOMException('Permission denied.', 'NotAllowedError');
    }
    if (access === null) {
      access = new EventTarget();
      access.sysexEnabled = !!(options && options.sysex);
      access.inputs = new Map(midiDevices.map((d) => [d.input.id, d.input]));
      access.outputs = new Map(midiDevices.map((d) => [d.output.id, d.output]));
      access.onstatechange = null;
    }
    return access;
  }

  function unplugMidi(index) {
    const device = midiDevices[index];
    for (const port of [device.output, device.input]) {
      port.state = 'disconnected';
      if (access && typeof access.onstatechange === 'function') access.onstatechange({port});
    }
  }

  // ---- installing them

  const remove = config.remove || [];
  if (remove.includes('serial')) {
    delete Navigator.prototype.serial;
  } else {
    Object.defineProperty(Navigator.prototype, 'serial', {get: () => serial, configurable: true});
  }
  if (remove.includes('midi')) {
    delete Navigator.prototype.requestMIDIAccess;
  } else {
    Navigator.prototype.requestMIDIAccess = requestMIDIAccess;
    const query = navigator.permissions.query.bind(navigator.permissions);
    navigator.permissions.query = (descriptor) => {
      if (descriptor && descriptor.name === 'midi') {
        const state = midiSettings.permission === 'granted' ? 'granted'
                      : midiSettings.permission === 'denied' ? 'denied' : 'prompt';
        return Promise.resolve({state, onchange: null});
      }
      return query(descriptor);
    };
  }

  // ---- what the tests see

  window.__xrStandIn = {
    serial: serialPorts,
    midi: midiDevices,
    record: (kind, i) => (kind === 'serial' ? serialPorts[i] : midiDevices[i]).instrument.record(),
    image: (kind, i) => (kind === 'serial' ? serialPorts[i] : midiDevices[i]).instrument.image(),
    writes: (i) => serialPorts[i].writes,
    replies: (i) => serialPorts[i].replies,
    sends: (i) => midiDevices[i].output.sends,
    midiReplies: (i) => midiDevices[i].input.replies,
    opens: (i) => serialPorts[i].opens,
    unplug: (kind, i) => (kind === 'serial' ? serialPorts[i].unplug() : unplugMidi(i)),
    now,
  };
})();
