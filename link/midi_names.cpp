#include "link/midi_names.h"

#include <cstring>
#include <map>

namespace {

bool caps_name(const MidiDriver& driver, bool output, unsigned id, std::string* name) {
  name->clear();
  if (output) {
    MidiOutCaps caps{};
    if (driver.out_get_caps(id, &caps) != 0) return false;
    caps.szPname[kMidiNameSize - 1] = '\0';
    *name = caps.szPname;
    return true;
  }
  MidiInCaps caps{};
  if (driver.in_get_caps(id, &caps) != 0) return false;
  caps.szPname[kMidiNameSize - 1] = '\0';
  *name = caps.szPname;
  return true;
}

// name + " #n", the name cut (not the number) so that the whole fits.
std::string numbered(const std::string& name, int n) {
  const std::string suffix = " #" + std::to_string(n);
  const size_t room = static_cast<size_t>(kMidiNameSize - 1) - suffix.size();
  return name.substr(0, room) + suffix;
}

}  // namespace

std::vector<std::string> midi_device_names(const MidiDriver& driver, bool output, std::vector<bool>* known) {
  const unsigned count = output ? driver.out_num_devs() : driver.in_num_devs();
  std::vector<std::string> names(count);
  if (known != nullptr) known->assign(count, false);
  for (unsigned id = 0; id < count; ++id) {
    const bool ok = caps_name(driver, output, id, &names[id]);
    if (known != nullptr) (*known)[id] = ok;
  }
  std::map<std::string, int> seen;
  for (std::string& name : names) {
    if (name.empty()) continue;
    const int n = ++seen[name];
    if (n > 1) name = numbered(name, n);
  }
  return names;
}

bool midi_device_name(const MidiDriver& driver, bool output, int id, std::string* name) {
  name->clear();
  if (id < 0) return false;
  std::vector<bool> known;
  const std::vector<std::string> names = midi_device_names(driver, output, &known);
  if (static_cast<size_t>(id) >= names.size() || !known[static_cast<size_t>(id)]) return false;
  *name = names[static_cast<size_t>(id)];
  return true;
}

std::string midi_name_of(bool output, int id) {
  std::string name;
  midi_device_name(midi_driver(), output, id, &name);
  return name;
}

int midi_device_of_name(const MidiDriver& driver, bool output, const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  const std::vector<std::string> names = midi_device_names(driver, output);
  for (size_t id = 0; id < names.size(); ++id) {
    if (names[id] == name) return static_cast<int>(id);
  }
  return -1;
}
