#include "cli/batch_runner.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/headless_run.h"
#include "support/json_text.h"
#include "cli/output_writer.h"
#include "cli/run_report.h"
#include "support/printable.h"
#include "engine/update_file.h"
#include "link/serial_devices.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/link_choice.h"
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
};

// The one outcome of the run: the JSON object, or the words that tell it.
void report(const RunOptions& options, const char* file, const RunReport& run) {
  output_progress("");  // nothing of the run comes after its outcome, not even on a terminal
  int versions[3];
  const bool have_versions = run.linked && tfr_target_versions(versions);
  const bool query = options.command == kRunQuery;
  if (options.json) {
    JsonObject object;
    object.text("command", command_word(options.command));
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
      output_line(kStdout, "Update complete.");
    }
    return;
  }
  if (run.status == kExitAborted && options.command == kRunBatch) {
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

// What the run shows while it goes: the display lines, the progress, the boxes.
HeadlessShow show_for(const RunOptions& options) {
  HeadlessShow show;
  show.lines = !options.quiet && !options.json && options.command != kRunQuery;
  show.lines_on_stdout = true;
  // -q keeps the progress where it is one line that goes away: on a terminal.
  show.progress = options.command == kRunBatch && !options.json && (!options.quiet || isatty(STDERR_FILENO) == 1);
  show.boxes = true;
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

}  // namespace

int run_on_link(const RunOptions& options) {
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
    headless_end();
    return run.status;
  }
  if (!derive_inifile(options.ini)) {
    output_line(kStderr, "xrupdate: the settings file's path is longer than 255 characters, or no home folder is known");
    headless_end();
    return kExitStartup;
  }
  // A named link opens that device alone; the configured one is not exchanged
  // for another port (with two instruments connected that would update the wrong one).
  if (!program_startup(choice.names_link() ? kProbeNone : kProbeKeep)) {
    close_log();
    headless_end();
    return kExitStartup;
  }
  transfer_on_link(options, choice, &run);
  // An update saves the settings as the front end does; a check or a question changes nothing.
  if (options.command == kRunBatch) {
    program_shutdown(nullptr);
  } else {
    free_tfr();
  }
  close_log();
  report(options, file.c_str(), run);
  headless_end();
  return run.status;
}
