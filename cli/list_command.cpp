#include "cli/list_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "support/json_text.h"
#include "ui/link_choice.h"
#include "support/printable.h"
#include "link/serial_devices.h"

int run_list(const RunOptions& options) {
  std::vector<SerialPresent> serial = serial_devices_present("/dev");
  std::string serial_json = "[";
  for (const SerialPresent& device : serial) {
    char why[400] = "";
    const bool opens = serial_device_probe(device.path.c_str(), why, sizeof why) == 1;
    if (options.json) {
      JsonObject entry;
      entry.text("device", device.path.c_str());
      if (!device.target.empty()) entry.text("target", device.target.c_str());
      entry.boolean("opens", opens);
      if (!opens) entry.text("reason", why);
      serial_json += (serial_json.size() > 1 ? "," : "") + entry.str();
      continue;
    }
    std::string shown = device.path;
    if (!device.target.empty()) shown += " -> " + device.target;
    std::printf("serial %s: %s\n", printable_text(shown).c_str(), opens ? "opens" : why);
  }
  std::string midi_json[2] = {"[", "["};
  for (int direction = 0; direction < 2; ++direction) {
    const bool output = direction == 0;
    for (const MidiPresent& device : midi_devices_present(output)) {
      if (options.json) {
        JsonObject entry;
        entry.number("number", device.id).text("name", device.name.c_str());
        midi_json[direction] += (midi_json[direction].size() > 1 ? "," : "") + entry.str();
        continue;
      }
      std::printf("midi %s %d: %s\n", output ? "out" : "in", device.id, printable_text(device.name).c_str());
    }
  }
  if (options.json) {
    JsonObject list;
    list.text("command", "list").raw("serial", serial_json + "]").raw("midi_out", midi_json[0] + "]")
        .raw("midi_in", midi_json[1] + "]");
    std::printf("%s\n", list.str().c_str());
  } else if (serial.empty() && midi_devices_present(true).empty() && midi_devices_present(false).empty()) {
    std::printf("No serial or MIDI device is present.\n");
  }
  std::fflush(stdout);
  return 0;
}
