#pragma once
// A fuzz target's failing check: names the rule the input broke, then aborts,
// so that a crash report says what went wrong and not only where.
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_fail(const char* rule) {
  std::fprintf(stderr, "\nfuzz check failed: %s\n", rule);
  std::fflush(stderr);
  std::abort();
}
