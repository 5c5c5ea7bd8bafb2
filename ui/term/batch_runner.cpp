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
#include "engine/update_file.h"
#include "link/midi_driver.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/command_ids.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/progress.h"
#include "ui/term/device_survey.h"
#include "ui/term/json_text.h"
#include "ui/term/link_choice.h"
#include "ui/term/program_startup.h"
#include "ui/term/serial_devices.h"
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

// How the display lines and messages of a run are shown.
struct Shown {
  bool lines_on_stdout = true;  // "N: text"; else on stderr (stdout keeps the result)
  bool lines = true;            // every display line
  bool outcome_lines = true;    // lines 3 to 5, the outcome (all --quiet keeps)
  bool progress = false;        // "Packet k of N, about m:ss left" on stderr
  bool boxes = true;            // the messages on stderr
};
Shown g_shown;
std::string g_reason;          // why the run did not end well, as it was told
bool g_error_lines = false;    // display lines 3 to 5 hold an error
ProgressState g_progress;
bool g_progress_on_terminal = false;
bool g_progress_written = false;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void add_reason(const char* text) {
  if (text == nullptr || text[0] == '\0' || std::strcmp(text, " ") == 0) return;
  if (!g_reason.empty()) g_reason += " ";
  g_reason += text;
}

int box_to_stderr(WindowHandle, const char* text, const char* caption, unsigned) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_box_shown = true;
  g_reason = text ? text : "";
  if (!g_shown.boxes) return 1;
  // A null caption shows the platform's default title, which is "Error".
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "Error", text ? text : "");
  std::fflush(stderr);
  return 1;
}

// The progress after a packet's reply: a line each time in a pipe or a file,
// one line rewritten in place on a terminal.
void show_progress() {
  char text[128];
  if (progress_text(&g_progress, text, sizeof text) <= 0) return;
  if (g_progress_on_terminal) {
    const int percent = g_progress.total > 0 ? g_progress.done * 100 / g_progress.total : 0;
    std::fprintf(stderr, "\r%s (%d%%)\033[K", text, percent);
    g_progress_written = true;
  } else {
    std::fprintf(stderr, "%s\n", text);
  }
  std::fflush(stderr);
}

// Ends a rewritten progress line before anything else goes to stderr.
void end_progress_line() {
  if (!g_progress_written) return;
  std::fprintf(stderr, "\n");
  g_progress_written = false;
}

void line_to_stdout(int line, const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (line == 3 && std::strcmp(text, "Version check failed. The XR3300 already has") == 0) {
    g_version_refused = true;
  }
  if (line == 3) {
    g_error_lines = std::strcmp(text, "Update Complete!") != 0 && std::strcmp(text, " ") != 0;
    g_reason.clear();
  }
  if (line >= 3 && g_error_lines) add_reason(text);
  if (g_shown.progress && progress_line(&g_progress, line, text, now_ms())) show_progress();
  if (g_shown.lines || (g_shown.outcome_lines && line >= 3 && std::strcmp(text, " ") != 0)) {
    if (g_progress_written) end_progress_line();
    std::fprintf(g_shown.lines_on_stdout ? stdout : stderr, "%d: %s\n", line, text);
    std::fflush(g_shown.lines_on_stdout ? stdout : stderr);
  }
  // A device or version error is told on stderr as well, for whoever reads only that.
  if (g_shown.lines_on_stdout && line >= 3 && g_error_lines && std::strcmp(text, " ") != 0) {
    end_progress_line();
    std::fprintf(stderr, "xrupdate: %s\n", text);
    std::fflush(stderr);
  }
}

void queue_notice(WindowHandle, int id, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (id == IDM_STOP_ENABLE && lparam == 1) progress_begin(&g_progress, datafile.size, now_ms());
  if (id == IDM_TFR_END) progress_end(&g_progress);
  g_notices.emplace_back(id, lparam);
  wake();
}

// No window: the saved position is the one loaded.
void loaded_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

std::string midi_name(bool output, int id) {
  std::string name;
  midi_device_name(output, id, &name);
  return name;
}

std::string link_json() {
  JsonObject link;
  if (devtype == 0) {
    const std::string com = "COM" + std::to_string(port);
    link.text("kind", "serial").text("port", com.c_str()).text("device", com_device_path[port - 1])
        .number("baud", rate_table[rate_num]);
  } else {
    link.text("kind", "midi").number("output", mididevnum_out)
        .text("output_name", midi_name(true, mididevnum_out).c_str()).number("input", mididevnum_in)
        .text("input_name", midi_name(false, mididevnum_in).c_str()).number("rate", xferrate);
  }
  return link.str();
}

// Says on stderr which link the run goes out on, before anything is sent.
void print_link() {
  std::fprintf(stderr, "xrupdate: link: %s\n", link_in_use_text().c_str());
  std::fflush(stderr);
}

std::string version_text(int version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", version / 256, version & 0xFF);
  return text;
}

// The three versions by the display's labels.
const char* const kVersionLabels[3] = {"System", "User", "PCM"};

std::string versions_json(const int versions[3]) {
  JsonObject object;
  for (int i = 0; i < 3; ++i) object.text(kVersionLabels[i], version_text(versions[i]).c_str());
  return object.str();
}

std::string versions_line(const int versions[3]) {
  std::string line;
  for (int i = 0; i < 3; ++i)
    line += std::string(i ? ", " : "") + kVersionLabels[i] + " " + version_text(versions[i]);
  return line;
}

// Runs the 100 ms tick and the notices until the transfer ends; returns 208's
// lParam. A signal, or the deadline when one is given, stops the transfer as
// Abort does.
intptr_t wait_for_end(bool* aborted, std::int64_t deadline_ms = 0) {
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
    const bool late = deadline_ms != 0 && now_ms() >= deadline_ms;
    if ((g_interrupted || late) && !*aborted) {
      *aborted = true;
      if (g_interrupted) {
        std::lock_guard<std::mutex> lock(g_mutex);
        end_progress_line();
        std::fprintf(stderr, "Stopping the update...\n");
        std::fflush(stderr);
      }
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

void reset_run_state() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_box_shown = false;
  g_version_refused = false;
  g_error_lines = false;
  g_reason.clear();
  g_notices.clear();
  progress_reset(&g_progress);
}

// Opens the link, runs the transfer (or as much of it as `scope` asks) to its
// end and tells what it did. With a deadline, a run still going then is stopped.
int run_transfer(const char* path, TransferScope scope, std::int64_t deadline_ms = 0) {
  reset_run_state();
  if (!tx_start(kWindow, path, scope)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_reason.empty()) g_reason = "the link could not be opened";
    return kExitLinkNotOpened;
  }
  bool aborted = false;
  const intptr_t completed = wait_for_end(&aborted, deadline_ms);
  tx_end();
  std::lock_guard<std::mutex> lock(g_mutex);
  end_progress_line();
  if (completed) return kExitComplete;
  if (aborted && g_interrupted) return kExitAborted;
  if (aborted) {
    g_reason = "no answer in time";
    return kExitDeviceError;
  }
  if (g_version_refused) return kExitVersionRefused;
  if (g_box_shown) return kExitFileRefused;  // the transfer's only boxes are the file's
  return kExitDeviceError;
}

void install_sinks() {
  HostSinks sinks = {};
  sinks.message_box = box_to_stderr;
  sinks.textout = line_to_stdout;
  sinks.post_command = queue_notice;
  sinks.window_origin = loaded_origin;
  host_install(sinks);
}

// The settings and the link for a run. kExitComplete when they are ready.
int start_up(const char* ini) {
  install_sinks();
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
  return kExitComplete;
}

const char* const kOutcomeNames[] = {"complete", "startup-failed", "usage", "file-refused",
                                     "link-not-opened", "device-error", "version-refused", "aborted"};

const char* command_word(RunCommand command) {
  switch (command) {
    case kRunQuery: return "query";
    case kRunDryRun: return "dry-run";
    default: return "batch";
  }
}

// The one result of --batch, --dry-run or --query on stdout.
void print_outcome(const RunOptions& options, int status, bool linked, const std::string& link) {
  int versions[3];
  const bool have_versions = linked && tfr_target_versions(versions);
  if (options.json) {
    JsonObject result;
    result.text("command", command_word(options.command));
    if (options.command != kRunQuery) result.text("file", cl.path[0] ? cl.path : options.operands[0]);
    result.number("exit", status);
    result.text("outcome", status == 0 && options.command == kRunDryRun ? "accepted"
                           : status >= 0 && status <= 7             ? kOutcomeNames[status]
                                                                    : "unknown");
    if (options.command == kRunDryRun) result.boolean("accepted", status == 0);
    if (linked) result.raw("link", link);
    if (have_versions) result.raw("versions", versions_json(versions));
    if (status != 0) result.text("reason", g_reason.c_str());
    std::printf("%s\n", result.str().c_str());
  } else if (options.command == kRunQuery && have_versions) {
    for (int i = 0; i < 3; ++i) std::printf("%s: %s\n", kVersionLabels[i], version_text(versions[i]).c_str());
  } else if (options.command == kRunDryRun) {
    if (status == 0)
      std::printf("Dry run: the update would be accepted.\n");
    else
      std::fprintf(stderr, "xrupdate: the update would not be accepted: %s\n",
                   g_reason.empty() ? kOutcomeNames[status] : g_reason.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

// --batch, --dry-run and --query: one run on the chosen (or configured) link.
int run_on_link(const RunOptions& options) {
  const bool query = options.command == kRunQuery;
  g_shown = Shown{};
  g_shown.lines_on_stdout = !options.json && !query;
  g_shown.lines = !options.quiet;
  g_shown.progress = options.command == kRunBatch && !options.quiet;
  g_progress_on_terminal = isatty(STDERR_FILENO) == 1;

  int status = link_choice_set(options, stderr);
  if (status != 0) return status;
  if (!query) {
    const char* file = options.operands[0];
    const char* args[2] = {"xrupdate", file};
    analyze_cmdline(&cl, 2, args);
    if (cl.path[0] == '\0') {
      std::fprintf(stderr, "xrupdate: %s: no such file (or its full path is longer than 259 characters)\n", file);
      g_reason = "no such file";
      if (options.json) print_outcome(options, kExitUsage, false, "");
      return kExitUsage;
    }
  }
  status = start_up(options.ini);
  if (status != kExitComplete) return status;

  // The exit status tells what the run did: boxes of the start-up (a
  // missing device, the folder of the last run) do not count.
  reset_run_state();
  bool linked = false;
  std::string link;  // told before the settings' own link is put back
  if (startup_port_problem()[0] != '\0') {
    write_log("Update Failed : %s", startup_port_problem());
    g_reason = startup_port_problem();
    status = kExitLinkNotOpened;
  } else if (g_interrupted) {
    std::fprintf(stderr, "Stopping the update...\n");
    write_log("User aborted update");
    status = kExitAborted;
  } else {
    if (!options.quiet) print_link();
    linked = true;
    link = link_json();
    const TransferScope scope = options.command == kRunBatch ? kScopeUpdate
                                : query                       ? kScopeVersionsOnly
                                                              : kScopeCheckOnly;
    status = run_transfer(query ? "" : cl.path, scope);
  }
  // An update saves the settings as the front end does; a check or a question changes nothing.
  if (options.command == kRunBatch) {
    program_shutdown(kWindow);
  } else {
    free_tfr();
    link_choice_restore();
  }
  close_log();
  print_outcome(options, status, linked, link);
  host_reset();
  return status;
}

constexpr int kFindTimeoutMs = 2000;  // per device: the version reply comes in a few ms

// One device that --find tries: a serial path, or a MIDI pair.
struct FindTarget {
  std::string device;  // the serial path, or the MIDI pair's name
  int out = -1, in = -1;  // the MIDI pair
};

// Asks the device in the settings record for its versions, with a short time-out.
bool ask_versions(int versions[3]) {
  return run_transfer("", kScopeVersionsOnly, now_ms() + kFindTimeoutMs) == kExitComplete &&
         tfr_target_versions(versions);
}

// --find: the version request on each device that opens, one at a time.
int run_find(const RunOptions& options) {
  g_shown = Shown{};
  g_shown.lines = false;
  g_shown.outcome_lines = false;
  g_shown.boxes = false;  // a device that does not open is told below, once
  std::vector<FindTarget> targets;
  for (const std::string& path : options.ports) targets.push_back(FindTarget{path});
  if (options.ports.empty()) {
    for (const SerialPresent& device : serial_devices_present("/dev")) {
      // A link in /dev/serial/by-id to a device already tried is not tried twice.
      bool seen = false;
      for (const FindTarget& t : targets) seen = seen || (!device.target.empty() && t.device == device.target);
      if (!seen) targets.push_back(FindTarget{device.path});
    }
    const std::vector<MidiPresent> ins = midi_devices_present(false);
    for (const MidiPresent& out : midi_devices_present(true)) {
      for (const MidiPresent& in : ins) {
        if (in.name != out.name) continue;
        targets.push_back(FindTarget{out.name, out.id, in.id});
        break;
      }
    }
  }
  if (targets.empty()) {
    std::fprintf(stderr, "xrupdate: --find: no serial device and no MIDI output/input pair with the same name is present\n");
    return kExitLinkNotOpened;
  }
  for (const FindTarget& t : targets) {
    if (t.out < 0 && t.device.size() >= static_cast<size_t>(kComDevicePathSize)) {
      std::fprintf(stderr, "xrupdate: --port: the device path is longer than %d bytes\n", kComDevicePathSize - 1);
      return kExitUsage;
    }
  }
  int status = start_up(options.ini);
  if (status != kExitComplete) return status;
  const int loaded_devtype = devtype, loaded_port = port, loaded_out = mididevnum_out, loaded_in = mididevnum_in;
  char loaded_path[kComDevicePathSize];
  std::memcpy(loaded_path, com_device_path[0], sizeof loaded_path);

  int found = 0;
  for (const FindTarget& t : targets) {
    if (g_interrupted) break;
    std::string where;
    if (t.out < 0) {
      std::string path = t.device;
      // COM1..COM4 name the devices of the settings (COM1's is set aside above).
      const int com = com_port_number(path.c_str());
      if (com != 0) path = com == 1 ? loaded_path : com_device_path[com - 1];
      char why[400] = "";
      if (!serial_device_probe(1, path.c_str(), why, sizeof why)) {
        std::fprintf(stderr, "xrupdate: %s %s; not tried\n", path.c_str(), why);
        continue;
      }
      devtype = 0;
      port = 1;
      std::snprintf(com_device_path[0], kComDevicePathSize, "%s", path.c_str());
      where = path;
    } else {
      devtype = 1;
      mididevnum_out = t.out;
      mididevnum_in = t.in;
      where = t.device;
    }
    int versions[3];
    if (!ask_versions(versions)) {
      std::fprintf(stderr, "xrupdate: %s: no instrument answered (%s)\n", where.c_str(),
                   g_reason.empty() ? "no valid reply" : g_reason.c_str());
      continue;
    }
    ++found;
    if (options.json) {
      JsonObject result;
      result.text("command", "find").raw("link", link_json()).raw("versions", versions_json(versions));
      std::printf("%s\n", result.str().c_str());
    } else if (t.out < 0) {
      std::printf("serial %s: %s\n", where.c_str(), versions_line(versions).c_str());
    } else {
      std::printf("midi \"%s\" (out %d, in %d): %s\n", where.c_str(), t.out, t.in, versions_line(versions).c_str());
    }
    std::fflush(stdout);
  }
  devtype = loaded_devtype;
  port = loaded_port;
  mididevnum_out = loaded_out;
  mididevnum_in = loaded_in;
  std::memcpy(com_device_path[0], loaded_path, sizeof loaded_path);
  free_tfr();  // nothing of the settings changes: they are not saved
  close_log();
  host_reset();
  if (g_interrupted) return kExitAborted;
  if (found == 0) {
    std::fprintf(stderr, "xrupdate: --find: no instrument answered\n");
    return kExitDeviceError;
  }
  return kExitComplete;
}

}  // namespace

int run_link_command(const RunOptions& options) {
  if (!catch_stop_signals()) {
    std::fprintf(stderr, "xrupdate: cannot set up the signal handling\n");
    return kExitStartup;
  }
  if (options.command == kRunFind) return run_find(options);
  return run_on_link(options);
}
