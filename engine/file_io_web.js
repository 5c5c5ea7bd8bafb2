// The files the user chose in the page, and reads of them for the engine: the
// header for the check, then the whole file once, before anything is sent.
// The page hands over the file it chose last under a name (its file(name)).
mergeInto(LibraryManager.library, {
  $XrFiles: {
    open: null,     // handle -> File
    nextHandle: 1,
    chosen: function(name) {
      const page = Module['page'];
      const file = page && page.file ? page.file(name) : undefined;
      return file === null ? undefined : file;
    },
  },
  $XrFiles__postset: 'XrFiles.open = new Map();',

  xr_file_open__deps: ['$XrFiles'],
  xr_file_open: function(name) {
    const file = XrFiles.chosen(UTF8ToString(name));
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
      const bytes = await XrFilesRead(file, offset, count);
      if (bytes === null) return -1;
      HEAPU8.set(bytes.subarray(0, count), buffer);
      return Math.min(bytes.length, count);
    });
  },

  xr_file_close__deps: ['$XrFiles'],
  xr_file_close: function(handle) {
    XrFiles.open.delete(handle);
  },
});
