#include "cli/find_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/headless_run.h"
#include "cli/json_text.h"
#include "cli/output_writer.h"
#include "cli/run_report.h"
#include "engine/update_file.h"
#include "link/serial_devices.h"
#include "support/clock.h"
#include "support/support_log.h"
#include "ui/link_choice.h"
#include "ui/program_startup.h"

namespace {

constexpr int kFindTimeoutMs = 2000;  // per device: the version reply comes in a few ms

// One device that --find tries: a serial path, or a MIDI pair.
struct FindTarget {
  std::string device;     // the serial path (or COMn), or the MIDI pair's name
  int out = -1, in = -1;  // the MIDI pair
};

std::vector<FindTarget> candidates(const RunOptions& options) {
  std::vector<FindTarget> targets;
  for (const std::string& path : options.ports) targets.push_back(FindTarget{path});
  if (!options.ports.empty()) return targets;
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
  return targets;
}

// The link of one candidate: a serial device (COM1..COM4 are the settings'
// devices) or a MIDI pair, with the settings' other values.
LinkTarget target_link(const FindTarget& t) {
  LinkChoice choice;
  if (t.out < 0) {
    choice.serial = true;
    choice.serial_device = t.device;
  } else {
    choice.midi_out = t.out;
    choice.midi_in = t.in;
  }
  return link_choice_target(choice);
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
  const std::vector<FindTarget> targets = candidates(options);
  if (targets.empty()) {
    output_line(kStderr, "xrupdate: --find: no serial device and no MIDI output/input pair with the same name is present");
    headless_end();
    return kExitLinkNotOpened;
  }
  for (const FindTarget& t : targets) {
    if (t.out < 0 && com_port_number(t.device.c_str()) == 0 && t.device.size() >= static_cast<size_t>(kLinkDeviceSize)) {
      output_line(kStderr, "xrupdate: --port: the device path is longer than " + std::to_string(kLinkDeviceSize - 1) + " bytes");
      headless_end();
      return kExitUsage;
    }
  }
  if (!derive_inifile(options.ini) || !program_startup(kProbeNone)) {
    output_line(kStderr, "xrupdate: the program could not start");
    close_log();
    headless_end();
    return kExitStartup;
  }
  int found = 0;
  for (const FindTarget& t : targets) {
    if (headless_stop_asked()) break;
    const LinkTarget link = target_link(t);
    const std::string where = t.out < 0 ? printable(link.device) : printable(t.device);
    if (t.out < 0) {
      char why[400] = "";
      if (!serial_device_probe(link.device, why, sizeof why)) {
        output_line(kStderr, "xrupdate: " + where + " " + why + "; not tried");
        continue;
      }
    }
    const HeadlessResult result = headless_transfer("", link, kScopeVersionsOnly, now_ms() + kFindTimeoutMs);
    int versions[3];
    if (result.status != kExitComplete || !tfr_target_versions(versions)) {
      output_line(kStderr, "xrupdate: " + where + ": no instrument answered (" +
                               (result.reason.empty() ? std::string("no valid reply") : result.reason) + ")");
      continue;
    }
    ++found;
    if (options.json) {
      JsonObject object;
      object.text("command", "find").raw("link", link_json(link)).raw("versions", versions_json(versions));
      output_line(kStdout, object.str());
    } else if (t.out < 0) {
      output_line(kStdout, "serial " + where + ": " + versions_line(versions));
    } else {
      output_line(kStdout, "midi \"" + where + "\" (out " + std::to_string(t.out) + ", in " + std::to_string(t.in) +
                               "): " + versions_line(versions));
    }
  }
  free_tfr();  // nothing of the settings changes: they are not saved
  close_log();
  int status = kExitComplete;
  if (headless_stop_asked()) {
    status = kExitAborted;
  } else if (found == 0) {
    output_line(kStderr, "xrupdate: --find: no instrument answered");
    status = kExitDeviceError;
  }
  headless_end();
  return status;
}
