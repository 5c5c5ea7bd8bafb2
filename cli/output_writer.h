#pragma once
// The command line's output to stdout and stderr, each written by a thread of
// its own: a stalled terminal (Ctrl-S), a full pipe or a closed reader then
// never holds the transfer or a stop, and one stalled stream never holds the
// other. (When both are one file, a terminal or `2>&1`, one thread writes both
// in order.)
//
// What may be left out while a stream does not take its lines: older progress
// texts (only the newest is written), and a display line that a later line of
// the same number repeats, with a note where that happened. Every other line,
// the outcome, the JSON objects and the last of each display line are always
// written: output_finish waits for them.
//
// On a terminal the progress is one line at the bottom of stderr, rewritten in
// place; a line for stdout or stderr that goes to the same terminal is printed
// above it and the progress line is drawn again. Elsewhere each progress text
// is a line of its own, in order with the other lines.

#include <string>

enum OutputStream : int {
  kStdout = 1,
  kStderr = 2,
};

// Starts the writers. Until they are started (and after they finished) lines
// are written at once by the caller's thread.
void output_start();
// Queues one line (the line break is added); it is never left out.
void output_line(OutputStream stream, const std::string& line);
// Queues display line `number` (0..5): left out only when the stream is far
// behind and a later display line of the same number is queued after it.
void output_display_line(OutputStream stream, int number, const std::string& line);
// The progress text now ("" clears it). On a terminal it may hold several
// lines ("\n" between them, each narrower than the terminal): they are redrawn together.
void output_progress(const std::string& text);
// One of several runs (--member): from now on every line goes to stdout as a
// record for the runner: "\x1e" KIND "\t" TEXT, KIND "1" or "2" for a line of
// stdout or stderr. Call before output_start; the progress texts are dropped
// (the run sends its progress as values with output_record).
void output_as_records();
// A record of KIND with TEXT (no line break in either). `newest_only`: only
// the newest such record waits while the stream is behind.
void output_record(const std::string& kind, const std::string& text, bool newest_only);
// The mark that begins a record line.
constexpr char kRecordMark = '\x1e';
// Waits until everything queued is written. A stream that is closed or
// broken (EPIPE) is given up, and the wait ends early when give_up() (asked
// about every 50 ms) says so. Returns false when something was left unwritten.
bool output_finish(bool (*give_up)());
