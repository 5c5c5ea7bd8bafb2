#include "ui/term/batch_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "engine/transfer.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/command_ids.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/term/program_startup.h"
#include "ui/transfer_start.h"

namespace {

int g_window_tag;  // the runner's stand-in for a main window
WindowHandle const kWindow = &g_window_tag;

std::mutex g_mutex;
std::deque<std::pair<int, intptr_t>> g_notices;
bool g_box_shown = false;
bool g_version_refused = false;
volatile std::sig_atomic_t g_interrupted = 0;

// The waiting runner wakes at once for a notice or a signal: each writes a byte
// here (all a signal handler may do). The read end is drained by the waiter.
int g_wake_read = -1;
volatile std::sig_atomic_t g_wake_write = -1;

void wake() {
  const int fd = g_wake_write;
  if (fd < 0) return;
  const int saved = errno;
  const ssize_t n = write(fd, "!", 1);  // a full pipe already wakes the waiter
  (void)n;
  errno = saved;
}

void on_signal(int) {
  g_interrupted = 1;
  wake();
}

// SIGINT and SIGTERM are caught from the runner's first step to the process's
// exit, so a stop asked for at any moment ends as an abort (exit 7) or, after
// the end, changes nothing; never a killed process. The pipe stays open until
// the exit, so no late write can reach a descriptor opened in its place.
bool catch_stop_signals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_wake_read = fds[0];
  g_wake_write = fds[1];
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return true;
}

int box_to_stderr(WindowHandle, const char* text, const char* caption, unsigned) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_box_shown = true;
  // A null caption shows the platform's default title, which is "Error".
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "Error", text ? text : "");
  std::fflush(stderr);
  return 1;
}

void line_to_stdout(int line, const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (line == 3 && std::strcmp(text, "Version check failed. The XR3300 already has") == 0) {
    g_version_refused = true;
  }
  std::printf("%d: %s\n", line, text);
  std::fflush(stdout);
}

void queue_notice(WindowHandle, int id, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notices.emplace_back(id, lparam);
  wake();
}

// No window: the saved position is the one loaded.
void loaded_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

void print_usage() {
  std::fprintf(stderr, "usage: xrupdate --batch [--ini PATH] FILE\n");
}

// Says on stderr which link the update goes out on, before anything is sent.
void print_link() {
  if (devtype == 0) {
    std::fprintf(stderr, "xrupdate: link: COM%d (%s) at %d baud\n", port, com_device_path[port - 1],
                 rate_table[rate_num]);
  } else {
    std::fprintf(stderr, "xrupdate: link: MIDI, transfer rate %s\n%s\n", xfer_rate_names[xferrate],
                 get_midi_cfg(mididevnum_out, mididevnum_in));
  }
  std::fflush(stderr);
}

// Runs the 100 ms tick and the notices until the transfer ends; returns 208's
// lParam. A signal wakes the wait at once and stops the transfer as Abort does.
intptr_t wait_for_end(bool* aborted) {
  using clock = std::chrono::steady_clock;
  auto next_tick = clock::now() + std::chrono::milliseconds(100);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      while (!g_notices.empty()) {
        const auto notice = g_notices.front();
        g_notices.pop_front();
        if (notice.first == IDM_TFR_END) return notice.second;
      }
    }
    if (g_interrupted && !*aborted) {
      *aborted = true;
      std::fprintf(stderr, "Stopping the update...\n");
      std::fflush(stderr);
      stop_dialog_opened();
      stop_dialog_abort();
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - clock::now());
    pollfd p{g_wake_read, POLLIN, 0};
    if (poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) > 0) {
      char drained[64];
      while (read(g_wake_read, drained, sizeof drained) > 0) {
      }
    }
    if (clock::now() >= next_tick) {
      next_tick += std::chrono::milliseconds(100);
      add_midi_time();
    }
  }
}

// Opens the link, runs the transfer to its end and tells what it did.
int run_transfer() {
  if (!tx_start(kWindow, cl.path)) return kExitLinkNotOpened;
  bool aborted = false;
  const intptr_t completed = wait_for_end(&aborted);
  tx_end();
  std::lock_guard<std::mutex> lock(g_mutex);
  if (completed) return kExitComplete;
  if (aborted) return kExitAborted;
  if (g_version_refused) return kExitVersionRefused;
  if (g_box_shown) return kExitFileRefused;  // the transfer's only boxes are the file's
  return kExitDeviceError;
}

int run_batch_caught(int argc, const char* const* argv) {
  const char* ini = nullptr;
  const char* file = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ini") == 0 && i + 1 < argc) {
      ini = argv[++i];
    } else if (file == nullptr && argv[i][0] != '\0') {
      file = argv[i];
    } else {
      print_usage();
      return kExitUsage;
    }
  }
  if (file == nullptr) {
    print_usage();
    return kExitUsage;
  }
  const char* args[2] = {"xrupdate", file};
  analyze_cmdline(&cl, 2, args);
  if (cl.path[0] == '\0') {
    std::fprintf(stderr, "xrupdate: %s: no such file (or its full path is longer than 259 characters)\n", file);
    return kExitUsage;
  }

  HostSinks sinks = {};
  sinks.message_box = box_to_stderr;
  sinks.textout = line_to_stdout;
  sinks.post_command = queue_notice;
  sinks.window_origin = loaded_origin;
  host_install(sinks);

  if (!derive_inifile(ini)) {
    std::fprintf(stderr, "xrupdate: the settings file's path is longer than 255 characters, or no home folder is known\n");
    return kExitStartup;
  }
  // A port that is not present is not exchanged for another: with two
  // instruments connected that would update the wrong one.
  if (!program_startup(kPortKeep)) {
    close_log();
    return kExitStartup;
  }

  // The exit status tells what the transfer did: boxes of the start-up (a
  // missing device, the folder of the last run) do not count.
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_box_shown = false;
    g_version_refused = false;
  }
  int status;
  if (startup_port_problem()[0] != '\0') {
    write_log("Update Failed : %s", startup_port_problem());
    status = kExitLinkNotOpened;
  } else if (g_interrupted) {
    std::fprintf(stderr, "Stopping the update...\n");
    write_log("User aborted update");
    status = kExitAborted;
  } else {
    print_link();
    status = run_transfer();
  }
  program_shutdown(kWindow);
  close_log();
  host_reset();
  return status;
}

}  // namespace

int run_batch(int argc, const char* const* argv) {
  if (!catch_stop_signals()) {
    std::fprintf(stderr, "xrupdate: cannot set up the signal handling\n");
    return kExitStartup;
  }
  return run_batch_caught(argc, argv);
}
