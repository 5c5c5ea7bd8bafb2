#include "ui/term/device_survey.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include "link/midi_driver.h"
#include "ui/term/json_text.h"
#include "ui/term/link_choice.h"
#include "ui/term/serial_devices.h"

std::vector<SerialPresent> serial_devices_present(const char* dev) {
  std::vector<SerialPresent> found;
  for (const std::string& path : serial_device_candidates(dev)) found.push_back(SerialPresent{path, ""});
  const std::string by_id = std::string(dev) + "/serial/by-id";
  std::vector<std::string> links;
  if (DIR* dir = ::opendir(by_id.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      links.push_back(by_id + "/" + entry->d_name);
      if (links.size() >= static_cast<size_t>(kSerialDeviceMax)) break;
    }
    ::closedir(dir);
  }
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    char target[PATH_MAX];
    found.push_back(SerialPresent{link, ::realpath(link.c_str(), target) != nullptr ? target : "(broken link)"});
  }
  return found;
}

std::vector<MidiPresent> midi_devices_present(bool output) {
  std::vector<MidiPresent> found;
  const unsigned count = output ? midi_driver().out_num_devs() : midi_driver().in_num_devs();
  for (unsigned id = 0; id < count; ++id) {
    std::string name;
    if (midi_device_name(output, static_cast<int>(id), &name)) found.push_back(MidiPresent{static_cast<int>(id), name});
  }
  return found;
}

int run_list(const RunOptions& options) {
  std::vector<SerialPresent> serial = serial_devices_present("/dev");
  std::string serial_json = "[";
  for (const SerialPresent& device : serial) {
    char why[400] = "";
    const bool opens = serial_device_probe(1, device.path.c_str(), why, sizeof why) == 1;
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
    std::printf("serial %s: %s\n", shown.c_str(), opens ? "opens" : why);
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
      std::printf("midi %s %d: %s\n", output ? "out" : "in", device.id, device.name.c_str());
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
