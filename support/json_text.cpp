#include "support/json_text.h"

#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at p (1..4), or 0 when there is none.
int utf8_length(const unsigned char* p) {
  const unsigned char c = p[0];
  int length = 0;
  unsigned lowest = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  unsigned value = c & (0x3F >> (length - 1));
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;  // also stops at the terminator
    value = (value << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid.
  if (value < lowest || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string json_string(const char* text) {
  std::string out = "\"";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
  while (*p != '\0') {
    const unsigned char c = *p;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      const int length = utf8_length(p);
      if (length == 0) {
        out += "\\ufffd";
        ++p;
        continue;
      }
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
      p += length;
      continue;
    }
    ++p;
  }
  return out + "\"";
}

void JsonObject::key(const char* name) {
  if (body_.size() > 1) body_ += ",";
  body_ += json_string(name) + ":";
}

JsonObject& JsonObject::text(const char* name, const char* value) {
  key(name);
  body_ += json_string(value);
  return *this;
}

JsonObject& JsonObject::number(const char* name, long value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::boolean(const char* name, bool value) {
  key(name);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::raw(const char* name, const std::string& json) {
  key(name);
  body_ += json;
  return *this;
}
