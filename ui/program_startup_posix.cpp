#include "ui/program_startup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/update_file.h"
#include "link/serial_link.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/settings_path.h"
#include "support/support_log.h"
#include "link/serial_devices.h"
#include "support/printable.h"
#include "ui/transfer_start.h"

CmdLine cl;

namespace {

int g_settings_place = 0;  // how inifile was chosen
char g_port_problem[4 * kComDevicePathSize + 512] = "";  // a name escaped takes up to 4 bytes a byte

// Why the serial device of `link` does not open, for the user: "The serial port
// COM1 (/dev/ttyS0) does not exist". 0 when it opens after all.
int describe_port_problem(const LinkTarget& link) {
  char why[400];
  if (serial_device_probe(link.device, why, sizeof why)) return 0;
  if (why[0] == '\0') std::snprintf(why, sizeof why, "%s", "could not be opened");
  // The device's name is shown and logged with its control characters escaped.
  const std::string device = printable_text(link.device);
  if (link.com_port >= 1 && link.com_port <= 4) {
    std::snprintf(g_port_problem, sizeof g_port_problem, "The serial port COM%d (%s) %s", link.com_port,
                  device.c_str(), why);
  } else {
    std::snprintf(g_port_problem, sizeof g_port_problem, "The serial port %s %s", device.c_str(), why);
  }
  return 1;
}

// The lowest port that opened at start-up, 0 for none.
int lowest_port(const unsigned char status[4]) {
  for (int n = 1; n <= 4; ++n) {
    if (status[n - 1]) return n;
  }
  return 0;
}

// A problem with the settings file, told once with the file's path.
void settings_message(const char* what, const char* why, const char* outcome) {
  char text[kIniPathSize + 1024];
  std::snprintf(text, sizeof text, "The settings file\n%s\n%s: %s.\n%s", inifile, what, why, outcome);
  message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
}

// Why a save failed, in words for the message.
std::string save_error_words(int error) {
  switch (error) {
    case ENOSPC: return "no space left on the device";
    case EDQUOT: return "the disk quota is used up";
    case EROFS: return "the file system is read-only";
    case EIO: return "an input/output error";
    case EFBIG: return "the file is too large";
    default: break;
  }
  std::string words = std::strerror(error);
  if (!words.empty() && words[0] >= 'A' && words[0] <= 'Z') words[0] = static_cast<char>(words[0] - 'A' + 'a');
  return words;
}

}  // namespace

int derive_inifile(const char* ini_override) {
  SettingsPathInputs inputs;
  settings_path_inputs(ini_override, &inputs);
  char path[kIniPathSize];
  int place = 0;
  if (!settings_path_choose(inputs, path, sizeof path, &place)) return 0;
  std::memcpy(inifile, path, std::strlen(path) + 1);
  g_settings_place = place;
  return 1;
}

int program_startup(PortProbe probe) {
  if (!open_log()) {
    message_box(nullptr, kLogOpenFailedText, kProgramTitle, kMbIconExclamation | kMbSetForeground | kMbTopmost);
  }
  char why[768];
  if (settings_file_problem(inifile, 0, why, sizeof why))
    settings_message("cannot be read", why, "The default settings are used.");
  get_initial();
  if (!init_tfr()) return 0;
  g_port_problem[0] = '\0';
  if (probe == kProbeNone) return 1;
  check_comm(comm_status);
  const bool serial_configured = devtype == 0 && port >= 1 && port <= 4;
  const LinkTarget configured = settings_link_target();
  // The configured port is kept: it is checked whether or not it opened (a
  // device that opens may still be no port, such as this program's terminal).
  if (probe == kProbeKeep) {
    if (serial_configured) startup_check_link(configured);
    return 1;
  }
  if (serial_configured && !comm_status[port - 1]) {
    if (warning && describe_port_problem(configured)) {
      char text[sizeof g_port_problem + kComDevicePathSize + 128];
      const int found = lowest_port(comm_status);
      if (found)
        std::snprintf(text, sizeof text, "%s.\nCOM%d (%s) is used instead.", g_port_problem, found,
                      com_device_path[found - 1]);
      else
        std::snprintf(text, sizeof text, "%s.\nNo serial port opens: the MIDI link is used instead.",
                      g_port_problem);
      message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
    }
    g_port_problem[0] = '\0';  // the fallback below takes care of it
  }
  const int lowest = lowest_port(comm_status);
  if (lowest == 0) devtype = 1;
  // The configured port was not found: take the lowest one that was.
  if (port >= 1 && port <= 4 && !comm_status[port - 1] && lowest != 0) port = lowest;
  return 1;
}

int startup_check_link(const LinkTarget& link) {
  g_port_problem[0] = '\0';
  if (link.devtype != kLinkSerial || !describe_port_problem(link)) return 1;
  char text[sizeof g_port_problem + 64];
  std::snprintf(text, sizeof text, "%s.\nNo other port is used.", g_port_problem);
  message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
  return 0;
}

const char* startup_port_problem() { return g_port_problem; }

void program_shutdown(WindowHandle window) {
  free_tfr();
  char why[768];
  // The user's config folder is made on the first save; a folder named with
  // --ini, or the program's own, is not.
  if (g_settings_place == kSettingsConfig && !settings_folder_make(inifile, why, sizeof why)) {
    settings_message("cannot be saved", why, "The changes of this run are lost.");
    return;
  }
  std::vector<std::string> unwritten;
  int write_error = 0;
  const int unsaved = set_initial(window, &unwritten, &write_error);
  if (unsaved == 0) return;
  if (settings_file_problem(inifile, 1, why, sizeof why)) {
    settings_message("cannot be saved", why, "The changes of this run are lost.");
    return;
  }
  if (write_error != 0) {
    // The file is written whole or not at all: what stood there is unchanged.
    const std::string text = "The settings could not be saved: " + save_error_words(write_error) + " (" +
                             printable_text(inifile) + "); the earlier file is unchanged.";
    message_box(nullptr, text.c_str(), kProgramTitle, kMbOk | kMbSetForeground);
    return;
  }
  // The file was written; what could not be stored in it is named.
  std::string keys;
  for (const std::string& key : unwritten) keys += (keys.empty() ? "" : ", ") + key;
  const std::string outcome = "The other settings were saved; " + keys + " keeps its earlier value.";
  settings_message(unwritten.size() == 1 ? "has a key that cannot be saved" : "has keys that cannot be saved",
                   (keys + (unwritten.size() == 1 ? " holds" : " hold") + " a line break, which a line of the file cannot hold").c_str(),
                   outcome.c_str());
}
