// The serial port over Web Serial (link/serial_port_web.js) on stand-in ports:
// the COM list, the opens that fail, and the read stream byte by byte.
import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {loadLibraries} from './emscripten_library.mjs';

// A granted port whose reader delivers what the test pushes, or fails as told.
class StandInPort {
  constructor(info = {usbVendorId: 0x0403, usbProductId: 0x6001}) {
    this.info = info;
    this.refuse = null;
    this.stall = false;  // a writer that takes nothing
    this.written = [];
  }
  getInfo() { return this.info; }
  async open() {
    if (this.refuse) throw new DOMException(this.refuse, 'NetworkError');
    this.readable = new ReadableStream({start: (controller) => { this.input = controller; }});
    this.writable = new WritableStream({
      write: (bytes) => (this.stall ? new Promise(() => {}) : this.written.push(...bytes)),
    });
  }
  async close() {}
  push(...bytes) { this.input.enqueue(new Uint8Array(bytes)); }
  // A read error of the given kind; the stream starts again after the recoverable ones.
  fail(name) {
    this.input.error(new DOMException('read failed', name));
    this.readable = new ReadableStream({start: (controller) => { this.input = controller; }});
  }
}

function serialWith(ports, chooser = () => ports[0]) {
  const serial = new EventTarget();
  serial.getPorts = async () => ports.slice();
  serial.requestPort = async () => chooser();
  const loaded = loadLibraries(['engine/transfer_thread_web.js', 'support/strings_web.js', 'link/serial_port_web.js'],
                               {navigator: {serial}});
  return loaded;
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 0));

async function openLine(ports) {
  const loaded = serialWith(ports);
  const lib = loaded.library;
  await lib.xr_serial_refresh();
  const handle = await lib.xr_serial_open(1, 38400);
  assert.ok(handle > 0);
  // One byte: 1 with the byte at address 0, 0 after the time-out, -1 for a dead line.
  const read = async (ms = 5) => {
    const got = await lib.xr_serial_read_byte(handle, 0, ms);
    return got === 1 ? loaded.heap[0] : (got === 0 ? 'timeout' : 'failed');
  };
  return {lib, handle, read, heap: loaded.heap};
}

describe('the COM list', () => {
  test('holds the granted ports in order and describes each', async () => {
    const {library: lib, text} = serialWith([new StandInPort(), new StandInPort({})]);
    assert.equal(await lib.xr_serial_refresh(), 2);
    assert.equal(text(lib.xr_serial_describe(1)), 'USB 0403:6001');
    assert.equal(text(lib.xr_serial_describe(2)), 'serial port');
    assert.equal(lib.xr_serial_describe(3), 0);
  });

  test('a chooser the user cancels gives 0, a refused one -1, a chosen port its number', async () => {
    const ports = [new StandInPort()];
    const extra = new StandInPort();
    let answer = () => { throw new DOMException('none', 'NotFoundError'); };
    const {library: lib} = serialWith(ports, () => answer());
    await lib.xr_serial_refresh();
    assert.equal(await lib.xr_serial_request(), 0);
    answer = () => { throw new DOMException('no', 'SecurityError'); };
    assert.equal(await lib.xr_serial_request(), -1);
    answer = () => extra;
    assert.equal(await lib.xr_serial_request(), 2);
    answer = () => ports[0];
    assert.equal(await lib.xr_serial_request(), 1);
  });

  test('an open tells why it failed, and a later open clears it', async () => {
    const port = new StandInPort();
    const {library: lib, text} = serialWith([port]);
    await lib.xr_serial_refresh();
    assert.equal(await lib.xr_serial_open(3, 38400), -1);
    assert.deepEqual([lib.xr_serial_problem_kind(), lib.xr_serial_problem_port()], [1, 3]);
    port.refuse = 'Failed to open serial port.';
    assert.equal(await lib.xr_serial_open(1, 38400), -1);
    assert.deepEqual([lib.xr_serial_problem_kind(), lib.xr_serial_problem_port()], [2, 1]);
    assert.equal(text(lib.xr_serial_problem_message()), 'Failed to open serial port.');
    port.refuse = null;
    assert.ok(await lib.xr_serial_open(1, 38400) > 0);
    assert.equal(lib.xr_serial_problem_kind(), 0);
  });
});

describe('the read stream', () => {
  test('gives the bytes of split deliveries one by one, in order', async () => {
    const port = new StandInPort();
    const {read} = await openLine([port]);
    port.push(1, 2);
    port.push(3);
    port.push();
    port.push(4, 5, 6);
    await settle();
    assert.deepEqual([await read(), await read(), await read(), await read(), await read(), await read()],
                     [1, 2, 3, 4, 5, 6]);
    assert.equal(await read(), 'timeout');
  });

  test('a waiting read takes the byte that comes during its wait', async () => {
    const port = new StandInPort();
    const {read} = await openLine([port]);
    const waiting = read(1000);
    setTimeout(() => port.push(0x7f, 0x10), 5);
    assert.equal(await waiting, 0x7f);
    assert.equal(await read(), 0x10);
  });

  test('discarding counts and drops everything delivered, however it was split', async () => {
    const port = new StandInPort();
    const {lib, handle, read} = await openLine([port]);
    port.push(...new Array(300).fill(0xf7));
    port.push(9, 9);
    await settle();
    assert.equal(await read(), 0xf7);
    assert.equal(lib.xr_serial_discard(handle), 301);
    assert.equal(await read(), 'timeout');
    port.push(42);
    await settle();
    assert.equal(await read(), 42);
  });

  test('a framing error costs only its bytes; a lost device fails every read', async () => {
    const port = new StandInPort();
    const {lib, handle, read} = await openLine([port]);
    port.fail('FramingError');
    await settle();
    await settle();
    port.push(5);
    await settle();
    assert.equal(await read(), 5);
    assert.equal(lib.xr_serial_is_open(handle), 1);
    port.fail('NetworkError');
    await settle();
    assert.equal(await read(), 'failed');
    assert.equal(lib.xr_serial_is_open(handle), 0);
  });

  test('a write goes out whole; a port that takes none fails it after its time-out', async () => {
    const port = new StandInPort();
    const loaded = await openLine([port]);
    loaded.heap.set([0xf0, 0x41, 0xf7], 100);
    assert.equal(await loaded.lib.xr_serial_write(loaded.handle, 100, 3, 1000), 1);
    assert.deepEqual(port.written, [0xf0, 0x41, 0xf7]);

    const stalled = new StandInPort();
    stalled.stall = true;
    const other = await openLine([stalled]);
    assert.equal(await other.lib.xr_serial_write(other.handle, 100, 3, 20), 0);
    assert.equal(await other.lib.xr_serial_write(other.handle, 100, 3, 1000), 0);  // stuck: at once
  });
});
