#include "ui/progress.h"

#include <cstdio>
#include <cstring>

#include "engine/update_file.h"

int progress_total_packets(int file_size) { return file_size > 0 ? file_size / kFileBufSize : 0; }

int progress_packet_from_line(const char* text) {
  static constexpr char kPrefix[] = "Tx Packet:";
  constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
  if (std::strncmp(text, kPrefix, kPrefixLength) != 0) return -1;
  const char* p = text + kPrefixLength;
  while (*p == ' ') ++p;
  if (*p < '0' || *p > '9') return -1;
  int number = 0;
  while (*p >= '0' && *p <= '9') {
    if (number > 100000) return -1;
    number = number * 10 + (*p - '0');
    ++p;
  }
  return std::strncmp(p, " :", 2) == 0 ? number : -1;
}

void progress_reset(ProgressState* state) { *state = ProgressState{0, 0, 0, 0, 0}; }

void progress_begin(ProgressState* state, int file_size, std::int64_t now_ms) {
  state->active = 1;
  state->total = progress_total_packets(file_size);
  state->done = 0;
  state->start_ms = now_ms;
  state->last_ms = now_ms;
}

int progress_line(ProgressState* state, int line, const char* text, std::int64_t now_ms) {
  if (!state->active || line != 2) return 0;
  const int packet = progress_packet_from_line(text);
  if (packet < 0) return 0;
  int done = packet + 1;
  if (state->total > 0 && done > state->total) done = state->total;
  state->done = done;
  state->last_ms = now_ms;
  return 1;
}

void progress_end(ProgressState* state) { progress_reset(state); }

int progress_text(const ProgressState* state, char* out, int size) {
  if (size <= 0) return 0;
  out[0] = '\0';
  if (!state->active) return 0;
  int length;
  if (state->done <= 0) {
    length = std::snprintf(out, static_cast<std::size_t>(size), "Packet 0 of %d", state->total);
  } else {
    const std::int64_t elapsed = state->last_ms - state->start_ms;
    const std::int64_t left_ms =
        state->total > state->done ? elapsed * (state->total - state->done) / state->done : 0;
    const std::int64_t seconds = (left_ms + 999) / 1000;
    length = std::snprintf(out, static_cast<std::size_t>(size), "Packet %d of %d, about %d:%02d left",
                           state->done, state->total, static_cast<int>(seconds / 60),
                           static_cast<int>(seconds % 60));
  }
  if (length < 0) return 0;
  return length < size ? length : size - 1;
}

int progress_fill(const ProgressState* state, int width) {
  if (!state->active || state->total <= 0 || width <= 0) return 0;
  return static_cast<int>(static_cast<std::int64_t>(width) * state->done / state->total);
}
