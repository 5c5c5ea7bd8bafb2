#include "ui/term/batch_runner.h"

#include <signal.h>

#include <chrono>
#include <condition_variable>
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
std::condition_variable g_posted;
std::deque<std::pair<int, intptr_t>> g_notices;
bool g_box_shown = false;
bool g_version_refused = false;
volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) { g_interrupted = 1; }

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
  g_posted.notify_all();
}

// No window: the saved position is the one loaded.
void loaded_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

void print_usage() {
  std::fprintf(stderr, "usage: xrupdate --batch [--ini PATH] FILE\n");
}

// Runs the 100 ms tick and the notices until the transfer ends; returns 208's lParam.
intptr_t wait_for_end(bool* aborted) {
  using clock = std::chrono::steady_clock;
  auto next_tick = clock::now() + std::chrono::milliseconds(100);
  std::unique_lock<std::mutex> lock(g_mutex);
  for (;;) {
    while (!g_notices.empty()) {
      const auto notice = g_notices.front();
      g_notices.pop_front();
      if (notice.first == IDM_TFR_END) return notice.second;
    }
    if (g_interrupted && !*aborted) {
      *aborted = true;
      lock.unlock();
      std::fprintf(stderr, "Stopping the update...\n");
      stop_dialog_opened();
      stop_dialog_abort();
      lock.lock();
      continue;
    }
    if (g_posted.wait_until(lock, next_tick) == std::cv_status::timeout) {
      next_tick += std::chrono::milliseconds(100);
      lock.unlock();
      add_midi_time();
      lock.lock();
    }
  }
}

}  // namespace

int run_batch(int argc, const char* const* argv) {
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
  if (!program_startup()) {
    close_log();
    return kExitStartup;
  }

  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  // The exit status tells what the transfer did: boxes of the start-up (a
  // missing device, the folder of the last run) do not count.
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_box_shown = false;
    g_version_refused = false;
  }
  int status;
  if (!tx_start(kWindow, cl.path)) {
    status = kExitLinkNotOpened;
  } else {
    bool aborted = false;
    const intptr_t completed = wait_for_end(&aborted);
    tx_end();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (completed) {
      status = kExitComplete;
    } else if (aborted) {
      status = kExitAborted;
    } else if (g_version_refused) {
      status = kExitVersionRefused;
    } else if (g_box_shown) {
      status = kExitFileRefused;  // the transfer's only boxes are the file's
    } else {
      status = kExitDeviceError;
    }
  }
  program_shutdown(kWindow);
  close_log();
  host_reset();
  return status;
}
