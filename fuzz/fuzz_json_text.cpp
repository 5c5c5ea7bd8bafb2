// The JSON text writer on arbitrary bytes as keys and values, read back by a
// strict JSON reader (RFC 8259) written here as the oracle: no control
// character in a string, only the escapes JSON has, valid UTF-8 (no surrogate
// or overlong form), \u escapes of surrogates only in pairs, nothing after the
// object. Every member reads back in order: a key or text of valid UTF-8 as it
// was, any other with each byte that is not part of a valid sequence as U+FFFD;
// numbers and booleans as given; a nested object as its own members.
//
// The input: two bytes of member kinds (two bits each: text, number, boolean,
// nested object), then keys and values in turn, split at zero bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/json_text.h"
#include "fuzz/fuzz_rule.h"

namespace {

// The length of the well-formed UTF-8 sequence at p (of n bytes), by the
// table of well-formed byte sequences; 0 for none.
int well_formed(const unsigned char* p, size_t n) {
  struct Row {
    unsigned char first_lo, first_hi, second_lo, second_hi;
    int length;
  };
  static const Row kRows[] = {
      {0x00, 0x7F, 0, 0, 1},       {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
      {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
      {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  if (n == 0) return 0;
  for (const Row& row : kRows) {
    if (p[0] < row.first_lo || p[0] > row.first_hi) continue;
    if (row.length == 1) return 1;
    if (n < static_cast<size_t>(row.length) || p[1] < row.second_lo || p[1] > row.second_hi) return 0;
    for (int i = 2; i < row.length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return row.length;
  }
  return 0;
}

bool valid_utf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    const int length = well_formed(p + i, s.size() - i);
    if (length == 0) return false;
    i += static_cast<size_t>(length);
  }
  return true;
}

// What a text should read back as: each byte outside a valid sequence as U+FFFD.
std::string replaced(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const int length = well_formed(p + i, s.size() - i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, static_cast<size_t>(length));
      i += static_cast<size_t>(length);
    }
  }
  return out;
}

void put_utf8(unsigned code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A JSON value as the reader found it.
struct Value {
  enum Kind { kString, kNumber, kTrue, kFalse, kNull, kObject, kArray } kind = kNull;
  std::string text;  // a string's decoded bytes, a number as written
  std::vector<std::pair<std::string, std::unique_ptr<Value>>> members;
  std::vector<std::unique_ptr<Value>> items;
};

// A strict RFC 8259 reader; the first fault it meets is kept in `fault`.
class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  std::unique_ptr<Value> document() {
    space();
    auto value = this->value(0);
    space();
    if (value != nullptr && at_ < s_.size()) return fail("text after the value");
    return value;
  }
  const std::string& fault() const { return fault_; }
  size_t at() const { return at_; }

 private:
  std::nullptr_t fail(const char* why) {
    if (fault_.empty()) fault_ = why;
    return nullptr;
  }
  bool more() const { return at_ < s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[at_]); }
  void space() {
    while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
  }
  bool literal(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(at_, n, word) != 0) return false;
    at_ += n;
    return true;
  }

  std::unique_ptr<Value> value(int depth) {
    if (depth > 64) return fail("nested too deep");
    if (!more()) return fail("a value is missing");
    auto v = std::make_unique<Value>();
    const unsigned char c = peek();
    if (c == '{') {
      v->kind = Value::kObject;
      ++at_;
      space();
      if (more() && peek() == '}') {
        ++at_;
        return v;
      }
      for (;;) {
        space();
        std::string key;
        if (!string(&key)) return nullptr;
        space();
        if (!more() || peek() != ':') return fail("':' is missing after a key");
        ++at_;
        space();
        auto member = value(depth + 1);
        if (member == nullptr) return nullptr;
        v->members.emplace_back(key, std::move(member));
        space();
        if (more() && peek() == ',') {
          ++at_;
          continue;
        }
        if (more() && peek() == '}') {
          ++at_;
          return v;
        }
        return fail("',' or '}' is missing in an object");
      }
    }
    if (c == '[') {
      v->kind = Value::kArray;
      ++at_;
      space();
      if (more() && peek() == ']') {
        ++at_;
        return v;
      }
      for (;;) {
        space();
        auto item = value(depth + 1);
        if (item == nullptr) return nullptr;
        v->items.push_back(std::move(item));
        space();
        if (more() && peek() == ',') {
          ++at_;
          continue;
        }
        if (more() && peek() == ']') {
          ++at_;
          return v;
        }
        return fail("',' or ']' is missing in an array");
      }
    }
    if (c == '"') {
      v->kind = Value::kString;
      if (!string(&v->text)) return nullptr;
      return v;
    }
    if (literal("true")) {
      v->kind = Value::kTrue;
      return v;
    }
    if (literal("false")) {
      v->kind = Value::kFalse;
      return v;
    }
    if (literal("null")) return v;
    if (c == '-' || (c >= '0' && c <= '9')) {
      v->kind = Value::kNumber;
      if (!number(&v->text)) return nullptr;
      return v;
    }
    return fail("no value begins here");
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number(std::string* text) {
    const size_t begin = at_;
    auto digits = [&]() {
      const size_t from = at_;
      while (more() && peek() >= '0' && peek() <= '9') ++at_;
      return at_ > from;
    };
    if (peek() == '-') ++at_;
    if (more() && peek() == '0') {
      ++at_;
    } else if (!digits()) {
      return fail("a number has no digits"), false;
    }
    if (more() && peek() == '.') {
      ++at_;
      if (!digits()) return fail("a fraction has no digits"), false;
    }
    if (more() && (peek() == 'e' || peek() == 'E')) {
      ++at_;
      if (more() && (peek() == '+' || peek() == '-')) ++at_;
      if (!digits()) return fail("an exponent has no digits"), false;
    }
    *text = s_.substr(begin, at_ - begin);
    return true;
  }

  bool hex4(unsigned* code) {
    if (s_.size() - at_ < 4) return fail("a \\u escape has fewer than four hex digits"), false;
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return fail("a \\u escape has a byte that is no hex digit"), false;
      }
      *code = *code * 16 + digit;
    }
    return true;
  }

  bool string(std::string* out) {
    if (!more() || peek() != '"') return fail("a string does not begin with '\"'"), false;
    ++at_;
    for (;;) {
      if (!more()) return fail("a string is not closed"), false;
      const unsigned char c = peek();
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return fail("a control character in a string"), false;
      if (c != '\\') {
        const int length =
            well_formed(reinterpret_cast<const unsigned char*>(s_.data()) + at_, s_.size() - at_);
        if (length == 0) return fail("invalid UTF-8 in a string"), false;
        out->append(s_, at_, static_cast<size_t>(length));
        at_ += static_cast<size_t>(length);
        continue;
      }
      ++at_;
      if (!more()) return fail("a string ends in '\\'"), false;
      const char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          unsigned code;
          if (!hex4(&code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return fail("a low surrogate without a high one"), false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low;
            if (s_.compare(at_, 2, "\\u") != 0) return fail("a high surrogate without a low one"), false;
            at_ += 2;
            if (!hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("a high surrogate without a low one"), false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          put_utf8(code, out);
          break;
        }
        default: return fail("an escape JSON does not have"), false;
      }
    }
  }

  const std::string& s_;
  size_t at_ = 0;
  std::string fault_;
};

// What the object should hold: a member's key, and its value as given.
struct Member {
  int kind;  // 0 text, 1 number, 2 boolean, 3 nested object (value as its one key and text)
  std::string key;
  std::string value;
  long number = 0;
};

void check_text(const std::string& given, const std::string& read, const char* what) {
  if (valid_utf8(given)) {
    if (read != given)
      fuzz_rule_broken("a text of valid UTF-8 reads back as it was",
                       std::string(what) + " " + fuzz_shown(given) + " read " + fuzz_shown(read));
  } else if (read != replaced(given)) {
    fuzz_rule_broken("each byte that is not valid UTF-8 reads back as U+FFFD",
                     std::string(what) + " " + fuzz_shown(given) + " read " + fuzz_shown(read));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned kinds = data[0] | (data[1] << 8);
  std::vector<std::string> pieces(1);
  for (size_t i = 2; i < size; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  std::vector<Member> members;
  JsonObject object;
  for (size_t i = 0; i < pieces.size() && members.size() < 8; i += 2) {
    Member m;
    m.kind = static_cast<int>((kinds >> (2 * members.size())) & 3);
    m.key = pieces[i];
    m.value = i + 1 < pieces.size() ? pieces[i + 1] : "";
    switch (m.kind) {
      case 0: object.text(m.key.c_str(), m.value.c_str()); break;
      case 1: {
        unsigned char bytes[sizeof(long)] = {};
        std::memcpy(bytes, m.value.data(), std::min(m.value.size(), sizeof bytes));
        std::memcpy(&m.number, bytes, sizeof bytes);
        object.number(m.key.c_str(), m.number);
        break;
      }
      case 2: object.boolean(m.key.c_str(), !m.value.empty()); break;
      default: {
        JsonObject nested;
        nested.text(m.value.c_str(), m.value.c_str());
        object.raw(m.key.c_str(), nested.str());
        break;
      }
    }
    members.push_back(m);
  }

  const std::string json = object.str();
  Reader reader(json);
  const std::unique_ptr<Value> document = reader.document();
  if (document == nullptr)
    fuzz_rule_broken("the writer's object is strict JSON",
                     reader.fault() + " at byte " + std::to_string(reader.at()) + " of " + fuzz_shown(json));
  fuzz_rule(document->kind == Value::kObject, "the writer's output is one object");
  fuzz_rule(document->members.size() == members.size(), "every member is written once, in order");
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    const Value& v = *document->members[i].second;
    check_text(m.key, document->members[i].first, "key");
    switch (m.kind) {
      case 0:
        fuzz_rule(v.kind == Value::kString, "a text is written as a string");
        check_text(m.value, v.text, "text");
        break;
      case 1:
        if (v.kind != Value::kNumber || v.text != std::to_string(m.number))
          fuzz_rule_broken("a number reads back as given", std::to_string(m.number) + " read " + v.text);
        break;
      case 2:
        fuzz_rule(v.kind == (m.value.empty() ? Value::kFalse : Value::kTrue), "a boolean reads back as given");
        break;
      default:
        fuzz_rule(v.kind == Value::kObject && v.members.size() == 1 && v.members[0].second->kind == Value::kString,
                  "a nested object reads back as written");
        check_text(m.value, v.members[0].first, "nested key");
        check_text(m.value, v.members[0].second->text, "nested text");
        break;
    }
  }
  return 0;
}
