#pragma once
// The progress shown below the six display lines while data packets go out:
// "Packet k of N, about m:ss left" and a bar. The count comes from the transfer
// itself (the packets whose reply it accepted); the time left follows the rate
// of the last few packets, so a stall that has passed does not weigh on the
// rest of the run.

#include <cstdint>

// Packets of the recent rate: the time left is estimated from the last this many.
constexpr int kProgressWindow = 8;

struct ProgressState {
  int active;             // 1 from the first data packet's start until the transfer ends
  int total;              // packets in the file
  int done;               // packets whose reply has been accepted
  std::int64_t start_ms;  // when the data packets began
  std::int64_t last_ms;   // when the last reply was accepted
  // When each of the last packets was accepted, by packet count modulo the window.
  std::int64_t times[kProgressWindow];
};

// Packets in a file of `file_size` bytes (blocks of 8192).
int progress_total_packets(int file_size);

void progress_reset(ProgressState* state);
// The data packets begin (the stop command is enabled).
void progress_begin(ProgressState* state, int file_size, std::int64_t now_ms);
// `done` packets have been accepted by now; returns 1 when the progress changed.
int progress_update(ProgressState* state, int done, std::int64_t now_ms);
// Takes the transfer's own count of accepted packets (called when a display line
// was written: the transfer may have got further). Returns 1 when the progress changed.
int progress_poll(ProgressState* state, std::int64_t now_ms);
// The transfer ended: nothing more is shown.
void progress_end(ProgressState* state);

// The text to show ("" when inactive). Returns its length.
int progress_text(const ProgressState* state, char* out, int size);
// The same text from its values: "Packet k of N, about m:ss left" ("Packet k
// of N" while the time left is not known, seconds_left < 0).
int progress_text_of(int done, int total, int seconds_left, char* out, int size);
// The seconds left, rounded up; -1 while inactive or before the first packet's reply.
int progress_seconds_left(const ProgressState* state);
// The whole percentage done, 0 when inactive.
int progress_percent(const ProgressState* state);
// The filled width of a bar `width` pixels wide.
int progress_fill(const ProgressState* state, int width);
