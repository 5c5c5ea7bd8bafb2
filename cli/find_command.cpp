#include "cli/find_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/headless_run.h"
#include "support/json_text.h"
#include "cli/output_writer.h"
#include "cli/run_report.h"
#include "cli/serial_scan.h"
#include "engine/update_file.h"
#include "link/serial_devices.h"
#include "support/clock.h"
#include "support/support_log.h"
#include "ui/link_choice.h"
#include "ui/notice_queue.h"
#include "support/printable.h"
#include "ui/program_startup.h"

namespace {

// The devices --find tries: the serial devices (or the ones named), then each
// MIDI output/input pair of one name.
struct Candidates {
  std::vector<LinkTarget> serial;
  std::vector<LinkTarget> midi;
  std::vector<std::string> midi_names;
};

Candidates candidates(const RunOptions& options) {
  Candidates found;
  auto add_serial = [&](const std::string& device) {
    LinkChoice choice;
    choice.serial = true;
    choice.serial_device = device;
    found.serial.push_back(link_choice_target(choice));
  };
  for (const std::string& device : options.ports) add_serial(device);
  if (!options.ports.empty()) return found;
  std::vector<std::string> targets;
  for (const SerialPresent& device : serial_devices_present("/dev")) {
    // A link in /dev/serial/by-id to a device already tried is not tried twice.
    bool seen = false;
    for (const std::string& t : targets) seen = seen || (!device.target.empty() && t == device.target);
    if (seen) continue;
    targets.push_back(device.path);
    add_serial(device.path);
  }
  const std::vector<MidiPresent> ins = midi_devices_present(false);
  for (const MidiPresent& out : midi_devices_present(true)) {
    for (const MidiPresent& in : ins) {
      if (in.name != out.name) continue;
      LinkChoice choice;
      choice.midi_out = out.id;
      choice.midi_in = in.id;
      found.midi.push_back(link_choice_target(choice));
      found.midi_names.push_back(out.name);
      break;
    }
  }
  return found;
}

bool stop_asked() { return headless_stop_asked(); }

// One instrument found: a line of text, or its JSON object.
void tell_found(const RunOptions& options, const LinkTarget& link, const std::string& name, const int versions[3]) {
  if (options.json) {
    JsonObject object;
    object.text("command", "find").raw("link", link_json(link)).raw("versions", versions_json(versions));
    output_line(kStdout, object.str());
  } else if (link.devtype == kLinkSerial) {
    output_line(kStdout, "serial " + printable_text(link.device) + ": " + versions_line(versions));
  } else {
    output_line(kStdout, "midi \"" + printable_text(name) + "\" (out " + std::to_string(link.midi_out) + ", in " +
                             std::to_string(link.midi_in) + "): " + versions_line(versions));
  }
}

// How the search went: the devices tried and answered, and the outcome.
struct FindTally {
  int tried = 0;
  int answered = 0;
  int status = kExitComplete;
  std::string reason;
  // --batch --all: what answered is gathered here and nothing is told per device.
  std::vector<FoundInstrument>* collect = nullptr;
};

// A --port device path the link cannot hold is a usage error.
void check_port_paths(const RunOptions& options, FindTally* tally) {
  for (const std::string& device : options.ports) {
    if (com_port_number(device.c_str()) == 0 && device.size() >= static_cast<size_t>(kLinkDeviceSize)) {
      tally->reason = "--port: the device path is longer than " + std::to_string(kLinkDeviceSize - 1) + " bytes";
      tally->status = kExitUsage;
    }
  }
}

// The serial devices, all at once: each that answers is told, each that does
// not is told why (with --first, not those passed over once one has answered).
void scan_serial_devices(const RunOptions& options, const std::vector<LinkTarget>& devices, FindTally* tally) {
  const std::vector<ScanResult> results =
      serial_scan(devices, options.timeout_ms, options.first, stop_asked, notices_wake_fd());
  bool any_answered = false;
  for (const ScanResult& r : results) any_answered = any_answered || r.answered;
  for (const ScanResult& r : results) {
    const std::string device = printable_text(r.link.device);
    if (r.tried) ++tally->tried;
    if (r.answered) {
      ++tally->answered;
      write_log("Version request on %s: %s", device.c_str(), versions_line(r.versions).c_str());
      if (tally->collect != nullptr) {
        tally->collect->push_back(FoundInstrument{true, r.link.device, -1, -1});
      } else {
        tell_found(options, r.link, "", r.versions);
      }
    } else {
      if (r.tried && !(options.first && any_answered))
        write_log("Version request on %s: %s", device.c_str(), printable_text(r.why).c_str());
      const bool passed_over = options.first && any_answered && r.tried;  // --first: not waited for
      if (!passed_over && tally->collect == nullptr)
        output_line(kStderr, "xrupdate: " + device + ": " + r.why);
    }
  }
}

// MIDI pairs one after another, each with the same short time-out.
void ask_midi_pairs(const RunOptions& options, const Candidates& found, FindTally* tally) {
  for (size_t i = 0; i < found.midi.size(); ++i) {
    if (headless_stop_asked() || (options.first && tally->answered > 0)) break;
    ++tally->tried;
    const HeadlessResult result = headless_transfer("", found.midi[i], kScopeVersionsOnly, now_ms() + options.timeout_ms);
    int versions[3];
    if (result.status == kExitComplete && tfr_target_versions(versions)) {
      ++tally->answered;
      if (tally->collect != nullptr) {
        tally->collect->push_back(
            FoundInstrument{false, found.midi_names[i], found.midi[i].midi_out, found.midi[i].midi_in});
      } else {
        tell_found(options, found.midi[i], found.midi_names[i], versions);
      }
    } else if (!headless_stop_asked() && tally->collect == nullptr) {
      output_line(kStderr, "xrupdate: MIDI \"" + printable_text(found.midi_names[i]) + "\": " +
                               (result.reason.empty() ? std::string("no valid answer") : result.reason));
    }
  }
}

// Every device present asked in turn; the outcome from what answered.
void search_devices(const RunOptions& options, FindTally* tally) {
  const Candidates found = candidates(options);
  if (found.serial.empty() && found.midi.empty()) {
    tally->reason = "no serial device and no MIDI output/input pair with the same name is present";
    tally->status = kExitLinkNotOpened;
    return;
  }
  scan_serial_devices(options, found.serial, tally);
  ask_midi_pairs(options, found, tally);
  if (headless_stop_asked()) {
    tally->status = kExitAborted;
    tally->reason = "stopped (Ctrl-C, SIGTERM or SIGQUIT)";
  } else if (tally->tried == 0) {
    tally->status = kExitLinkNotOpened;
    tally->reason = "no device to try";
  } else if (tally->answered == 0) {
    tally->status = kExitDeviceError;
    tally->reason = "no instrument answered";
  }
}

// The search's one summary: a JSON object, or a line when it did not end well.
void tell_summary(const RunOptions& options, const FindTally& tally) {
  if (options.json) {
    JsonObject summary;
    summary.text("command", "find").number("tried", tally.tried).number("answered", tally.answered)
        .number("exit", tally.status).text("outcome", exit_status_word(tally.status));
    if (tally.status != kExitComplete) summary.text("reason", tally.reason.c_str());
    output_line(kStdout, summary.str());
  } else if (tally.status != kExitComplete) {
    output_line(kStderr, "xrupdate: --find: " + tally.reason);
  }
}

}  // namespace

namespace {

// The search with the program started for it (its settings read, nothing saved).
void run_search(const RunOptions& options, FindTally* tally) {
  check_port_paths(options, tally);
  const bool started = tally->status == kExitComplete && derive_inifile(options.ini) && program_startup(kProbeNone);
  if (tally->status == kExitComplete && !started) {
    tally->reason = "the program could not start";
    tally->status = kExitStartup;
  }
  if (tally->status == kExitComplete) search_devices(options, tally);
  if (started) {
    free_tfr();  // nothing of the settings changes: they are not saved
    close_log();
  }
}

}  // namespace

int run_find(const RunOptions& options) {
  HeadlessShow show;
  show.lines = false;
  show.progress = false;
  show.boxes = false;  // a device that does not open is told below, once
  if (!headless_begin(show)) {
    std::fprintf(stderr, "xrupdate: cannot set up the signal handling\n");
    return kExitStartup;
  }
  FindTally tally;
  run_search(options, &tally);
  tell_summary(options, tally);
  headless_end();
  return tally.status;
}

int find_instruments(const RunOptions& options, std::vector<FoundInstrument>* found, std::string* reason) {
  FindTally tally;
  tally.collect = found;
  HeadlessShow show;
  show.lines = show.progress = show.boxes = false;
  headless_show(show);
  run_search(options, &tally);
  *reason = tally.reason;
  return tally.status;
}
