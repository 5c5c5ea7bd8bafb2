#pragma once
// A fuzz target's checks: a rule that does not hold is named on stderr, with
// what was seen, and the run aborts, so the crash report says which rule broke.

#include <cstdio>
#include <cstdlib>
#include <string>

// What a target made outside its own memory (a private folder), removed before
// a broken rule ends the run: the abort skips the handlers of a normal exit.
inline void (*fuzz_rule_cleanup)() = nullptr;

// The rule and what broke it; ends the run.
[[noreturn]] inline void fuzz_rule_broken(const char* rule, const std::string& seen = std::string()) {
  std::fprintf(stderr, "\nRULE BROKEN: %s\n", rule);
  if (!seen.empty()) std::fprintf(stderr, "  %s\n", seen.c_str());
  std::fflush(stderr);
  if (fuzz_rule_cleanup != nullptr) fuzz_rule_cleanup();
  std::abort();
}

inline void fuzz_rule(bool holds, const char* rule) {
  if (!holds) fuzz_rule_broken(rule);
}

// Bytes as a C string literal would show them, for the report of a broken rule.
inline std::string fuzz_shown(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + "\"";
}
