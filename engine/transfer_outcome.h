#pragma once
// How the last transfer ended, as a value. A failure is recorded where it is
// found, in the same call that shows it (display lines or a box), and read by
// whoever reports the end (exit statuses, JSON, the front ends) once the
// transfer thread has ended. Nothing that reports an end reads the display.

#include "support/host.h"

enum TransferOutcome : int {
  kOutcomeNone = 0,        // no end recorded: a transfer runs, or none ran yet
  kOutcomeCompleted,       // every packet accepted (a check: accepted; a question: answered)
  kOutcomeAborted,         // a stop request ended it
  kOutcomeFileRefused,     // the file did not open, or failed its header check
  kOutcomeVersionRefused,  // the instrument already has the same version or better
  kOutcomeDeviceError,     // a send, a receive or a reply failed, or the file could not be read whole
  kOutcomeNotStarted,      // the transfer thread could not be started
};

// What went wrong, one step finer than the outcome.
enum TransferFault : int {
  kFaultNone = 0,
  kFaultFileOpen,     // the file did not open
  kFaultFileHeader,   // the header check refused the file
  kFaultFileRead,     // a block could not be read whole during the update
  kFaultMidiPrepare,  // the MIDI input could not be armed for the reply
  kFaultTransmit,     // a send failed
  kFaultReceive,      // a receive failed
  kFaultTimeout,      // no reply in time
  kFaultReply,        // a reply failed its check (its head, its code or its status)
  kFaultVersion,      // the installed version is not lower than the file's
  kFaultStop,         // a stop request
  kFaultThread,       // no thread to run the transfer on
};

struct TransferEnd {
  TransferOutcome outcome = kOutcomeNone;
  TransferFault fault = kFaultNone;
  char reason[160] = "";  // in short: the first outcome line or the box's text
  char told[400] = "";    // all the user was told: the outcome lines, joined by spaces, or the box's text
};

// Forgets the last end; called as a transfer starts.
void tfr_outcome_reset();
// Records how the transfer ends. The first call after a reset decides: a later
// failure (a step that fails because an earlier one did) changes nothing.
void tfr_outcome_set(TransferOutcome outcome, TransferFault fault, const char* reason);
// A failure told on display lines 3 to 5: recorded (as tfr_outcome_set does,
// with `reason`, or line 3 when that is null) and shown. A null line is left as
// it is; " " blanks it.
void tfr_fail_shown(TransferOutcome outcome, TransferFault fault, const char* line3, const char* line4,
                    const char* line5 = nullptr, const char* reason = nullptr);
// A failure told in an error box: recorded with the box's text, then the box.
void tfr_fail_box(WindowHandle window, TransferOutcome outcome, TransferFault fault, const char* text);
// The recorded end; outcome kOutcomeNone while a transfer runs.
TransferEnd tfr_outcome();
// A short word for an outcome ("complete", "aborted", "file-refused", ...).
const char* tfr_outcome_word(TransferOutcome outcome);
