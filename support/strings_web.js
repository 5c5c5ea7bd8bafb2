// The page's language, as the page chose it from the browser's ('en' or 'ja').
mergeInto(LibraryManager.library, {
  xr_user_language: function() { return Module['page'].language === 'ja' ? 1 : 0; },
});
