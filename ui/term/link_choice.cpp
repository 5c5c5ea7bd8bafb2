#include "ui/term/link_choice.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "link/midi_driver.h"
#include "support/settings.h"

namespace {

struct Choice {
  bool active = false;
  int serial_port = 0;       // 1..4 when a serial port was chosen
  char serial_path[kComDevicePathSize] = "";  // the device given as a path, else ""
  int midi_out = -2;         // -2 when not chosen
  int midi_in = -2;
  int rate = -1;
  bool skip_version_check = false;
};

struct Loaded {
  bool kept = false;
  int devtype, port, mididevnum_out, mididevnum_in, xferrate, skipver;
  char com_device_path[4][kComDevicePathSize];
};

Choice g_choice;
Loaded g_loaded;   // the settings as read
Loaded g_applied;  // the same after the choice: a value changed since (Config...) is the user's

template <typename T>
void put_back(T* field, const T& applied, const T& loaded) {
  if (*field == applied) *field = loaded;
}

Loaded record_now() {
  Loaded now;
  now.kept = true;
  now.devtype = devtype;
  now.port = port;
  now.mididevnum_out = mididevnum_out;
  now.mididevnum_in = mididevnum_in;
  now.xferrate = xferrate;
  now.skipver = skipver;
  std::memcpy(now.com_device_path, com_device_path, sizeof com_device_path);
  return now;
}

bool all_digits(const char* text) {
  if (*text == '\0' || std::strlen(text) > 6) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

}  // namespace

bool midi_device_name(bool output, int id, std::string* name) {
  name->clear();
  if (id < 0) return false;
  if (output) {
    MidiOutCaps caps = {};
    if (midi_driver().out_get_caps(static_cast<unsigned>(id), &caps) != 0) return false;
    caps.szPname[kMidiNameSize - 1] = '\0';
    *name = caps.szPname;
  } else {
    MidiInCaps caps = {};
    if (midi_driver().in_get_caps(static_cast<unsigned>(id), &caps) != 0) return false;
    caps.szPname[kMidiNameSize - 1] = '\0';
    *name = caps.szPname;
  }
  return true;
}

int com_port_number(const char* text) {
  if (strncasecmp(text, "COM", 3) == 0 && text[3] >= '1' && text[3] <= '4' && text[4] == '\0')
    return text[3] - '0';
  return 0;
}

std::string link_in_use_text() {
  char text[kComDevicePathSize + 2 * kMidiNameSize + 64];
  if (devtype == 0 && port >= 1 && port <= 4) {
    std::snprintf(text, sizeof text, "COM%d (%s) at %d baud", port, com_device_path[port - 1],
                  rate_table[rate_num]);
  } else {
    std::string out, in;
    midi_device_name(true, mididevnum_out, &out);
    midi_device_name(false, mididevnum_in, &in);
    std::snprintf(text, sizeof text, "MIDI out \"%s\", in \"%s\", transfer rate %s", out.c_str(), in.c_str(),
                  xfer_rate_names[xferrate & 3]);
  }
  return text;
}

int midi_device_by_name(bool output, const char* name, char* why, int size, bool* ambiguous) {
  *ambiguous = false;
  const char* kind = output ? "MIDI output" : "MIDI input";
  const unsigned count = output ? midi_driver().out_num_devs() : midi_driver().in_num_devs();
  if (all_digits(name)) {
    const long id = std::strtol(name, nullptr, 10);
    if (id < static_cast<long>(count)) return static_cast<int>(id);
    std::snprintf(why, static_cast<size_t>(size), "there is no %s number %s (%u found)", kind, name, count);
    return -1;
  }
  // A whole name first; a part of a name only when no name is whole.
  for (int pass = 0; pass < 2; ++pass) {
    int found = -1;
    std::string names;
    for (unsigned id = 0; id < count; ++id) {
      std::string device;
      midi_device_name(output, static_cast<int>(id), &device);
      const bool match = pass == 0 ? device == name : device.find(name) != std::string::npos;
      if (!match) continue;
      names += (names.empty() ? "" : ", ") + std::to_string(id) + " \"" + device + "\"";
      if (found >= 0) *ambiguous = true;
      found = static_cast<int>(id);
    }
    if (*ambiguous) {
      std::snprintf(why, static_cast<size_t>(size), "\"%s\" names more than one %s (%s); give its number",
                    name, kind, names.c_str());
      return -1;
    }
    if (found >= 0) return found;
  }
  std::snprintf(why, static_cast<size_t>(size), "no %s is named \"%s\"", kind, name);
  return -1;
}

int link_choice_set(const RunOptions& options, FILE* err) {
  link_choice_clear();
  Choice choice;
  choice.rate = options.rate;
  choice.skip_version_check = options.skip_version_check;
  if (options.ports.size() == 1) {
    const char* device = options.ports[0].c_str();
    choice.serial_port = com_port_number(device);
    if (choice.serial_port == 0) {
      // A path that does not fit is refused: a shortened one could name another device.
      if (std::strlen(device) >= sizeof choice.serial_path) {
        std::fprintf(err, "xrupdate: --port: the device path is longer than %d bytes\n",
                     kComDevicePathSize - 1);
        return 2;
      }
      std::snprintf(choice.serial_path, sizeof choice.serial_path, "%s", device);
      choice.serial_port = 1;
    }
  }
  char why[400];
  bool ambiguous = false;
  if (options.midi_out != nullptr) {
    choice.midi_out = midi_device_by_name(true, options.midi_out, why, sizeof why, &ambiguous);
    if (choice.midi_out < 0) {
      std::fprintf(err, "xrupdate: --midi-out: %s\n", why);
      return ambiguous ? 2 : 4;
    }
  }
  if (options.midi_in != nullptr) {
    choice.midi_in = midi_device_by_name(false, options.midi_in, why, sizeof why, &ambiguous);
    if (choice.midi_in < 0) {
      std::fprintf(err, "xrupdate: --midi-in: %s\n", why);
      return ambiguous ? 2 : 4;
    }
  }
  choice.active = true;
  g_choice = choice;
  return 0;
}

void link_choice_clear() { g_choice = Choice{}; }

bool link_choice_explicit() {
  return g_choice.active && (g_choice.serial_port != 0 || g_choice.midi_out != -2 || g_choice.midi_in != -2);
}

void link_choice_apply() {
  if (!g_choice.active) return;
  g_loaded = record_now();

  if (g_choice.serial_port != 0) {
    devtype = 0;
    port = g_choice.serial_port;
    if (g_choice.serial_path[0] != '\0') {
      // A device already behind a port keeps that port's number.
      port = 0;
      for (int n = 1; n <= 4 && port == 0; ++n) {
        if (std::strcmp(com_device_path[n - 1], g_choice.serial_path) == 0) port = n;
      }
      if (port == 0) {
        port = 1;
        std::memcpy(com_device_path[0], g_choice.serial_path, sizeof g_choice.serial_path);
      }
    }
  }
  if (g_choice.midi_out != -2 || g_choice.midi_in != -2) devtype = 1;
  if (g_choice.midi_out != -2) mididevnum_out = g_choice.midi_out;
  if (g_choice.midi_in != -2) mididevnum_in = g_choice.midi_in;
  if (g_choice.rate >= 0) xferrate = g_choice.rate;
  if (g_choice.skip_version_check) skipver = 1;
  g_applied = record_now();
}

void link_choice_restore() {
  if (!g_loaded.kept) return;
  g_loaded.kept = false;
  put_back(&devtype, g_applied.devtype, g_loaded.devtype);
  put_back(&port, g_applied.port, g_loaded.port);
  put_back(&mididevnum_out, g_applied.mididevnum_out, g_loaded.mididevnum_out);
  put_back(&mididevnum_in, g_applied.mididevnum_in, g_loaded.mididevnum_in);
  put_back(&xferrate, g_applied.xferrate, g_loaded.xferrate);
  put_back(&skipver, g_applied.skipver, g_loaded.skipver);
  for (int n = 0; n < 4; ++n) {
    if (std::strcmp(com_device_path[n], g_applied.com_device_path[n]) == 0)
      std::memcpy(com_device_path[n], g_loaded.com_device_path[n], kComDevicePathSize);
  }
}
