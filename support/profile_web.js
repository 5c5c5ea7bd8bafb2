// localStorage for the settings. A browser that keeps no site data (or a page
// it forbids to) makes every read give the default and every write fail.
mergeInto(LibraryManager.library, {
  xr_storage_get: function(key, out, size) {
    let value = null;
    try {
      value = window.localStorage.getItem(UTF8ToString(key));
    } catch (e) {
      value = null;
    }
    if (value === null) return -1;
    const length = lengthBytesUTF8(value);
    if (length >= size) return length;  // too long to be one of the program's values
    stringToUTF8(value, out, size);
    return length;
  },

  xr_storage_set: function(key, value) {
    try {
      window.localStorage.setItem(UTF8ToString(key), UTF8ToString(value));
      return 1;
    } catch (e) {
      return 0;
    }
  },
});
