// The page's language, as the page chose it from the browser's ('en' or 'ja'),
// and the texts handed to the C++ side.
mergeInto(LibraryManager.library, {
  // A text for the C++ side, which frees it: a malloc'd copy in UTF-8, or 0
  // for an empty text or no memory.
  $XrMadeText__deps: ['malloc'],
  $XrMadeText: function(text) {
    if (text === '') return 0;
    const size = lengthBytesUTF8(text) + 1;
    const copy = _malloc(size);
    if (copy === 0) return 0;
    stringToUTF8(text, copy, size);
    return copy;
  },

  xr_user_language: function() { return Module['page'].language === 'ja' ? 1 : 0; },
});
