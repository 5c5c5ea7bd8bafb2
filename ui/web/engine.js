// The engine in WebAssembly (xrupdate.js, xrupdate.wasm) and the page's way of
// calling it. Calls that may wait (they open devices, read the file, show a
// message, or run the transfer) go one at a time, in order; the others return
// at once and may be made while one of those waits.

export async function loadEngine(page) {
  const { default: createXrEngine } = await import('./xrupdate.js');
  const engine = new Engine();
  engine.module = await createXrEngine({
    page,
    // The transfer's task runs once the call that started it has returned.
    onTransferTask: () => { engine.wait('xr_transfer_task'); },
  });
  return engine;
}

class Engine {
  constructor() {
    this.module = null;
    this.queue = Promise.resolve();
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

  // One that returns JSON.
  json(name, ...args) { return JSON.parse(this.module.UTF8ToString(this.now(name, ...args))); }

  get timer() { return this.module.XrTimer; }
  get serial() { return this.module.XrSerial; }
  get midi() { return this.module.XrMidi; }
  get files() { return this.module.XrFiles; }
  get log() { return this.module.XrLog; }
}
