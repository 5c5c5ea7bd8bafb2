#pragma once
// The command line's output to stdout and stderr, written by a thread of its
// own: a stalled terminal (Ctrl-S), a full pipe or a closed reader then never
// holds the transfer or a stop. What the output cannot take in time is dropped
// (the progress line is coalesced to its newest text), never waited for by the
// transfer.
//
// On a terminal the progress is one line at the bottom of stderr, rewritten in
// place; a line for stdout or stderr that goes to the same terminal is printed
// above it and the progress line is drawn again. Elsewhere each progress text
// is a line of its own.

#include <string>

enum OutputStream : int {
  kStdout = 1,
  kStderr = 2,
};

// Starts the writer. Until it is started (and after it finished) lines are
// written at once by the caller's thread.
void output_start();
// Queues one line (the line break is added).
void output_line(OutputStream stream, const std::string& line);
// The progress text now ("" clears it).
void output_progress(const std::string& text);
// Writes what is queued, waiting at most `wait_ms` for streams that do not take
// it; then the caller's thread writes again. Returns false when something was
// left unwritten.
bool output_finish(int wait_ms);
