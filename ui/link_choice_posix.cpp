#include "ui/link_choice.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "link/midi_driver.h"
#include "link/midi_names.h"
#include "support/settings.h"
#include "ui/transfer_start.h"

namespace {

bool all_digits(const char* text) {
  if (*text == '\0' || std::strlen(text) > 6) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

}  // namespace

std::vector<MidiPresent> midi_devices_present(bool output) {
  std::vector<MidiPresent> found;
  std::vector<bool> known;
  const std::vector<std::string> names = midi_device_names(midi_driver(), output, &known);
  // An id the driver gives no capabilities for is not listed.
  for (size_t id = 0; id < names.size(); ++id) {
    if (known[id]) found.push_back(MidiPresent{static_cast<int>(id), names[id]});
  }
  return found;
}

int com_port_number(const char* text) {
  if (strncasecmp(text, "COM", 3) == 0 && text[3] >= '1' && text[3] <= '4' && text[4] == '\0')
    return text[3] - '0';
  return 0;
}

int com_port_of_device(const char* device) {
  for (int n = 1; n <= 4; ++n) {
    if (device[0] != '\0' && std::strcmp(com_port_device(n), device) == 0) return n;
  }
  return 0;
}

std::string link_in_use_text(const LinkTarget& link) {
  char text[kLinkDeviceSize + 2 * kMidiNameSize + 64];
  if (link.devtype == kLinkSerial && link.com_port >= 1 && link.com_port <= 4) {
    std::snprintf(text, sizeof text, "COM%d (%s) at %d baud", link.com_port, link.device, link.baud);
  } else if (link.devtype == kLinkSerial) {
    std::snprintf(text, sizeof text, "%s at %d baud", link.device, link.baud);
  } else {
    const std::string out = midi_name_of(true, link.midi_out);
    const std::string in = midi_name_of(false, link.midi_in);
    std::snprintf(text, sizeof text, "MIDI out \"%s\", in \"%s\", transfer rate %s", out.c_str(), in.c_str(),
                  xfer_rate_names[link.xferrate & 3]);
  }
  return text;
}

int midi_device_by_name(bool output, const char* name, char* why, int size, bool* ambiguous) {
  *ambiguous = false;
  const char* kind = output ? "MIDI output" : "MIDI input";
  const std::vector<std::string> names = midi_device_names(midi_driver(), output);
  const unsigned count = static_cast<unsigned>(names.size());
  // A number is the device of that number, unless the text is also (a part of)
  // another device's name: then it fits two devices and is refused. A number no
  // device has is looked for among the names.
  if (all_digits(name) && std::strtol(name, nullptr, 10) < static_cast<long>(count)) {
    const int by_number = static_cast<int>(std::strtol(name, nullptr, 10));
    for (unsigned other = 0; other < count; ++other) {
      const std::string& device = names[other];
      if (static_cast<int>(other) == by_number || device.find(name) == std::string::npos) continue;
      *ambiguous = true;
      std::snprintf(why, static_cast<size_t>(size),
                    "\"%s\" is %s number %s and also in the name of %u \"%s\"; give a name that fits one device",
                    name, kind, name, other, device.c_str());
      return -1;
    }
    return by_number;
  }
  // A whole name first; a part of a name only when no name is whole.
  for (int pass = 0; pass < 2; ++pass) {
    int found = -1;
    std::string fitting;
    for (unsigned id = 0; id < count; ++id) {
      const std::string& device = names[id];
      const bool match = pass == 0 ? device == name : device.find(name) != std::string::npos;
      if (!match) continue;
      fitting += (fitting.empty() ? "" : ", ") + std::to_string(id) + " \"" + device + "\"";
      if (found >= 0) *ambiguous = true;
      found = static_cast<int>(id);
    }
    if (*ambiguous) {
      std::snprintf(why, static_cast<size_t>(size), "\"%s\" names more than one %s (%s); give its number",
                    name, kind, fitting.c_str());
      return -1;
    }
    if (found >= 0) return found;
  }
  if (all_digits(name)) {
    std::snprintf(why, static_cast<size_t>(size), "there is no %s number %s (%u found), and none is named so",
                  kind, name, count);
  } else {
    std::snprintf(why, static_cast<size_t>(size), "no %s is named \"%s\"", kind, name);
  }
  return -1;
}

int link_choice_read(const RunOptions& options, LinkChoice* choice, std::string* why) {
  *choice = LinkChoice{};
  why->clear();
  choice->rate = options.rate;
  choice->skip_version_check = options.skip_version_check;
  if (options.ports.size() == 1) {
    const std::string& device = options.ports[0];
    // A path that does not fit is refused: a shortened one could name another device.
    if (com_port_number(device.c_str()) == 0 && device.size() >= static_cast<size_t>(kLinkDeviceSize)) {
      *why = "--port: the device path is longer than " + std::to_string(kLinkDeviceSize - 1) + " bytes";
      return 2;
    }
    choice->serial = true;
    choice->serial_device = device;
  }
  char text[400];
  bool ambiguous = false;
  if (options.midi_out != nullptr) {
    choice->midi_out = midi_device_by_name(true, options.midi_out, text, sizeof text, &ambiguous);
    if (choice->midi_out < 0) {
      *why = std::string("--midi-out: ") + text;
      return ambiguous ? 2 : 4;
    }
  }
  if (options.midi_in != nullptr) {
    choice->midi_in = midi_device_by_name(false, options.midi_in, text, sizeof text, &ambiguous);
    if (choice->midi_in < 0) {
      *why = std::string("--midi-in: ") + text;
      return ambiguous ? 2 : 4;
    }
  }
  return 0;
}

LinkTarget link_choice_target(const LinkChoice& choice) {
  LinkTarget link = settings_link_target();
  if (choice.serial) {
    link.devtype = kLinkSerial;
    const int named_port = com_port_number(choice.serial_device.c_str());
    if (named_port != 0) {
      link.com_port = named_port;
      link_target_set_device(&link, com_port_device(named_port));
    } else {
      link_target_set_device(&link, choice.serial_device.c_str());  // checked to fit
      link.com_port = com_port_of_device(link.device);
    }
  }
  if (choice.midi_out >= 0 || choice.midi_in >= 0) link.devtype = kLinkMidi;
  if (choice.midi_out >= 0) link.midi_out = choice.midi_out;
  if (choice.midi_in >= 0) link.midi_in = choice.midi_in;
  if (choice.rate >= 0) link.xferrate = choice.rate;
  if (choice.skip_version_check) link.skipver = 1;
  return link;
}
