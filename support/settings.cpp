#include "support/settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/midi_driver.h"
#include "link/midi_names.h"
#include "support/current_dir.h"
#include "support/profile.h"
#include "support/program_info.h"
#include "support/strings.h"

int devtype = 0;
int port = 1;
int rate_num = 1;
int mididevnum_out = -1;
int mididevnum_in = -1;
int xferrate = 0;
int skipver = 0;
int warning = 1;
int xpos = 40, ypos = 30;
int xsize = 400, ysize = 0;

char inifile[kIniPathSize];
unsigned char comm_status[4];

const int rate_table[3] = {31250, 38400, 57600};
const char* const xfer_rate_names[4] = {"Very Fast", "Fast", "Slow", "Very Slow"};

namespace {

constexpr const char* kSection = kProgramTitle;
constexpr int kTextSize = 256;     // a stored name or path: 255 characters and the terminator
constexpr int kMessageSize = 512;  // a start-up message in UTF-8 or the platform's code page
constexpr int kDefaultRateNum = 1;  // 38400 baud

void show_startup_message(int id) {
  if (warning != 1) return;
  char text[kMessageSize];
  text[0] = '\0';
  load_string(id, text, sizeof text);
  message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
}

int read_int(const char* key, int default_value) {
  return profile_get_int(kSection, key, default_value, inifile);
}

// The keys of the save under way, written to the file together at its end.
std::vector<ProfileEntry> g_save;

void write_string(const char* key, const char* value) { g_save.push_back(ProfileEntry{key, value}); }

// A device name as stored: the reader drops blanks at its ends and a pair of
// quotes around it, so such a name is written in quotes. A name that cannot be
// stored so leaves the key as it was.
void write_device_name(const char* key, const char* name) {
  char stored[kMidiNameSize + 2];
  if (quoted_for_reading(name, stored, sizeof stored)) write_string(key, stored);
}

void write_int(const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  write_string(key, text);
}

void load_output_device() {
  mididevnum_out = -1;
  char name[kTextSize];
  profile_get_string(kSection, "OutputMidiDevice", name, sizeof name, inifile);
  const unsigned count = midi_driver().out_num_devs();
  if (count == 0) {
    devtype = 0;
    return;
  }
  if (name[0] == '\0') {
    mididevnum_out = 0;
    return;
  }
  mididevnum_out = midi_device_of_name(midi_driver(), true, name);
  if (mididevnum_out < 0) {
    show_startup_message(IDS_MIDI_OUT_NOT_FOUND);
    mididevnum_out = 0;
  }
}

void load_input_device() {
  mididevnum_in = -1;
  char name[kTextSize];
  profile_get_string(kSection, "InputMidiDevice", name, sizeof name, inifile);
  const unsigned count = midi_driver().in_num_devs();
  if (count == 0) {
    devtype = 0;
    return;
  }
  if (name[0] == '\0') {
    mididevnum_in = 0;
    return;
  }
  mididevnum_in = midi_device_of_name(midi_driver(), false, name);
  if (mididevnum_in < 0) show_startup_message(IDS_MIDI_IN_NOT_FOUND);
}

// A size that reaches past the desktop's edge is cut to end at the edge; the
// position itself stays.
int clip_to_edge(int position, int size, int edge) {
  const long long end = static_cast<long long>(position) + size;
  if (end <= edge) return size;
  const long long clipped = static_cast<long long>(edge) - position;
  if (clipped < INT_MIN) return INT_MIN;
  return static_cast<int>(clipped);
}

void save_output_device() {
  if (mididevnum_out == -1) {
    write_string("OutputMidiDevice", "");
    return;
  }
  std::string name;
  if (!midi_device_name(midi_driver(), true, mididevnum_out, &name)) return;  // the key keeps the name it had
  write_device_name("OutputMidiDevice", name.c_str());
}

void save_input_device() {
  if (mididevnum_in == -1) {
    write_string("InputMidiDevice", "");
    return;
  }
  std::string name;
  if (!midi_device_name(midi_driver(), false, mididevnum_in, &name)) return;
  write_device_name("InputMidiDevice", name.c_str());
}

// A path with a line break cannot be stored as one line of the file.
bool fits_one_line(const char* text) { return std::strpbrk(text, "\r\n") == nullptr; }

}  // namespace

int get_initial() {
  warning = read_int("Warning", 1) != 0 ? 1 : 0;

  xpos = read_int("Xpos", 40);
  ypos = read_int("Ypos", 30);
  int right = 0, bottom = 0;
  host_desktop_extent(&right, &bottom);
  xsize = clip_to_edge(xpos, xsize, right);
  ysize = clip_to_edge(ypos, ysize, bottom);

  port = read_int("ComPortNum", 1);
  if (port < 1 || port > 4) port = 1;

  devtype = read_int("DeviceType", 0) != 0 ? 1 : 0;

  // The stored baud rate is not used: every start selects 38400.
  rate_num = kDefaultRateNum;

  load_output_device();
  load_input_device();

  skipver = read_int("SkipVersionCheck", 0) != 0 ? 1 : 0;

  xferrate = read_int("TransferRate", 0);
  if (xferrate <= 0 || xferrate >= 4) xferrate = 0;

  // The platform's keys are read before the working directory may change, in
  // case the file was named relative to it.
  get_initial_platform(kSection);

  char path[kTextSize];
  profile_get_string(kSection, "CurrentPath", path, sizeof path, inifile);
  if (path[0] != '\0' && !set_current_dir(path)) show_startup_message(IDS_CHDIR_FAILED);
  return 1;
}

int set_initial(WindowHandle window, std::vector<std::string>* unwritten, int* write_error) {
  g_save.clear();
  save_output_device();
  save_input_device();

  int left = 0, top = 0;
  host_window_origin(window, &left, &top);
  write_int("Xpos", left);
  write_int("Ypos", top);

  write_int("ComPortNum", port);
  // Only the table's entries can be written; a stray index saves the default rate.
  const int rate_index = (rate_num >= 0 && rate_num < 3) ? rate_num : kDefaultRateNum;
  write_int("ComBaudRate", rate_table[rate_index]);
  write_int("DeviceType", devtype);
  write_int("SkipVersionCheck", skipver);
  write_int("TransferRate", xferrate);

  char path[kTextSize];
  path[0] = '\0';
  if (!get_current_dir(path, sizeof path) || !fits_one_line(path)) path[0] = '\0';
  char stored[kTextSize + 2];
  if (!quoted_for_reading(path, stored, sizeof stored)) stored[0] = '\0';
  write_string("CurrentPath", stored);

  set_initial_platform(&g_save);
  const int unsaved = profile_write_strings(kSection, g_save, inifile, unwritten, write_error);
  g_save.clear();
  return unsaved;
}
