// The engine's ways to the page (the host sinks): display lines, posted
// notices and message boxes go to the page's own handlers, Module.page.
mergeInto(LibraryManager.library, {
  xr_page_textout: function(line, text) { Module['page'].textout(line, UTF8ToString(text)); },

  // Posted: the page takes it up once the engine call under way has returned.
  xr_page_notice: function(id, lparam) { Module['page'].notice(id, lparam); },

  // A packet accepted: the progress is drawn again.
  xr_page_progress: function() { Module['page'].progress(); },

  // A modal message; the engine goes on once the user has pressed OK.
  xr_page_message: function(text, caption, style) {
    const shown = UTF8ToString(text);
    const title = caption ? UTF8ToString(caption) : null;
    return Asyncify.handleAsync(async () => {
      try {
        await Module['page'].message(shown, title, style);
      } catch (e) {
        // a message that could not be shown still counts as seen
      }
      return 1;
    });
  },
});
