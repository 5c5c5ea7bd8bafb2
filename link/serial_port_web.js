// Web Serial under the serial link. COMn is the n-th port the user granted the
// page: the list starts with the ports granted earlier (navigator.serial.getPorts())
// and grows at the end as the user grants more, so a COM number keeps naming the
// same port for as long as the page is open.
//
// A read takes one byte from what the port's reader has delivered, or waits
// for the next bytes up to its time-out. The port's reader runs for as long as
// the port is open. A break, framing, parity or overrun error only costs the
// bytes it spoiled; any other read error (the device was lost) fails every
// read from then on, as a hang-up does on the other platforms.
mergeInto(LibraryManager.library, {
  $XrSerial__deps: ['$XrTimer'],
  $XrSerial: {
    ports: [],
    lines: null,    // handle -> open line
    closing: null,  // SerialPort -> the promise of its close
    nextHandle: 1,
    // Why the last open failed: {port: n, kind: 1 (no port granted as COMn)
    // or 2 (the browser refused to open it), message}; null after one opened.
    problem: null,

    available: function() { return typeof navigator !== 'undefined' && 'serial' in navigator; },

    // The ports granted earlier, added at the end of the list.
    refresh: async function() {
      if (!XrSerial.available()) return XrSerial.ports;
      try {
        for (const port of await navigator.serial.getPorts()) {
          if (!XrSerial.ports.includes(port)) XrSerial.ports.push(port);
        }
      } catch (e) {
        // a page without the permission to ask keeps the list it has
      }
      return XrSerial.ports;
    },

    // Asks the user for a port (the browser's chooser); its COM number, 0 when
    // the user chose none, -1 when the browser refused. Must run in answer to a click.
    request: async function() {
      let port;
      try {
        port = await navigator.serial.requestPort();
      } catch (e) {
        return (e && e.name === 'NotFoundError') ? 0 : -1;
      }
      if (!XrSerial.ports.includes(port)) XrSerial.ports.push(port);
      await XrSerial.refresh();
      return XrSerial.ports.indexOf(port) + 1;
    },

    // A granted port plugged in joins the list; the page shows it.
    watch: function() {
      if (!XrSerial.available()) return;
      navigator.serial.addEventListener('connect', () => {
        XrSerial.refresh().then(() => {
          const page = Module['page'];
          if (page && page.portsChanged) page.portsChanged();
        });
      });
    },

    // What the browser tells of COMn's port: "USB 0403:6001", or "" for none.
    describe: function(n) {
      const port = XrSerial.ports[n - 1];
      if (port === undefined) return '';
      let info = {};
      try { info = port.getInfo() || {}; } catch (e) { info = {}; }
      const hex = (v) => v.toString(16).padStart(4, '0');
      if (typeof info.usbVendorId === 'number' && typeof info.usbProductId === 'number') {
        return 'USB ' + hex(info.usbVendorId) + ':' + hex(info.usbProductId);
      }
      if (info.bluetoothServiceClassId !== undefined) return 'Bluetooth';
      return 'serial port';
    },

    settle: function(port) {
      const closing = XrSerial.closing.get(port);
      return closing === undefined ? Promise.resolve() : Promise.race([closing, XrTimer.delay(2000)]);
    },

    openLine: async function(n, baud) {
      const port = XrSerial.ports[n - 1];
      if (port === undefined) {
        XrSerial.problem = {port: n, kind: 1, message: ''};
        return null;
      }
      await XrSerial.settle(port);
      try {
        await port.open({baudRate: baud, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none'});
      } catch (e) {
        XrSerial.problem = {port: n, kind: 2, message: String((e && e.message) || e)};
        return null;
      }
      XrSerial.problem = null;
      const line = {port: port, baud: baud, chunks: [], failed: false, closed: false,
                    stuck: false, waiter: null, reader: null, writer: null, pumped: null};
      try {
        line.writer = port.writable.getWriter();
      } catch (e) {
        line.failed = true;
      }
      line.pumped = XrSerial.pump(line);
      return line;
    },

    pump: async function(line) {
      const recoverable = ['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'];
      while (!line.closed && !line.failed) {
        const readable = line.port.readable;
        if (readable === null || readable === undefined) {
          line.failed = true;
          break;
        }
        let reader;
        try {
          reader = readable.getReader();
        } catch (e) {
          line.failed = true;
          break;
        }
        line.reader = reader;
        try {
          for (;;) {
            const result = await reader.read();
            if (result.done) break;
            if (result.value && result.value.length > 0) {
              line.chunks.push(result.value);
              if (line.waiter) line.waiter();
            }
          }
        } catch (e) {
          if (!recoverable.includes(e && e.name)) line.failed = true;
        } finally {
          line.reader = null;
          try { reader.releaseLock(); } catch (e) { /* already released */ }
        }
      }
      if (line.waiter) line.waiter();
    },

    // The next byte that came in: 0..255, -1 when the line failed or closed,
    // null when none is there yet.
    take: function(line) {
      while (line.chunks.length > 0) {
        const chunk = line.chunks[0];
        if (chunk.length === 0) {
          line.chunks.shift();
          continue;
        }
        const byte = chunk[0];
        if (chunk.length === 1) line.chunks.shift(); else line.chunks[0] = chunk.subarray(1);
        return byte;
      }
      return (line.failed || line.closed) ? -1 : null;
    },

    closeLine: async function(line) {
      line.closed = true;
      if (line.waiter) Promise.resolve().then(() => { if (line.waiter) line.waiter(); });
      try { if (line.reader) await line.reader.cancel(); } catch (e) { /* gone already */ }
      try { await Promise.race([line.pumped, XrTimer.delay(1000)]); } catch (e) { /* ended */ }
      if (line.writer !== null) {
        // Every write of the link was waited for: nothing is left to send.
        try { await Promise.race([line.writer.abort(), XrTimer.delay(1000)]); } catch (e) { /* errored */ }
        try { line.writer.releaseLock(); } catch (e) { /* released */ }
      }
      try { await line.port.close(); } catch (e) { /* closed, or the device is gone */ }
    },
  },
  $XrSerial__postset: 'XrSerial.lines = new Map(); XrSerial.closing = new Map(); XrSerial.watch();',

  // What the page asks (ui/web/page_devices_web.cpp).
  xr_serial_available__deps: ['$XrSerial'],
  xr_serial_available: function() { return XrSerial.available() ? 1 : 0; },

  xr_serial_refresh__deps: ['$XrSerial'],
  xr_serial_refresh: function() {
    return Asyncify.handleAsync(async () => (await XrSerial.refresh()).length);
  },

  xr_serial_request__deps: ['$XrSerial'],
  xr_serial_request: function() { return Asyncify.handleAsync(() => XrSerial.request()); },

  xr_serial_describe__deps: ['$XrSerial', '$XrMadeText'],
  xr_serial_describe: function(n) { return XrMadeText(XrSerial.describe(n)); },

  xr_serial_problem_kind__deps: ['$XrSerial'],
  xr_serial_problem_kind: function() { return XrSerial.problem === null ? 0 : XrSerial.problem.kind; },

  xr_serial_problem_port__deps: ['$XrSerial'],
  xr_serial_problem_port: function() { return XrSerial.problem === null ? 0 : XrSerial.problem.port; },

  xr_serial_problem_message__deps: ['$XrSerial', '$XrMadeText'],
  xr_serial_problem_message: function() {
    return XrMadeText(XrSerial.problem === null ? '' : XrSerial.problem.message);
  },

  xr_serial_open__deps: ['$XrSerial'],
  xr_serial_open: function(n, baud) {
    return Asyncify.handleAsync(async () => {
      const line = await XrSerial.openLine(n, baud);
      if (line === null) return -1;
      const handle = XrSerial.nextHandle++;
      XrSerial.lines.set(handle, line);
      return handle;
    });
  },

  xr_serial_is_open__deps: ['$XrSerial'],
  xr_serial_is_open: function(handle) {
    const line = XrSerial.lines.get(handle);
    return line !== undefined && !line.failed ? 1 : 0;
  },

  // Web Serial sets the speed when it opens a port: another speed reopens it.
  xr_serial_set_baud__deps: ['$XrSerial'],
  xr_serial_set_baud: function(handle, baud) {
    const line = XrSerial.lines.get(handle);
    return Asyncify.handleAsync(async () => {
      if (line === undefined || line.failed) return 0;
      if (line.baud === baud) return 1;
      const n = XrSerial.ports.indexOf(line.port) + 1;
      XrSerial.lines.delete(handle);
      await XrSerial.closeLine(line);
      const again = await XrSerial.openLine(n, baud);
      if (again === null) return 0;
      XrSerial.lines.set(handle, again);
      return 1;
    });
  },

  xr_serial_write__deps: ['$XrSerial', '$XrTimer'],
  xr_serial_write: function(handle, data, length, timeout) {
    const line = XrSerial.lines.get(handle);
    const bytes = HEAPU8.slice(data, data + length);
    return Asyncify.handleAsync(async () => {
      if (line === undefined || line.failed || line.closed || line.writer === null || line.stuck) return 0;
      let timer = 0;
      const late = new Promise((resolve) => { timer = XrTimer.after(timeout, () => resolve('late')); });
      try {
        const how = await Promise.race([line.writer.write(bytes).then(() => 'written'), late]);
        XrTimer.cancel(timer);
        if (how !== 'written') line.stuck = true;
        return how === 'written' ? 1 : 0;
      } catch (e) {
        XrTimer.cancel(timer);
        return 0;
      }
    });
  },

  xr_serial_read_byte__deps: ['$XrSerial', '$XrTimer'],
  xr_serial_read_byte: function(handle, out, timeout) {
    const line = XrSerial.lines.get(handle);
    return Asyncify.handleSleep((wakeUp) => {
      if (line === undefined) {
        wakeUp(-1);
        return;
      }
      const now = XrSerial.take(line);
      if (now !== null) {
        if (now >= 0) HEAPU8[out] = now;
        wakeUp(now >= 0 ? 1 : -1);
        return;
      }
      const timer = XrTimer.after(timeout, () => {
        line.waiter = null;
        wakeUp(0);
      });
      line.waiter = () => {
        const byte = XrSerial.take(line);
        if (byte === null) return;
        line.waiter = null;
        XrTimer.cancel(timer);
        if (byte >= 0) HEAPU8[out] = byte;
        wakeUp(byte >= 0 ? 1 : -1);
      };
    });
  },

  // Throws away what the reader has delivered and nobody has taken: the count.
  xr_serial_discard__deps: ['$XrSerial'],
  xr_serial_discard: function(handle) {
    const line = XrSerial.lines.get(handle);
    if (line === undefined) return -1;
    let count = 0;
    for (const chunk of line.chunks) count += chunk.length;
    line.chunks = [];
    return count;
  },

  xr_serial_close__deps: ['$XrSerial'],
  xr_serial_close: function(handle) {
    const line = XrSerial.lines.get(handle);
    if (line === undefined) return;
    XrSerial.lines.delete(handle);
    const done = XrSerial.closeLine(line);
    XrSerial.closing.set(line.port, done);
    done.then(() => {
      if (XrSerial.closing.get(line.port) === done) XrSerial.closing.delete(line.port);
    });
  },
});
