// The files the user chose in the page, and reads of them for the engine. A
// read from the browser's copy of a file takes a few milliseconds, so the block
// after the one read is fetched at once, while the packet goes out; a file is
// still never held whole.
mergeInto(LibraryManager.library, {
  $XrFiles: {
    offered: null,  // name -> File, the one chosen last under that name
    open: null,     // handle -> File
    ahead: null,    // handle -> {offset, count, bytes: promise}: the next block, on its way
    nextHandle: 1,
    // The page offers the file it is about to hand to the engine, by name.
    offer: function(name, file) { XrFiles.offered.set(name, file); },
  },
  $XrFiles__postset: 'XrFiles.offered = new Map(); XrFiles.open = new Map(); XrFiles.ahead = new Map(); Module["XrFiles"] = XrFiles;',

  xr_file_open__deps: ['$XrFiles'],
  xr_file_open: function(name) {
    const file = XrFiles.offered.get(UTF8ToString(name));
    return Asyncify.handleAsync(async () => {
      if (file === undefined) return -1;
      try {
        // A file removed or changed since it was chosen fails here.
        await file.slice(0, 1).arrayBuffer();
      } catch (e) {
        return -1;
      }
      for (let tries = 0; tries < 7; ++tries) {
        const handle = XrFiles.nextHandle;
        XrFiles.nextHandle = handle % 7 + 1;
        if (!XrFiles.open.has(handle)) {
          XrFiles.open.set(handle, file);
          return handle;
        }
      }
      return -1;
    });
  },

  xr_file_size__deps: ['$XrFiles'],
  xr_file_size: function(handle) {
    const file = XrFiles.open.get(handle);
    return file === undefined ? -1 : file.size;
  },

  $XrFilesRead: function(file, offset, count) {
    // A failed read is an empty answer of its own kind: -1.
    return file.slice(offset, offset + count).arrayBuffer().then((b) => new Uint8Array(b), () => null);
  },

  xr_file_read__deps: ['$XrFiles', '$XrFilesRead'],
  xr_file_read: function(handle, offset, buffer, count) {
    const file = XrFiles.open.get(handle);
    return Asyncify.handleAsync(async () => {
      if (file === undefined) return -1;
      if (offset >= file.size || count <= 0) return 0;
      const ahead = XrFiles.ahead.get(handle);
      XrFiles.ahead.delete(handle);
      const bytes = await (ahead && ahead.offset === offset && ahead.count === count
                           ? ahead.bytes : XrFilesRead(file, offset, count));
      if (bytes === null) return -1;
      HEAPU8.set(bytes.subarray(0, count), buffer);
      const next = offset + bytes.length;
      if (bytes.length === count && next < file.size) {
        XrFiles.ahead.set(handle, {offset: next, count: count, bytes: XrFilesRead(file, next, count)});
      }
      return bytes.length;
    });
  },

  xr_file_close__deps: ['$XrFiles'],
  xr_file_close: function(handle) {
    XrFiles.open.delete(handle);
    XrFiles.ahead.delete(handle);
  },
});
