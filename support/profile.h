#pragma once
// Private-profile access: one section of key=value lines. Windows uses the
// platform's private-profile functions; Linux has a reader and writer of its own
// with the same results (other sections, keys and lines are kept as they were;
// CR LF and LF are both read).

#include <string>
#include <vector>

// The key's integer value, or `default_value` when the file, section or key is missing.
int profile_get_int(const char* section, const char* key, int default_value, const char* file);
// The key's text cut to size - 1 characters, or the empty text; returns its length.
int profile_get_string(const char* section, const char* key, char* out, int size, const char* file);
// Replaces the key's value in place or appends the key at the end of the section,
// creating the file and the section as needed. 1 on success.
int profile_write_string(const char* section, const char* key, const char* value, const char* file);

// One key of a save and its value text.
struct ProfileEntry {
  std::string key;
  std::string value;
};
// Writes every entry in order, with the same result as one profile_write_string
// each; Linux writes the file once for all of them, whole or not at all.
// Returns how many entries were not written (0: all); their keys go to
// *unwritten when it is given, and *write_error (when given) is the errno of
// the file that could not be read or written (0 when none failed that way).
int profile_write_strings(const char* section, const std::vector<ProfileEntry>& entries, const char* file,
                          std::vector<std::string>* unwritten = nullptr, int* write_error = nullptr);

// A value as written to the file so that the reader gives it back unchanged:
// the reader drops blanks around a value and one pair of matching quotes, so
// a value that would lose either is written in quotes. 0 when that does not
// fit in `size` bytes.
int quoted_for_reading(const char* value, char* out, int size);
