#include "cli/headless_run.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "cli/output_writer.h"
#include "engine/update_file.h"
#include "link/midi_link.h"
#include "support/clock.h"
#include "support/command_ids.h"
#include "support/host.h"
#include "support/settings.h"
#include "ui/notice_queue.h"
#include "support/printable.h"
#include "ui/progress.h"
#include "ui/transfer_start.h"

namespace {

int g_window_tag;  // the stand-in for a main window
WindowHandle const kWindow = &g_window_tag;

volatile std::sig_atomic_t g_stop_signal = 0;
// How many stop signals came; read by the wait for the output at the end.
std::atomic<int> g_stop_signals{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted in a signal handler");

std::mutex g_mutex;  // what the sinks share with the waiting thread
HeadlessShow g_show;
std::string g_lines[6];
std::string g_last_box;
ProgressState g_progress;
bool g_progress_on_terminal = false;

void on_stop_signal(int) {
  g_stop_signal = 1;
  g_stop_signals.fetch_add(1);
  set_tfr_stop_now();  // seen by the check before the next message, whatever the main thread is doing
  notices_wake();
}

// The terminal went away: the update goes on to its end (its output is dropped).
void on_hang_up(int) { notices_wake(); }

bool catch_signals() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0 ||
      sigaction(SIGQUIT, &action, nullptr) != 0)
    return false;
  action.sa_handler = on_hang_up;
  if (sigaction(SIGHUP, &action, nullptr) != 0) return false;
  // A runner of several starts each run with these blocked (a stop between its
  // fork and here stays pending instead of being lost): they come now.
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&stops, s);
  return pthread_sigmask(SIG_UNBLOCK, &stops, nullptr) == 0;
}

// The progress for a runner: "done total percent seconds-left" (-1: not known
// yet), while the packets go; the run's end record has the final count.
void report_progress_locked() {
  if (!g_progress.active) return;
  const std::string values = std::to_string(g_progress.done) + "\t" + std::to_string(g_progress.total) + "\t" +
                             std::to_string(progress_percent(&g_progress)) + "\t" +
                             std::to_string(progress_seconds_left(&g_progress));
  output_record("P", values, true);
}

void show_progress_locked() {
  if (g_show.values) report_progress_locked();
  if (!g_show.progress) return;
  char text[128];
  if (progress_text(&g_progress, text, sizeof text) <= 0) {
    output_progress("");
    return;
  }
  // On a terminal the one rewritten line also shows the percentage.
  output_progress(g_progress_on_terminal ? std::string(text) + " (" + std::to_string(progress_percent(&g_progress)) + "%)"
                                         : std::string(text));
}

int sink_box(WindowHandle, const char* text, const char* caption, unsigned) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_last_box = text != nullptr ? text : "";
  // A null caption shows the platform's default title, which is "Error".
  if (g_show.boxes) output_line(kStderr, std::string(caption != nullptr ? caption : "Error") + ": " + g_last_box);
  return 1;
}

void sink_textout(int line, const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (line < 0 || line > 5 || text == nullptr) return;
  g_lines[line] = text;
  // Line 0 is the file's path: a control character in it must not break the line.
  if (g_show.lines)
    output_display_line(g_show.lines_on_stdout ? kStdout : kStderr, line,
                        std::to_string(line) + ": " + printable_text(text));
  if (progress_poll(&g_progress, now_ms())) show_progress_locked();
}

// The progress moves when the instrument accepts a packet, not at the next display line.
void sink_packet_accepted(int done, int) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (progress_update(&g_progress, done, now_ms())) show_progress_locked();
}

void sink_post(WindowHandle, int id, intptr_t lparam) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (id == IDM_STOP_ENABLE && lparam == 1) {
      progress_begin(&g_progress, datafile.size, now_ms());
      show_progress_locked();
    }
  }
  notices_post(id, lparam);
}

// No window: the saved position is the one loaded.
void sink_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

// Runs the tick and waits for the transfer's end notice. A stop signal, or
// the deadline, stops the transfer as "Abort" does. *stopped tells which stop was asked.
void wait_for_end(std::int64_t deadline_ms, bool* stopped) {
  std::int64_t next_tick = now_ms() + 100;
  for (;;) {
    Notice notice;
    while (notices_take(&notice)) {
      if (notice.id == IDM_TFR_END) return;
    }
    const bool late = deadline_ms != 0 && now_ms() >= deadline_ms;
    if ((g_stop_signal || late) && !*stopped) {
      *stopped = true;
      set_tfr_stop_now();          // also a stop that came before the transfer began
      stop_dialog_request_stop();  // ends a pending receive or MIDI send at once
      continue;
    }
    const std::int64_t left = next_tick - now_ms();
    pollfd p{notices_wake_fd(), POLLIN, 0};
    if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) > 0) notices_drain();
    if (now_ms() >= next_tick) {
      next_tick += 100;
      add_midi_time();
    }
  }
}

}  // namespace

int exit_status_for(TransferOutcome outcome) {
  switch (outcome) {
    case kOutcomeCompleted: return kExitComplete;
    case kOutcomeAborted: return kExitAborted;
    case kOutcomeFileRefused: return kExitFileRefused;
    case kOutcomeVersionRefused: return kExitVersionRefused;
    case kOutcomeNotStarted: return kExitStartup;
    default: return kExitDeviceError;
  }
}

const char* exit_status_word(int status) {
  static const char* const kWords[] = {"complete",         "startup-failed", "usage",           "file-refused",
                                       "link-not-opened",  "device-error",   "version-refused", "aborted"};
  return status >= 0 && status <= 7 ? kWords[status] : "unknown";
}

int headless_begin(const HeadlessShow& show) {
  if (!notices_open() || !catch_signals()) return 0;
  g_progress_on_terminal = isatty(STDERR_FILENO) == 1;
  headless_show(show);
  output_start();
  HostSinks sinks = {};
  sinks.message_box = sink_box;
  sinks.textout = sink_textout;
  sinks.post_command = sink_post;
  sinks.window_origin = sink_origin;
  sinks.packet_accepted = sink_packet_accepted;
  host_install(sinks);
  return 1;
}

void headless_show(const HeadlessShow& show) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_show = show;
}

bool headless_stop_asked() { return g_stop_signal != 0; }

int headless_stop_count() { return g_stop_signals.load(); }

std::string headless_last_box() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_last_box;
}

namespace {

// The end of the run waits for its output as long as the readers take; a
// second stop signal ends the wait.
bool output_wait_given_up() { return g_stop_signals.load() >= 2; }

}  // namespace

void headless_end() {
  output_progress("");
  output_finish(output_wait_given_up);
  host_reset();
  notices_close();
}

HeadlessResult headless_transfer(const char* path, const LinkTarget& link, TransferScope scope,
                                 std::int64_t deadline_ms) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (std::string& line : g_lines) line.clear();
    g_last_box.clear();
    progress_reset(&g_progress);
  }
  notices_clear();
  // A stop kept from an earlier transfer's deadline is not this one's; a stop
  // signal, whenever it came, is.
  clear_tfr_stop_pending();
  if (g_stop_signal) set_tfr_stop_now();
  HeadlessResult result;
  std::string why;
  if (!tx_start(kWindow, path, link, scope, &why)) {
    result.status = kExitLinkNotOpened;
    result.reason = why.empty() ? headless_last_box() : why;
    if (result.reason.empty()) result.reason = "the link could not be opened";
    return result;
  }
  bool stopped = false;
  wait_for_end(deadline_ms, &stopped);
  tx_end();
  result.end = tfr_outcome();
  result.set_mode_sent = tfr_set_mode_sent() != 0;
  tfr_progress(&result.packets_done, &result.packets_total);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    progress_end(&g_progress);
    show_progress_locked();
  }
  // The signal handler stops the transfer itself: the thread can end before
  // the wait above has seen the signal, and the stop is still this run's end.
  if (g_stop_signal) stopped = true;
  // Only a stop that ended the transfer is an abort: one that came while the
  // last packet's reply was awaited leaves the end to the instrument's answer
  // (an error reply, or no reply in time).
  if (stopped && result.end.outcome == kOutcomeAborted) {
    if (deadline_ms != 0 && !g_stop_signal) {
      result.status = kExitDeviceError;
      result.reason = "no answer in time";
      return result;
    }
    stop_dialog_aborted();  // "User aborted update"
    result.status = kExitAborted;
    result.reason = "aborted (Ctrl-C, SIGTERM or SIGQUIT)";
    return result;
  }
  result.status = exit_status_for(result.end.outcome);
  if (result.status == kExitComplete) return result;
  result.reason = result.end.told;
  if (result.reason.empty()) result.reason = tfr_outcome_word(result.end.outcome);
  return result;
}
