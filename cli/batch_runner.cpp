#include "cli/batch_runner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <cstdio>
#include <string>

#include "cli/fleet_members.h"
#include "cli/headless_run.h"
#include "support/json_text.h"
#include "cli/output_writer.h"
#include "cli/run_report.h"
#include "support/printable.h"
#include "engine/file_io.h"
#include "engine/transfer.h"
#include "engine/update_file.h"
#include "link/serial_devices.h"
#include "support/clock.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/link_choice.h"
#include "ui/notice_queue.h"
#include "ui/program_startup.h"

namespace {

const char* command_word(RunCommand command) {
  switch (command) {
    case kRunQuery: return "query";
    case kRunDryRun: return "dry-run";
    default: return "batch";
  }
}

struct RunReport {
  int status = kExitComplete;
  std::string reason;   // why it did not end well
  bool linked = false;  // the link was opened (its versions may be known)
  LinkTarget link;
  HeadlessResult result;
  const char* verified = nullptr;  // --verify: "verified", "version-differs", "no-answer", "stopped"
  int file_version = 0;
  // The versions the update's own version check read (the verification's tries overwrite the engine's).
  bool had_versions = false;
  int versions[3] = {};
  bool verify_answered = false;
  int installed[3] = {};  // what the instrument reported when verified
};

// The one outcome of the run: the JSON object, or the words that tell it.
void report(const RunOptions& options, const char* file, const RunReport& run) {
  output_progress("");  // nothing of the run comes after its outcome, not even on a terminal
  int versions[3];
  bool have_versions = run.linked && tfr_target_versions(versions);
  if (run.verified != nullptr) {
    have_versions = run.had_versions;
    for (int i = 0; i < 3; ++i) versions[i] = run.versions[i];
  }
  const bool query = options.command == kRunQuery;
  if (options.json) {
    JsonObject object;
    object.text("command", command_word(options.command));
    if (options.member != 0) object.text("device", instrument_label(options).c_str());
    if (!query) object.text("file", file);
    object.number("exit", run.status).text("outcome", exit_status_word(run.status));
    if (options.command == kRunDryRun) object.boolean("accepted", run.status == kExitComplete);
    if (run.linked) object.raw("link", link_json(run.link));
    if (have_versions) object.raw("versions", versions_json(versions));
    if (options.command == kRunBatch && run.result.packets_total > 0) {
      JsonObject packets;
      packets.number("done", run.result.packets_done).number("total", run.result.packets_total);
      object.raw("packets", packets.str());
    }
    if (run.verified != nullptr) {
      JsonObject verify;
      verify.text("result", run.verified).text("file", version_text(run.file_version).c_str());
      if (run.verify_answered) verify.raw("installed", versions_json(run.installed));
      object.raw("verify", verify.str());
    }
    if (run.status != kExitComplete) object.text("reason", run.reason.empty() ? exit_status_word(run.status) : run.reason.c_str());
    output_line(kStdout, object.str());
    return;
  }
  if (run.status == kExitComplete) {
    if (query && have_versions) {
      for (int i = 0; i < 3; ++i) output_line(kStdout, std::string(version_label(i)) + ": " + version_text(versions[i]));
    } else if (options.command == kRunDryRun) {
      output_line(kStdout, "Dry run: the update would be accepted.");
    } else if (options.quiet) {
      output_line(kStdout, run.verified != nullptr ? "Update complete and verified." : "Update complete.");
    } else if (run.verified != nullptr) {
      output_line(kStdout, "Verified: the instrument now has version " + version_text(run.file_version) + ".");
    }
    return;
  }
  if (run.status == kExitAborted && options.command == kRunBatch && run.verified == nullptr) {
    const int done = run.result.packets_done, total = run.result.packets_total;
    const std::string waits = "; the instrument may wait in update mode until the update is run again";
    if (total > 0) {
      output_line(kStderr, "xrupdate: the update was aborted after packet " + std::to_string(done) + " of " +
                               std::to_string(total) + waits);
    } else if (run.result.set_mode_sent) {
      output_line(kStderr, "xrupdate: the update was aborted after Set Mode went out, before the data packets began" + waits);
    } else {
      output_line(kStderr, "xrupdate: the update was aborted before the data packets began");
    }
    return;
  }
  const std::string reason = run.reason.empty() ? exit_status_word(run.status) : run.reason;
  if (options.command == kRunDryRun) {
    output_line(kStderr, "xrupdate: the update would not be accepted: " + reason);
  } else {
    output_line(kStderr, "xrupdate: " + reason);
  }
}

// One of several runs: how it ended, as values for the runner (the last record).
void tell_runner(const RunOptions& options, const RunReport& run) {
  if (options.member == 0) return;
  const std::string reason = run.status == kExitComplete ? "" : run.reason.empty() ? exit_status_word(run.status) : run.reason;
  output_record("E", std::to_string(run.status) + "\t" + std::to_string(run.result.packets_done) + "\t" +
                         std::to_string(run.result.packets_total) + "\t" + printable_text(reason),
                false);
}

// The end of a run that started: the last words, then the output waited for.
int end_run(const RunOptions& options, const RunReport& run) {
  tell_runner(options, run);
  headless_end();
  return run.status;
}

// What the run shows while it goes: the display lines, the progress, the boxes.
HeadlessShow show_for(const RunOptions& options) {
  HeadlessShow show;
  show.lines = !options.quiet && !options.json && options.command != kRunQuery;
  show.lines_on_stdout = true;
  // -q keeps the progress where it is one line that goes away: on a terminal.
  show.progress = options.command == kRunBatch && !options.json && (!options.quiet || isatty(STDERR_FILENO) == 1);
  show.boxes = true;
  if (options.member != 0) {
    // The runner shows the progress from its values; a run's lines go to it whole.
    show.progress = false;
    show.values = true;
  }
  return show;
}

// The link for this run and the update file. `file` is the file as reported,
// by its full path also when it cannot be used. run->status says whether both are usable.
void read_link_and_file(const RunOptions& options, LinkChoice* choice, RunReport* run, std::string* file) {
  const bool query = options.command == kRunQuery;
  *file = query ? "" : options.operands[0];
  run->status = link_choice_read(options, choice, &run->reason);
  if (run->status != kExitComplete) {
    run->reason = printable_text(run->reason);
    output_line(kStderr, "xrupdate: " + run->reason);
  }
  if (run->status == kExitComplete && !query) {
    const char* args[2] = {"xrupdate", options.operands[0]};
    analyze_cmdline(&cl, 2, args);
    if (cl.path[0] == '\0') {
      run->status = kExitUsage;
      run->reason = printable_text(options.operands[0]) + ": " + file_operand_problem(options.operands[0]);
      output_line(kStderr, "xrupdate: " + run->reason);
    } else {
      *file = cl.path;
    }
  }
  if (run->status != kExitComplete && !query && options.operands[0][0] != '/') {
    // A file named relative to here is reported by its full path all the same.
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) *file = std::string(cwd) + "/" + options.operands[0];
  }
}

// After start-up: the link opened, then the update, the check or the question
// on it, unless the port does not open or a stop came first.
void transfer_on_link(const RunOptions& options, const LinkChoice& choice, RunReport* run) {
  const bool query = options.command == kRunQuery;
  run->link = link_choice_target(choice);
  char why[400] = "";
  if (startup_port_problem()[0] != '\0') {
    // The configured port: start-up has told why, and no other is used.
    write_log("Update Failed : %s", printable_text(startup_port_problem()).c_str());
    run->reason = startup_port_problem();
    run->status = kExitLinkNotOpened;
  } else if (choice.serial && !serial_device_probe(run->link.device, why, sizeof why)) {
    // The port named for this run, in one line that names it as it was given.
    std::string named = "--port " + choice.serial_device;
    if (com_port_number(choice.serial_device.c_str()) != 0) named += std::string(" (") + run->link.device + ")";
    run->reason = printable_text(named + ": " + why + "; no other port is used");
    write_log("Update Failed : %s", run->reason.c_str());
    run->status = kExitLinkNotOpened;
  } else if (headless_stop_asked()) {
    output_line(kStderr, "Stopping the update...");
    write_log("User aborted update");
    run->status = kExitAborted;
    run->reason = "aborted (Ctrl-C, SIGTERM or SIGQUIT)";
  } else {
    if (!options.quiet) output_line(kStderr, "xrupdate: link: " + printable_text(link_in_use_text(run->link)));
    run->linked = true;
    const TransferScope scope = options.command == kRunBatch ? kScopeUpdate
                                : query                       ? kScopeVersionsOnly
                                                              : kScopeCheckOnly;
    run->result = headless_transfer(query ? "" : cl.path, run->link, scope);
    run->status = run->result.status;
    run->reason = run->result.reason;
  }
}

// The words of a verification that did not find the file's version.
std::string verify_failure(const RunOptions& options, const char* kind, int installed, int file_version) {
  if (installed < 0) {
    return "the update completed, but the instrument did not answer the version request within " +
           std::to_string(options.verify_timeout_s) + " s; power-cycle it, then run xrupdate --query";
  }
  return std::string("the update completed, but the instrument reports version ") + version_text(installed) +
         " for " + kind + ", not the file's " + version_text(file_version);
}

// One version request, within `until`: the versions when the instrument answered.
bool ask_versions(const LinkTarget& link, std::int64_t until, int versions[3], bool* link_opened) {
  const HeadlessResult r = headless_transfer("", link, kScopeVersionsOnly, until);
  *link_opened = r.status != kExitLinkNotOpened;
  return r.status == kExitComplete && tfr_target_versions(versions);
}

// --verify: after "Update Complete!" the versions are asked again until the
// instrument answers or the time is up (it may restart after an update), and
// the installed version of the file's kind must be the file's.
void verify_update(const RunOptions& options, RunReport* run) {
  run->file_version = datafile.version;
  run->had_versions = tfr_target_versions(run->versions) != 0;
  const int attr = datafile.attr_code;
  if (!options.quiet && !options.json)
    output_line(kStderr, "xrupdate: verifying: asking the instrument for its versions (up to " +
                             std::to_string(options.verify_timeout_s) + " s)");
  write_log("Verifying the update: the versions are asked again.");
  HeadlessShow show = show_for(options);
  HeadlessShow silent = show;
  silent.lines = silent.boxes = false;  // a restarting instrument's silence is no news
  headless_show(silent);
  const std::int64_t deadline = now_ms() + options.verify_timeout_s * 1000LL;
  int versions[3] = {-1, -1, -1};
  bool answered = false;
  while (!answered && !headless_stop_asked() && now_ms() < deadline) {
    bool opened = true;
    answered = ask_versions(run->link, std::min(deadline, now_ms() + 3000), versions, &opened);
    // A port that went away with the restart comes back: look again shortly.
    if (!answered && !opened && !headless_stop_asked()) {
      pollfd p{notices_wake_fd(), POLLIN, 0};
      poll(&p, 1, 500);
      notices_drain();
    }
  }
  headless_show(show);
  run->verify_answered = answered;
  for (int v = 0; v < 3; ++v) run->installed[v] = versions[v];
  const int installed = answered ? versions[attr == 3 ? 0 : attr] : -1;
  bool same = answered;
  for (int v = 0; v < 3; ++v) same = same && (versions[v] == run->file_version || (attr != 3 && v != attr));
  if (same) {
    run->verified = "verified";
    write_log("Verified: the instrument has version %s.", version_text(run->file_version).c_str());
    return;
  }
  if (headless_stop_asked()) {
    run->verified = "stopped";
    run->status = kExitAborted;
    run->reason = "the update completed; its verification was stopped";
  } else {
    run->verified = answered ? "version-differs" : "no-answer";
    run->status = kExitDeviceError;
    run->reason = verify_failure(options, DispFiletype[attr & 3], installed, run->file_version);
  }
  write_log("Not verified: %s", run->reason.c_str());
}

}  // namespace

int run_on_link(const RunOptions& options) {
  if (options.member != 0) {
    output_as_records();
    set_log_tag(bracket_safe(instrument_label(options)).c_str());
    const std::string copy = options.member == 1 ? "test.dat" : "test-" + std::to_string(options.member) + ".dat";
    tfr_set_packet_copy(copy.c_str());
    // The file the runner checked, on its descriptor: the same file for every
    // run, whatever its path names by now; shared with the other runs.
    file_open_shared_from_now();
    file_open_through(kMemberFileFd);
  }
  if (!headless_begin(show_for(options))) {
    std::fprintf(stderr, "xrupdate: cannot set up the signal handling\n");
    return kExitStartup;
  }
  RunReport run;
  std::string file;
  LinkChoice choice;
  read_link_and_file(options, &choice, &run, &file);
  if (run.status != kExitComplete) {
    if (options.json) report(options, file.c_str(), run);
    return end_run(options, run);
  }
  if (!derive_inifile(options.ini)) {
    run.reason = "the settings file's path is longer than 255 characters, or no home folder is known";
    output_line(kStderr, "xrupdate: " + run.reason);
    run.status = kExitStartup;
    return end_run(options, run);
  }
  // A named link opens that device alone; the configured one is not exchanged
  // for another port (with two instruments connected that would update the wrong one).
  if (!program_startup(choice.names_link() ? kProbeNone : kProbeKeep)) {
    close_log();
    run.status = kExitStartup;
    run.reason = "the program could not start";
    return end_run(options, run);
  }
  transfer_on_link(options, choice, &run);
  if (options.verify && options.command == kRunBatch && run.status == kExitComplete) verify_update(options, &run);
  // An update saves the settings as the front end does; a check or a question changes nothing.
  if (options.command == kRunBatch) {
    program_shutdown(nullptr);
  } else {
    free_tfr();
  }
  close_log();
  report(options, file.c_str(), run);
  return end_run(options, run);
}
