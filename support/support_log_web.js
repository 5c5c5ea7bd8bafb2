// The support log's copy in the browser's storage. The storage keeps the
// newest 256 KB or so (some sixty updates), cut at the start of a run; the log
// of this visit is whole in the engine's memory, where the page reads it
// (ui/web/page_devices_web.cpp). Each entry is copied and decoded once, as it
// comes, and the page is told.
mergeInto(LibraryManager.library, {
  $XrLog: {
    key: 'vup_log.txt',
    limit: 1 << 18,
    size: 0,         // bytes of the log so far
    decoded: '',     // those bytes as text
    decoder: null,
    // The browser's copy is written a moment after the entries that came, not
    // once per entry: a long kept log copied at every packet would slow the
    // update. Leaving the page writes it at once.
    saveTimer: 0,
    save: function() {
      if (XrLog.saveTimer !== 0) clearTimeout(XrLog.saveTimer);
      XrLog.saveTimer = 0;
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
    },
    kept: function() {
      try {
        return window.localStorage.getItem(XrLog.key) || '';
      } catch (e) {
        return '';
      }
    },
  },
  $XrLog__postset: 'XrLog.decoder = new TextDecoder(\'utf-8\');' +
                   'addEventListener("pagehide", () => { if (XrLog.saveTimer !== 0) XrLog.save(); });' +
                   'addEventListener("visibilitychange", () => { if (XrLog.saveTimer !== 0) XrLog.save(); });',

  xr_log_kept__deps: ['$XrLog', '$XrMadeText'],
  xr_log_kept: function() { return XrMadeText(XrLog.kept()); },

  xr_log_store__deps: ['$XrLog'],
  xr_log_store: function(data, size) {
    if (size < XrLog.size) return;  // the stream only grows
    XrLog.decoded += XrLog.decoder.decode(HEAPU8.subarray(data + XrLog.size, data + size), {stream: true});
    XrLog.size = size;
    if (XrLog.saveTimer === 0) XrLog.saveTimer = setTimeout(XrLog.save, 200);
    const page = Module['page'];
    if (page && page.logChanged) page.logChanged();
  },
});
