#pragma once
// A monotonic clock in milliseconds, for time-outs and timers: it never jumps
// with the wall clock.

#include <chrono>
#include <cstdint>

inline std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
