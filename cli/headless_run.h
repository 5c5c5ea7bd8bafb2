#pragma once
// The transfer without a window, for the command line's commands: the host's
// sinks write through the output writer, the transfer's notices are waited for
// beside the 100 ms tick, SIGINT, SIGTERM and SIGQUIT stop the transfer as
// "Abort" does, and SIGHUP (the terminal gone) lets it run to its end.

#include <cstdint>
#include <string>

#include "engine/transfer.h"
#include "engine/transfer_outcome.h"
#include "link/link_target.h"

// Exit statuses of the command line's commands.
enum ExitStatus : int {
  kExitComplete = 0,        // "Update Complete!" (accepted, answered, found)
  kExitStartup = 1,         // the program could not start (buffers, settings path, thread)
  kExitUsage = 2,           // bad command line, or FILE names no existing file
  kExitFileRefused = 3,     // the file could not be opened, failed the header check or changed while read
  kExitLinkNotOpened = 4,   // the serial port or the MIDI devices could not be opened
  kExitDeviceError = 5,     // a send, receive or reply failed, or the instrument timed out
  kExitVersionRefused = 6,  // the instrument already has the same version or better
  kExitAborted = 7,         // stopped with Ctrl-C (SIGINT), SIGTERM or SIGQUIT
};

// The exit status that tells how a transfer ended.
int exit_status_for(TransferOutcome outcome);
// A short word for an exit status ("complete", "file-refused", ...).
const char* exit_status_word(int status);

// What a run shows while it goes.
struct HeadlessShow {
  bool lines = true;            // every display line, as "N: text"
  bool lines_on_stdout = true;  // else on stderr (stdout keeps the result)
  bool progress = false;        // "Packet k of N, about m:ss left" on stderr
  bool boxes = true;            // message boxes, as "caption: text" on stderr
  bool values = false;          // the progress as values for a runner (output_record "P")
};

// Catches the signals, starts the output writer and installs the sinks. 0 when
// the signals cannot be caught.
int headless_begin(const HeadlessShow& show);
// Shows from now on as `show` says.
void headless_show(const HeadlessShow& show);
// Whether a stop signal came.
bool headless_stop_asked();
// How many stop signals came (a runner passes each one on).
int headless_stop_count();
// The text of the last message box, "" when none came since the last transfer began.
std::string headless_last_box();
// Writes what is left of the output (waiting a little for a slow stream) and
// takes the sinks away.
void headless_end();

struct HeadlessResult {
  int status = kExitComplete;
  TransferEnd end;
  std::string reason;  // what went wrong, in the program's words; "" when complete
  int packets_done = 0;
  int packets_total = 0;
  bool set_mode_sent = false;  // the instrument may be in update mode
};

// Opens `link`, runs the transfer of `path` (as far as `scope` goes) to its end
// and tells how it ended. With a deadline, a run still going then is stopped as
// "Abort" does and ends as a device error ("no answer in time").
HeadlessResult headless_transfer(const char* path, const LinkTarget& link, TransferScope scope,
                                 std::int64_t deadline_ms = 0);
