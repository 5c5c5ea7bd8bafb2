#pragma once
// The progress shown below the six display lines while data packets go out:
// "Packet k of N, about m:ss left" and a bar. It is derived from what the
// transfer already shows (display line 2, "Tx Packet:%3d : ...") and from the
// file's size, so the transfer itself knows nothing of it.

#include <cstdint>

struct ProgressState {
  int active;           // 1 from the first data packet's start until the transfer ends
  int total;            // packets in the file
  int done;             // packets whose reply has been shown
  std::int64_t start_ms;  // when the data packets began
  std::int64_t last_ms;   // when the last reply was shown
};

// Packets in a file of `file_size` bytes (blocks of 8192).
int progress_total_packets(int file_size);

// The packet number of a "Tx Packet:%3d : ..." line, or -1 for any other text.
int progress_packet_from_line(const char* text);

void progress_reset(ProgressState* state);
// The data packets begin (the stop command is enabled).
void progress_begin(ProgressState* state, int file_size, std::int64_t now_ms);
// A display line was written; returns 1 when the progress changed.
int progress_line(ProgressState* state, int line, const char* text, std::int64_t now_ms);
// The transfer ended: nothing more is shown.
void progress_end(ProgressState* state);

// The text to show ("" when inactive). Returns its length.
int progress_text(const ProgressState* state, char* out, int size);
// The filled width of a bar `width` pixels wide.
int progress_fill(const ProgressState* state, int width);
