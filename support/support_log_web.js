// The support log's copy in the browser's storage, and the page's view of it.
// The storage keeps the newest 256 KB or so (some sixty updates), cut at the
// start of a run; the log of this visit is whole in memory. Each entry is
// copied and decoded once, as it comes.
mergeInto(LibraryManager.library, {
  $XrLog: {
    key: 'vup_log.txt',
    limit: 1 << 18,
    size: 0,         // bytes of the log so far
    chunks: null,    // those bytes, as they came
    decoded: '',     // the same as text
    decoder: null,
    onchange: null,  // the page's
    text: function() { return XrLog.decoded; },
    // The log as the file would hold it.
    bytes: function() {
      if (XrLog.chunks.length > 1) {
        const whole = new Uint8Array(XrLog.size);
        let at = 0;
        for (const chunk of XrLog.chunks) {
          whole.set(chunk, at);
          at += chunk.length;
        }
        XrLog.chunks = [whole];
      }
      return XrLog.chunks.length > 0 ? XrLog.chunks[0] : new Uint8Array(0);
    },
    kept: function() {
      try {
        return window.localStorage.getItem(XrLog.key) || '';
      } catch (e) {
        return '';
      }
    },
  },
  $XrLog__postset: 'XrLog.chunks = []; XrLog.decoder = new TextDecoder(\'utf-8\'); Module["XrLog"] = XrLog;',

  xr_log_kept__deps: ['$XrLog', 'malloc'],
  xr_log_kept: function() {
    const text = XrLog.kept();
    if (text === '') return 0;
    const size = lengthBytesUTF8(text) + 1;
    const copy = _malloc(size);
    if (copy === 0) return 0;
    stringToUTF8(text, copy, size);
    return copy;
  },

  xr_log_store__deps: ['$XrLog'],
  xr_log_store: function(data, size) {
    if (size < XrLog.size) return;  // the stream only grows
    const added = HEAPU8.slice(data + XrLog.size, data + size);
    XrLog.chunks.push(added);
    XrLog.size = size;
    XrLog.decoded += XrLog.decoder.decode(added, {stream: true});
    let text = XrLog.decoded;
    if (text.length > XrLog.limit) {
      const run = text.indexOf('\r\n****************\r\n** ', text.length - XrLog.limit);
      text = text.slice(run >= 0 ? run : text.length - XrLog.limit);
    }
    try {
      window.localStorage.setItem(XrLog.key, text);
    } catch (e) {
      // best effort, as the file's writes are
    }
    if (XrLog.onchange) XrLog.onchange();
  },
});
