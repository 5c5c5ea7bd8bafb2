// The support log's copy in the browser (support/support_log_web.js): the
// entries decoded as they come, whatever bytes a piece ends on, and the stored
// copy kept to its size, cut at the start of a run.
import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {loadLibraries} from './emscripten_library.mjs';

function logWith(stored = {}) {
  const localStorage = {
    getItem: (key) => (key in stored ? stored[key] : null),
    setItem: (key, value) => { stored[key] = value; },
  };
  let told = 0;
  const loaded = loadLibraries(['support/strings_web.js', 'support/support_log_web.js'], {
    window: {localStorage}, addEventListener: () => {},
    Module: {page: {logChanged: () => { ++told; }}},
  });
  const bytes = [];
  // The stream so far at address 0, as the engine hands it over after each entry.
  const write = (text) => {
    bytes.push(...new TextEncoder().encode(text));
    loaded.heap.set(bytes, 0);
    loaded.library.xr_log_store(0, bytes.length);
  };
  const writeBytes = (more) => {
    bytes.push(...more);
    loaded.heap.set(bytes, 0);
    loaded.library.xr_log_store(0, bytes.length);
  };
  return {...loaded, stored, write, writeBytes, told: () => told, XrLog: loaded.context.XrLog};
}

describe('the support log in the browser', () => {
  test('each entry is decoded once, also a character split between two', () => {
    const log = logWith();
    log.write('** start\r\n');
    const kana = new TextEncoder().encode('転送\r\n');
    log.writeBytes(kana.subarray(0, 2));
    log.writeBytes(kana.subarray(2));
    assert.equal(log.XrLog.decoded, '** start\r\n転送\r\n');
    assert.equal(log.told(), 3);
  });

  test('the stored copy keeps the newest runs whole within its limit', () => {
    const log = logWith();
    log.XrLog.limit = 130;  // two runs of 62 fit, a third does not
    const run = (n) => `\r\n****************\r\n** run ${n}\r\n` + 'x'.repeat(30) + '\r\n';
    for (let n = 1; n <= 4; ++n) log.write(run(n));
    log.XrLog.save();
    const kept = log.stored['vup_log.txt'];
    assert.equal(kept, run(3) + run(4));
  });

  test('the copy kept from an earlier visit is handed to the engine', () => {
    const log = logWith({'vup_log.txt': 'earlier\r\n'});
    assert.equal(log.text(log.library.xr_log_kept()), 'earlier\r\n');
    assert.equal(logWith().library.xr_log_kept(), 0);
  });
});
