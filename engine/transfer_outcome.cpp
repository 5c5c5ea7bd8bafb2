#include "engine/transfer_outcome.h"

#include <cstdio>
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

void tfr_outcome_set(TransferOutcome outcome, TransferFault fault, const char* reason) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_end.outcome != kOutcomeNone) return;
  g_end.outcome = outcome;
  g_end.fault = fault;
  std::snprintf(g_end.reason, sizeof g_end.reason, "%s", reason != nullptr ? reason : "");
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
