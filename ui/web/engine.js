// The engine in WebAssembly (xrupdate.js, xrupdate.wasm) and the page's way of
// calling it: its xr_web_* functions, and nothing else of it. Calls that may
// wait (they open devices, read the file, show a message, ask the browser for
// devices, or run the transfer) go one at a time, in order; the others return
// at once and may be made while one of those waits.

// The MIDI access by the engine's number for it.
const midiStates = ['unasked', 'granted', 'refused', 'unavailable'];

export async function loadEngine(page) {
  const { default: createXrEngine } = await import('./xrupdate.js');
  const engine = new Engine();
  // The engine calls the page's handlers, and this one for the timers.
  const handlers = Object.assign({}, page, {timer: (id) => engine.fired(id)});
  engine.module = await createXrEngine({
    page: handlers,
    // The transfer's task runs once the call that started it has returned.
    onTransferTask: () => { engine.wait('xr_transfer_task'); },
  });
  return engine;
}

class Engine {
  constructor() {
    this.module = null;
    this.queue = Promise.resolve();
    this.timers = new Map();  // id -> what it calls
  }

  // An engine call that may wait; resolves with its number.
  wait(name, ...args) {
    const types = args.map((a) => (typeof a === 'string' ? 'string' : 'number'));
    const call = this.queue.then(() => this.module.ccall(name, 'number', types, args, {async: true}));
    this.queue = call.catch(() => {});
    return call;
  }

  // An engine call that returns at once (numbers in, a number out). Called
  // straight, not through ccall, which takes any call made while another
  // waits for a part of the waiting one.
  now(name, ...args) { return this.module['_' + name](...args); }

  // One that returns text.
  text(name, ...args) { return this.module.UTF8ToString(this.now(name, ...args)); }

  // One that returns JSON.
  json(name, ...args) { return JSON.parse(this.text(name, ...args)); }

  // The support log's bytes as the file holds them.
  logBytes() {
    const size = this.now('xr_web_log_size');
    const at = this.now('xr_web_log_text', 0);
    return this.module.HEAPU8.slice(at, at + size);
  }

  midiState() { return midiStates[this.now('xr_web_midi_state')] || 'unasked'; }
  async midiRequest() { return midiStates[await this.wait('xr_web_midi_request')] || 'unasked'; }

  // Calls fn every ms milliseconds on the engine's clock, which keeps its pace
  // in a background tab, until the returned function is called.
  every(ms, fn) {
    const id = this.now('xr_web_timer_start', ms, 1);
    this.timers.set(id, fn);
    return () => {
      this.timers.delete(id);
      this.now('xr_web_timer_stop', id);
    };
  }

  // A promise that resolves after ms milliseconds, on the same clock.
  delay(ms) {
    return new Promise((resolve) => {
      const id = this.now('xr_web_timer_start', ms, 0);
      this.timers.set(id, () => {
        this.timers.delete(id);
        resolve();
      });
    });
  }

  fired(id) {
    const fn = this.timers.get(id);
    if (fn !== undefined) fn();
  }
}
