// The settings load and save the program runs (get_initial, set_initial),
// over a stand-in MIDI device list whose names begin and end with blanks and
// quotes: whatever the settings file holds, what was loaded is saved (every
// key written) and loads again unchanged. The one loss the settings allow is
// kept: an input device name that is not present loads as none, saves empty
// and then loads as the first device.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_host.h"
#include "link/midi_driver.h"
#include "support/settings.h"

namespace {

// Names the reader would change if they were written bare.
const char* const kOutNames[] = {"USB MIDI 1", " Quoted \"Out\" ", "'single'"};
const char* const kInNames[] = {"In A ", "\"In B\""};

unsigned out_count() { return 3; }
unsigned in_count() { return 2; }
unsigned out_caps(unsigned id, MidiOutCaps* caps) {
  if (id >= 3) return kMmBadDeviceId;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%s", kOutNames[id]);
  return 0;
}
unsigned in_caps(unsigned id, MidiInCaps* caps) {
  if (id >= 2) return kMmBadDeviceId;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%s", kInNames[id]);
  return 0;
}
const MidiDriver kDevices = {out_count, in_count, out_caps, in_caps};

struct Record {
  int devtype, port, rate_num, out, in, xferrate, skipver, warning, xpos, ypos;
  std::string com[4];
  std::string cwd;
};

std::string current_dir() {
  char path[PATH_MAX];
  return ::getcwd(path, sizeof path) != nullptr ? path : "";
}

Record loaded() {
  Record r{devtype, port, rate_num, mididevnum_out, mididevnum_in, xferrate, skipver, warning, xpos, ypos,
           {}, current_dir()};
  for (int i = 0; i < 4; ++i) r.com[i] = com_device_path[i];
  return r;
}

std::string g_folder;

void remove_folder() {
  const std::string file = g_folder + "/xrupdate.ini";
  ::unlink(file.c_str());
  ::rmdir(g_folder.c_str());
}

const std::string& scratch_folder() {
  static const std::string path = [] {
    // Memory-backed where there is such a folder: every save syncs the file.
    char folder[] = "/dev/shm/fuzz_settings.XXXXXX";
    char fallback[] = "/tmp/fuzz_settings.XXXXXX";
    const char* made = ::mkdtemp(folder);
    if (made == nullptr) made = ::mkdtemp(fallback);
    if (made == nullptr) fuzz_fail("a scratch folder can be made");
    g_folder = made;
    std::atexit(remove_folder);
    fuzz_host_install();
    HostSinks sinks{};
    sinks.message_box = [](WindowHandle, const char*, const char*, unsigned) { return 1; };
    // The window stands where the settings put it: the save writes that place.
    sinks.window_origin = [](WindowHandle, int* left, int* top) {
      *left = xpos;
      *top = ypos;
    };
    host_install(sinks);
    midi_driver_install(&kDevices);
    return g_folder;
  }();
  return path;
}

void defaults() {
  for (int i = 0; i < 4; ++i) std::snprintf(com_device_path[i], sizeof com_device_path[i], "/dev/ttyS%d", i);
  xsize = 400;
  ysize = 200;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string start_dir = current_dir();  // given back after each input
  const std::string& folder = scratch_folder();
  if (::chdir(folder.c_str()) != 0) fuzz_fail("the scratch folder can be entered");
  std::snprintf(inifile, sizeof inifile, "%s/xrupdate.ini", folder.c_str());
  FILE* out = std::fopen(inifile, "wb");
  if (out == nullptr) fuzz_fail("the settings file can be written");
  if (size > 0 && std::fwrite(data, 1, size, out) != size) fuzz_fail("the settings file can be written");
  std::fclose(out);

  defaults();
  get_initial();
  const Record first = loaded();
  if (set_initial(nullptr) != 0) fuzz_fail("the save writes every key of what was loaded");

  if (::chdir(folder.c_str()) != 0) fuzz_fail("the scratch folder can be entered");
  defaults();
  get_initial();
  const Record second = loaded();

  if (second.devtype != first.devtype) fuzz_fail("DeviceType loads again as saved");
  if (second.port != first.port) fuzz_fail("ComPortNum loads again as saved");
  if (second.rate_num != first.rate_num) fuzz_fail("the baud rate loads again as saved");
  if (second.out != first.out) fuzz_fail("OutputMidiDevice names the same device again (names saved quoted)");
  const int in_expected = first.in == -1 ? 0 : first.in;  // a missing input device is saved empty
  if (second.in != in_expected) fuzz_fail("InputMidiDevice names the same device again (names saved quoted)");
  if (second.xferrate != first.xferrate) fuzz_fail("TransferRate loads again as saved");
  if (second.skipver != first.skipver) fuzz_fail("SkipVersionCheck loads again as saved");
  if (second.warning != first.warning) fuzz_fail("Warning, never written, stays as it was");
  if (second.xpos != first.xpos || second.ypos != first.ypos) fuzz_fail("Xpos and Ypos load again as saved");
  for (int i = 0; i < 4; ++i) {
    if (second.com[i] != first.com[i]) fuzz_fail("each ComNDevice path loads again as saved");
  }
  // The folder the first load entered is saved and entered again (a path that
  // cannot be stored, too long or with a line break, is saved empty).
  const bool storable = first.cwd.size() < 256 && first.cwd.find_first_of("\r\n") == std::string::npos;
  if (storable && second.cwd != first.cwd) fuzz_fail("CurrentPath loads again as saved");
  ::unlink(inifile);
  if (::chdir(start_dir.c_str()) != 0) fuzz_fail("the fuzzer's own folder can be entered again");
  return 0;
}
