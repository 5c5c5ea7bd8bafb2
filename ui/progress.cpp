#include "ui/progress.h"

#include <cstdio>

#include "engine/transfer.h"
#include "engine/update_file.h"

int progress_total_packets(int file_size) { return file_size > 0 ? file_size / kFileBufSize : 0; }

void progress_reset(ProgressState* state) { *state = ProgressState{}; }

void progress_begin(ProgressState* state, int file_size, std::int64_t now_ms) {
  progress_reset(state);
  state->active = 1;
  state->total = progress_total_packets(file_size);
  state->start_ms = now_ms;
  state->last_ms = now_ms;
  state->times[0] = now_ms;
}

int progress_update(ProgressState* state, int done, std::int64_t now_ms) {
  if (!state->active) return 0;
  if (state->total > 0 && done > state->total) done = state->total;
  if (done <= state->done) return 0;
  // Packets skipped between two updates are taken to have ended now.
  for (int k = state->done + 1; k <= done; ++k) state->times[k % kProgressWindow] = now_ms;
  state->done = done;
  state->last_ms = now_ms;
  return 1;
}

int progress_poll(ProgressState* state, std::int64_t now_ms) {
  if (!state->active) return 0;
  int done = 0, total = 0;
  tfr_progress(&done, &total);
  return progress_update(state, done, now_ms);
}

void progress_end(ProgressState* state) { progress_reset(state); }

namespace {

// Milliseconds left at the rate of the last packets (at most kProgressWindow - 1
// of them, counted from when the oldest of them ended).
std::int64_t ms_left(const ProgressState* state) {
  if (state->done <= 0 || state->total <= state->done) return 0;
  const int span = state->done < kProgressWindow - 1 ? state->done : kProgressWindow - 1;
  const std::int64_t since = state->times[(state->done - span) % kProgressWindow];
  const std::int64_t elapsed = state->last_ms - since;
  return elapsed * (state->total - state->done) / span;
}

}  // namespace

int progress_seconds_left(const ProgressState* state) {
  if (!state->active || state->done <= 0) return -1;
  return static_cast<int>((ms_left(state) + 999) / 1000);
}

int progress_text_of(int done, int total, int seconds_left, char* out, int size) {
  if (size <= 0) return 0;
  out[0] = '\0';
  int length;
  if (done <= 0 || seconds_left < 0) {
    length = std::snprintf(out, static_cast<std::size_t>(size), "Packet %d of %d", done > 0 ? done : 0, total);
  } else {
    length = std::snprintf(out, static_cast<std::size_t>(size), "Packet %d of %d, about %d:%02d left", done, total,
                           seconds_left / 60, seconds_left % 60);
  }
  if (length < 0) return 0;
  return length < size ? length : size - 1;
}

int progress_text(const ProgressState* state, char* out, int size) {
  if (size <= 0) return 0;
  out[0] = '\0';
  if (!state->active) return 0;
  return progress_text_of(state->done, state->total, progress_seconds_left(state), out, size);
}

int progress_percent(const ProgressState* state) {
  if (!state->active || state->total <= 0) return 0;
  return state->done * 100 / state->total;
}

int progress_fill(const ProgressState* state, int width) {
  if (!state->active || state->total <= 0 || width <= 0) return 0;
  return static_cast<int>(static_cast<std::int64_t>(width) * state->done / state->total);
}
