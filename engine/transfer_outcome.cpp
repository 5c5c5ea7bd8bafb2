#include "engine/transfer_outcome.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <mutex>

namespace {

// Set on the transfer thread, read on another after the thread's end notice;
// the lock keeps a reader that looks early from seeing half a record.
std::mutex g_mutex;
TransferEnd g_end;

}  // namespace

void tfr_outcome_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_end = TransferEnd{};
}

namespace {

void record(TransferOutcome outcome, TransferFault fault, const char* reason, const std::string& told) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_end.outcome != kOutcomeNone) return;
  g_end.outcome = outcome;
  g_end.fault = fault;
  std::snprintf(g_end.reason, sizeof g_end.reason, "%s", reason != nullptr ? reason : "");
  std::snprintf(g_end.told, sizeof g_end.told, "%s", told.c_str());
}

}  // namespace

void tfr_outcome_set(TransferOutcome outcome, TransferFault fault, const char* reason) {
  record(outcome, fault, reason, reason != nullptr ? reason : "");
}

void tfr_fail_shown(TransferOutcome outcome, TransferFault fault, const char* line3, const char* line4,
                    const char* line5, const char* reason) {
  const char* const lines[3] = {line3, line4, line5};
  std::string told;
  for (const char* line : lines) {
    if (line == nullptr || line[0] == '\0' || std::strcmp(line, " ") == 0) continue;
    if (!told.empty()) told += ' ';
    told += line;
  }
  record(outcome, fault, reason != nullptr ? reason : line3, told);
  for (int i = 0; i < 3; ++i) {
    if (lines[i] != nullptr) textout(3 + i, lines[i]);
  }
}

void tfr_fail_box(WindowHandle window, TransferOutcome outcome, TransferFault fault, const char* text) {
  record(outcome, fault, text, text);
  message_box(window, text, "Error", kMbOk | kMbSetForeground);
}

TransferEnd tfr_outcome() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_end;
}

const char* tfr_outcome_word(TransferOutcome outcome) {
  switch (outcome) {
    case kOutcomeCompleted: return "complete";
    case kOutcomeAborted: return "aborted";
    case kOutcomeFileRefused: return "file-refused";
    case kOutcomeVersionRefused: return "version-refused";
    case kOutcomeDeviceError: return "device-error";
    case kOutcomeNotStarted: return "not-started";
    default: return "none";
  }
}
