#pragma once
// What the program tells the user while a fuzz target runs: the last message
// box and the display lines, kept for the target's checks. Nothing is shown.
#include <string>

#include "support/host.h"

struct FuzzHost {
  std::string box;
  std::string lines[6];
  int boxes = 0;

  void clear() {
    box.clear();
    for (auto& l : lines) l.clear();
    boxes = 0;
  }
};

inline FuzzHost& fuzz_host() {
  static FuzzHost host;
  return host;
}

inline void fuzz_host_install() {
  HostSinks sinks{};
  sinks.message_box = [](WindowHandle, const char* text, const char*, unsigned) {
    fuzz_host().box = text ? text : "";
    ++fuzz_host().boxes;
    return 1;
  };
  sinks.textout = [](int line, const char* text) {
    if (line >= 0 && line < 6) fuzz_host().lines[line] = text ? text : "";
  };
  host_install(sinks);
}
