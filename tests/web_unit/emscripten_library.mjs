// Loads the engine's JavaScript halves (emscripten libraries) into a context of
// their own, as the emscripten link would: each $Name becomes Name, each
// postset runs, and the xr_* functions are returned to call. The context holds
// the runtime's few names, and whatever browser stand-ins a test gives.
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';

const root = path.resolve(import.meta.dirname, '../..');

export function loadLibraries(files, browser = {}) {
  const library = {};
  const heap = new Uint8Array(1 << 16);
  const encoder = new TextEncoder();
  const context = vm.createContext({
    ...browser,
    setTimeout, clearTimeout, TextDecoder, TextEncoder, Promise, Array, Map, String, Error,
    ReadableStream, WritableStream, URL, Blob,
    HEAPU8: heap,
    Module: browser.Module || {},
    mergeInto: (target, members) => Object.assign(target, members),
    LibraryManager: {library},
    // A sleep resolves a promise with what its wake-up is given.
    Asyncify: {
      handleSleep: (start) => new Promise((resolve) => start(resolve)),
      handleAsync: (start) => start(),
    },
    lengthBytesUTF8: (text) => encoder.encode(text).length,
    stringToUTF8: (text, at, size) => {
      const bytes = encoder.encode(text).subarray(0, size - 1);
      heap.set(bytes, at);
      heap[at + bytes.length] = 0;
    },
    _malloc: (() => {
      let next = 1 << 15;
      return (size) => {
        const at = next;
        next += size;
        return at;
      };
    })(),
  });
  for (const file of files) vm.runInContext(fs.readFileSync(path.join(root, file), 'utf8'), context, {filename: file});
  for (const [key, value] of Object.entries(library)) {
    if (key.startsWith('$') && !key.includes('__')) context[key.slice(1)] = value;
  }
  for (const [key, value] of Object.entries(library)) {
    if (key.endsWith('__postset')) vm.runInContext(value, context);
  }
  return {library, context, heap, text: (at) => new TextDecoder().decode(heap.subarray(at, heap.indexOf(0, at)))};
}
