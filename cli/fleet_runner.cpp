#include "cli/fleet_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/fleet_members.h"
#include "cli/find_command.h"
#include "cli/headless_run.h"
#include "cli/output_writer.h"
#include "engine/file_io.h"
#include "support/clock.h"
#include "support/json_text.h"
#include "support/printable.h"
#include "support/settings.h"
#include "ui/command_line.h"
#include "ui/info_command.h"
#include "ui/notice_queue.h"
#include "ui/program_startup.h"
#include "ui/progress.h"

namespace {

// A line longer than this from a run is cut there (a run's lines are short).
constexpr size_t kLongestLine = 64 * 1024;

struct Run {
  FleetMember member;
  MemberState state;
  pid_t pid = -1;
  int fd = -1;          // the read end of its stdout and stderr
  std::string pending;  // bytes of a line not yet ended
  bool json_told = false;  // its run wrote its JSON object
};

// How the runner shows the runs.
struct FleetView {
  bool json = false;
  bool quiet = false;
  bool live = false;            // one line per instrument redrawn on the terminal (stderr)
  bool drop_stdout_lines = false;  // the display lines: the live view stands for them
  std::string file;                // the update file, for the objects the runner writes
};

FleetView view_for(const RunOptions& options) {
  FleetView view;
  view.json = options.json;
  view.quiet = options.quiet;
  view.live = !options.json && !options.quiet && isatty(STDERR_FILENO) == 1;
  view.drop_stdout_lines = view.live && isatty(STDOUT_FILENO) == 1;
  return view;
}

// The terminal's columns (less one, so no line wraps) and rows.
void terminal_size(int* width, int* rows) {
  winsize size = {};
  const bool known = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0;
  *width = known && size.ws_col > 1 ? size.ws_col - 1 : 79;
  *rows = known && size.ws_row > 0 ? size.ws_row : 24;
}

// One line per instrument, as many as the terminal holds with a row to spare
// (more would scroll on every redraw); the rest summed up in the last line.
void show_view(const std::vector<Run>& runs) {
  int width = 79, rows = 24;
  terminal_size(&width, &rows);
  const size_t room = rows > 2 ? static_cast<size_t>(rows - 1) : 1;
  const size_t shown = runs.size() <= room ? runs.size() : room - 1;
  std::string text;
  for (size_t i = 0; i < shown; ++i) {
    if (!text.empty()) text += "\n";
    text += member_view_line(runs[i].member, runs[i].state, width);
  }
  if (shown < runs.size()) {
    int complete = 0, failed = 0;
    for (size_t i = shown; i < runs.size(); ++i) {
      if (!runs[i].state.ended) continue;
      ++(runs[i].state.status == kExitComplete ? complete : failed);
    }
    const int rest = static_cast<int>(runs.size() - shown);
    std::string more = "... and " + std::to_string(rest) + " more: " + std::to_string(complete) + " complete, " +
                       std::to_string(failed) + " failed, " + std::to_string(rest - complete - failed) + " going";
    if (more.size() > static_cast<size_t>(width)) more.resize(static_cast<size_t>(width));
    text += (text.empty() ? "" : "\n") + more;
  }
  output_progress(text);
}

// Starts member k's run: this program again, its stdout and stderr one pipe.
// False with *why when it could not be started.
bool start_run(const RunOptions& options, const std::string& file, int held, Run* run, int k,
               std::string* why) {
  const std::vector<std::string> args = member_arguments(options, file, run->member, k);
  std::vector<char*> argv;
  static char name[] = "xrupdate";
  argv.push_back(name);
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    *why = std::string("cannot start its run: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  // The stop signals stay blocked in the new process until its run catches
  // them: one that comes meanwhile waits for it, and is never lost.
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&stops, s);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  const pid_t pid = fork();
  if (pid != 0) pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (pid < 0) {
    *why = std::string("cannot start its run: ") + std::strerror(errno);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec. Its own process group: a
    // terminal's Ctrl-C reaches the runner, which passes it on once. A runner
    // that dies stops the run as "Abort" does.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGINT);
    if (getppid() != parent) _exit(kExitAborted);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(ends[1], STDOUT_FILENO) < 0 ||
        dup2(ends[1], STDERR_FILENO) < 0)
      _exit(kExitStartup);
    // The checked file on the descriptor the run reads it from (kept across exec).
    const bool placed = held == kMemberFileFd ? fcntl(held, F_SETFD, 0) == 0 : dup2(held, kMemberFileFd) >= 0;
    if (!placed) _exit(kExitStartup);
    execv("/proc/self/exe", argv.data());
    _exit(kExitStartup);
  }
  close(ends[1]);
  run->pid = pid;
  run->fd = ends[0];
  run->state.started = true;
  return true;
}

// The prefix of a run's lines off the live view.
std::string prefixed(const Run& run, const std::string& text) { return member_tag(run.member.label) + text; }

void take_line(const FleetView& view, Run* run, const std::string& line, bool* changed) {
  const MemberRecord record = read_member_line(line);
  switch (record.kind) {
    case MemberRecord::kStdoutLine:
      if (view.json) {
        // The run's JSON object, which names its device.
        output_line(kStdout, record.text);
        run->json_told = true;
      } else if (!view.drop_stdout_lines) {
        output_line(kStdout, prefixed(*run, record.text));
      }
      return;
    case MemberRecord::kStderrLine:
      output_line(kStderr, prefixed(*run, record.text));
      return;
    case MemberRecord::kProgress:
      run->state.done = record.done;
      run->state.total = record.total;
      run->state.percent = record.percent;
      run->state.seconds_left = record.seconds_left;
      *changed = true;
      if (!view.live && !view.json && !view.quiet) {
        char text[96];
        progress_text_of(record.done, record.total, record.seconds_left, text, sizeof text);
        output_line(kStderr, prefixed(*run, text));
      }
      return;
    case MemberRecord::kEnd:
      run->state.status = record.status;
      run->state.done = record.done;
      run->state.total = record.total;
      run->state.reason = record.text;
      *changed = true;
      return;
  }
}

// A run that wrote no JSON object of its own (it could not start) gets one.
void tell_missing_json(Run* run_to_tell, const std::string& file) {
  const Run& run = *run_to_tell;
  run_to_tell->json_told = true;
  JsonObject object;
  object.text("command", "batch").text("device", run.member.label.c_str()).text("file", file.c_str());
  object.number("exit", run.state.status).text("outcome", exit_status_word(run.state.status));
  if (run.state.status != kExitComplete)
    object.text("reason", run.state.reason.empty() ? exit_status_word(run.state.status) : run.state.reason.c_str());
  output_line(kStdout, object.str());
}

// Reads what the run has sent; at its end, waits for its process.
void read_run(const FleetView& view, Run* run, bool* changed) {
  char buffer[16384];
  const ssize_t n = read(run->fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) {
    run->pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = run->pending.find('\n', start)) != std::string::npos; start = nl + 1)
      take_line(view, run, run->pending.substr(start, nl - start), changed);
    run->pending.erase(0, start);
    if (run->pending.size() > kLongestLine) {
      take_line(view, run, run->pending.substr(0, kLongestLine), changed);
      run->pending.clear();
    }
    return;
  }
  // The end of its output: the run has ended (or closed both streams, and ends now).
  if (!run->pending.empty()) take_line(view, run, run->pending, changed);
  run->pending.clear();
  close(run->fd);
  run->fd = -1;
  int wait_status = 0;
  pid_t got;
  do {
    got = waitpid(run->pid, &wait_status, 0);
  } while (got < 0 && errno == EINTR);
  run->state.ended = true;
  *changed = true;
  if (got == run->pid && WIFEXITED(wait_status)) {
    const int status = WEXITSTATUS(wait_status);
    // The exit status is the run's word; its record gave the reason.
    if (status != run->state.status && run->state.reason.empty()) run->state.reason = exit_status_word(status);
    run->state.status = status;
  } else if (got == run->pid && WIFSIGNALED(wait_status)) {
    // Killed, not ended: a stop signal is a stop; anything else leaves the
    // update unfinished, as a failed transfer does.
    const int signal_number = WTERMSIG(wait_status);
    const bool stop = signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGQUIT;
    run->state.status = stop ? kExitAborted : kExitDeviceError;
    run->state.reason = "its run was killed by signal " + std::to_string(signal_number) +
                        (run->state.total > 0 ? " after packet " + std::to_string(run->state.done) + " of " +
                                                    std::to_string(run->state.total)
                                              : std::string()) +
                        "; the instrument may wait in update mode until the update is run again";
  } else {
    run->state.status = kExitDeviceError;
    run->state.reason = "its run could not be waited for";
  }
  if (view.json && !run->json_told) tell_missing_json(run, view.file);  // its object as it ends
}

// Runs every member side by side until all have ended, passing each stop signal on.
void run_side_by_side(const FleetView& view, std::vector<Run>* runs) {
  int passed_on = 0;
  std::int64_t next_draw = 0;
  bool changed = true;
  for (;;) {
    const int stops = headless_stop_count();
    for (; passed_on < stops; ++passed_on) {
      for (Run& run : *runs)
        if (run.fd >= 0) kill(run.pid, SIGINT);
    }
    std::vector<pollfd> fds;
    std::vector<Run*> owners;
    for (Run& run : *runs) {
      if (run.fd < 0) continue;
      fds.push_back(pollfd{run.fd, POLLIN, 0});
      owners.push_back(&run);
    }
    if (view.live && changed && now_ms() >= next_draw) {
      show_view(*runs);
      changed = false;
      next_draw = now_ms() + 100;
    }
    if (owners.empty()) break;
    fds.push_back(pollfd{notices_wake_fd(), POLLIN, 0});
    const int waiting = view.live && changed ? 100 : 1000;
    if (poll(fds.data(), fds.size(), waiting) < 0 && errno != EINTR) break;
    if (fds.back().revents != 0) notices_drain();
    for (size_t i = 0; i < owners.size(); ++i) {
      if (fds[i].revents != 0) read_run(view, owners[i], &changed);
    }
  }
}

// The end of the command: how each ended, and the summary. Returns the exit status.
int tell_end(const FleetView& view, std::vector<Run>& runs, const std::string& file) {
  int completed = 0, status = kExitComplete;
  for (const Run& run : runs) {
    if (run.state.status == kExitComplete) {
      ++completed;
    } else if (status == kExitComplete) {
      status = run.state.status;
    }
  }
  if (headless_stop_asked() && status != kExitComplete) status = kExitAborted;
  const int tried = static_cast<int>(runs.size());
  if (view.json) {
    for (Run& run : runs)
      if (!run.json_told) tell_missing_json(&run, file);
    JsonObject summary;
    summary.text("command", "batch").text("file", file.c_str()).number("tried", tried).number("completed", completed)
        .number("failed", tried - completed).number("exit", status).text("outcome", exit_status_word(status));
    output_line(kStdout, summary.str());
    return status;
  }
  if (view.live) output_progress("");
  if (!view.quiet) {
    for (const Run& run : runs) output_line(kStderr, member_end_line(run.member, run.state));
    output_line(kStdout, "Updated " + std::to_string(completed) + " of " + std::to_string(tried) + " instruments.");
  }
  return status;
}

// A command that ends before any run: its line, or its JSON summary.
int refuse(const RunOptions& options, int status, const std::string& file, const std::string& reason) {
  if (options.json) {
    JsonObject summary;
    summary.text("command", "batch");
    if (!file.empty()) summary.text("file", file.c_str());
    summary.number("tried", 0).number("completed", 0).number("failed", 0).number("exit", status)
        .text("outcome", exit_status_word(status)).text("reason", reason.c_str());
    output_line(kStdout, summary.str());
  }
  output_line(kStderr, "xrupdate: " + reason);
  return status;
}

// The file as every run gets it (its full path), checked once: "" with the
// exit status in *status when it cannot be used.
std::string checked_file(const RunOptions& options, FileHandle* held, int* status, std::string* reason) {
  const char* args[2] = {"xrupdate", options.operands[0]};
  analyze_cmdline(&cl, 2, args);
  if (cl.path[0] == '\0') {
    *status = kExitUsage;
    *reason = printable_text(options.operands[0]) + ": " + file_operand_problem(options.operands[0]);
    return "";
  }
  char refusal[256] = "";
  // Held (with a shared lock) until every run has ended: no update of its own
  // takes the file meanwhile.
  file_open_shared_from_now();
  *held = open_checked_update_file(cl.path, refusal, sizeof refusal);
  if (*held == kInvalidFile) {
    *status = kExitFileRefused;
    *reason = printable_text(cl.path) + ": the update file is refused: " + printable_text(refusal);
    return "";
  }
  *status = kExitComplete;
  return cl.path;
}

// The instruments of this command: those named, or with --all those found.
int members_of(const RunOptions& options, std::vector<FleetMember>* members, std::string* reason) {
  if (!options.all) {
    *members = named_members(options);
    return kExitComplete;
  }
  std::vector<FoundInstrument> found;
  const int status = find_instruments(options, &found, reason);
  if (status != kExitComplete) return status;
  for (const FoundInstrument& f : found) {
    if (f.serial) {
      members->push_back(serial_member(f.name));
    } else {
      // By the ids found (a name may fit more than one device), as --list numbers them.
      members->push_back(midi_member(std::to_string(f.midi_out), std::to_string(f.midi_in)));
    }
  }
  if (!options.quiet && !options.json)
    output_line(kStderr, "xrupdate: --all: " + std::to_string(members->size()) + " instrument" +
                             (members->size() == 1 ? "" : "s") + " found");
  return kExitComplete;
}

// Two members that name one device are a usage error.
int check_one_device_each(const std::vector<FleetMember>& members, std::string* reason) {
  std::map<std::string, const FleetMember*> seen;
  for (const FleetMember& member : members) {
    std::vector<std::string> ids;
    const int status = member_identities(member, &ids, reason);
    if (status != 0) {
      *reason = member.label + ": " + *reason;
      return status;
    }
    for (const std::string& id : ids) {
      auto [at, fresh] = seen.emplace(id, &member);
      if (fresh) continue;
      *reason = at->second->label == member.label
                    ? member.label + " is named twice; each instrument is named once"
                    : at->second->label + " and " + member.label + " name one device; each instrument is named once";
      return kExitUsage;
    }
  }
  return kExitComplete;
}

}  // namespace

int run_fleet(const RunOptions& options) {
  HeadlessShow quiet_show;
  quiet_show.lines = quiet_show.progress = quiet_show.boxes = false;
  if (!headless_begin(quiet_show)) {
    std::fprintf(stderr, "xrupdate: cannot set up the signal handling\n");
    return kExitStartup;
  }
  int status = kExitComplete;
  std::string reason;
  FileHandle held = kInvalidFile;
  const std::string file = checked_file(options, &held, &status, &reason);
  std::vector<FleetMember> members;
  // The settings name the devices behind COM1..COM4.
  if (status == kExitComplete && !derive_inifile(options.ini)) {
    status = kExitStartup;
    reason = "the settings file's path is longer than 255 characters, or no home folder is known";
  }
  if (status == kExitComplete) {
    get_initial();
    status = members_of(options, &members, &reason);
  }
  if (status == kExitComplete) status = check_one_device_each(members, &reason);
  if (status != kExitComplete) {
    status = refuse(options, status, file, printable_text(reason));
    file_close(held);
    headless_end();
    return status;
  }
  FleetView view = view_for(options);
  view.file = file;
  std::vector<Run> runs(members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    runs[i].member = members[i];
    std::string why;
    if (headless_stop_asked()) {
      runs[i].state = MemberState{false, true, kExitAborted, "aborted before its run began", 0, 0, 0, -1};
    } else if (!start_run(options, file, static_cast<int>(held), &runs[i], static_cast<int>(i) + 1, &why)) {
      runs[i].state = MemberState{false, true, kExitStartup, why, 0, 0, 0, -1};
    }
  }
  run_side_by_side(view, &runs);
  file_close(held);
  status = tell_end(view, runs, file);
  headless_end();
  return status;
}
