#pragma once
// One JSON object written a member at a time, for the commands' --json output.
// Strings are valid JSON whatever bytes they hold: a byte that is not part of
// valid UTF-8 becomes U+FFFD.

#include <string>

// `text` as a JSON string, quotes included.
std::string json_string(const char* text);

class JsonObject {
 public:
  JsonObject& text(const char* key, const char* value);
  JsonObject& number(const char* key, long value);
  JsonObject& boolean(const char* key, bool value);
  // A value that is JSON already (an object or an array).
  JsonObject& raw(const char* key, const std::string& json);
  // The object, without a newline.
  std::string str() const { return body_ + "}"; }

 private:
  void key(const char* name);
  std::string body_ = "{";
};
