// The engine's clock (engine/transfer_thread_web.js) as the page uses it: its
// timers call the page's timer(id), once or every period until stopped.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {loadLibraries} from './emscripten_library.mjs';

function clockWith() {
  const fired = [];
  let onFire = () => {};
  const page = {timer: (id) => {
    fired.push(id);
    onFire(id);
  }};
  const loaded = loadLibraries(['engine/transfer_thread_web.js'], {Module: {page}, performance});
  // Resolves when `id` has fired `count` times in all.
  const firings = (id, count) => new Promise((resolve) => {
    const check = () => { if (fired.filter((f) => f === id).length >= count) resolve(); };
    onFire = check;
    check();
  });
  return {lib: loaded.library, fired, firings};
}

test('a one-time timer fires once, a stopped one never', async () => {
  const {lib, fired, firings} = clockWith();
  const stopped = lib.xr_page_timer_start(5, 0);
  const once = lib.xr_page_timer_start(20, 0);
  lib.xr_page_timer_stop(stopped);
  await firings(once, 1);
  const later = lib.xr_page_timer_start(10, 0);  // fires after every earlier one would have
  await firings(later, 1);
  assert.deepEqual(fired, [once, later]);
  lib.xr_page_timer_stop(once);  // stopping one that has fired changes nothing
});

test('a repeating timer fires every period until it is stopped', async () => {
  const {lib, fired, firings} = clockWith();
  const started = performance.now();
  const every = lib.xr_page_timer_start(10, 1);
  await firings(every, 3);
  assert.ok(performance.now() - started >= 29);
  lib.xr_page_timer_stop(every);
  const count = fired.length;
  const after = lib.xr_page_timer_start(40, 0);
  await firings(after, 1);
  assert.equal(fired.filter((id) => id === every).length, count);
});
