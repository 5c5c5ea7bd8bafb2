#include "ui/term/program_startup.h"

#include <cstdio>
#include <cstring>

#include "engine/update_file.h"
#include "link/serial_link.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/settings_path.h"
#include "support/support_log.h"
#include "ui/term/link_choice.h"
#include "ui/term/serial_devices.h"

CmdLine cl;

namespace {

int g_settings_place = 0;  // how inifile was chosen
char g_port_problem[kComDevicePathSize + 512] = "";

// The configured port did not open at start-up: why, looked at again.
void describe_missing_port() {
  char why[400];
  if (serial_device_probe(port, com_device_path[port - 1], why, sizeof why) || why[0] == '\0')
    std::snprintf(why, sizeof why, "%s", "could not be opened");
  std::snprintf(g_port_problem, sizeof g_port_problem, "The serial port COM%d (%s) %s", port,
                com_device_path[port - 1], why);
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

int program_startup(PortFallback fallback) {
  if (!open_log()) {
    message_box(nullptr,
                "Failed to create log file. The application will not be able to record support "
                "information.\nPlease copy the application to a writeable disk (e.g. your 'C:' drive)\n"
                "so this useful support information can be recorded.\n\nThe application will continue "
                "correctly.",
                kProgramTitle, kMbIconExclamation | kMbSetForeground | kMbTopmost);
  }
  char why[768];
  if (settings_file_problem(inifile, 0, why, sizeof why))
    settings_message("cannot be read", why, "The default settings are used.");
  get_initial();
  link_choice_apply();
  // A device named on the command line is never exchanged for another.
  if (link_choice_explicit()) fallback = kPortKeep;
  if (!init_tfr()) return 0;
  check_comm(comm_status);
  g_port_problem[0] = '\0';
  const bool serial_configured = devtype == 0 && port >= 1 && port <= 4;
  if (serial_configured && !comm_status[port - 1]) {
    describe_missing_port();
    char text[sizeof g_port_problem + kComDevicePathSize + 128];
    if (fallback == kPortKeep) {
      std::snprintf(text, sizeof text, "%s.\nNo other port is used.", g_port_problem);
      message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
    } else if (warning) {
      const int found = lowest_port(comm_status);
      if (found)
        std::snprintf(text, sizeof text, "%s.\nCOM%d (%s) is used instead.", g_port_problem, found,
                      com_device_path[found - 1]);
      else
        std::snprintf(text, sizeof text, "%s.\nNo serial port opens: the MIDI link is used instead.",
                      g_port_problem);
      message_box(nullptr, text, kProgramTitle, kMbOk | kMbSetForeground);
    }
  }
  if (fallback == kPortKeep && g_port_problem[0] != '\0') return 1;
  const int lowest = lowest_port(comm_status);
  if (lowest == 0) devtype = 1;
  // The configured port was not found: take the lowest one that was.
  if (port >= 1 && port <= 4 && !comm_status[port - 1] && lowest != 0) port = lowest;
  return 1;
}

const char* startup_port_problem() { return g_port_problem; }

void program_shutdown(WindowHandle window) {
  free_tfr();
  link_choice_restore();
  char why[768];
  // The user's config folder is made on the first save; a folder named with
  // --ini, or the program's own, is not.
  if (g_settings_place == kSettingsConfig && !settings_folder_make(inifile, why, sizeof why)) {
    settings_message("cannot be saved", why, "The changes of this run are lost.");
    return;
  }
  if (set_initial(window) != 0) {
    if (!settings_file_problem(inifile, 1, why, sizeof why))
      std::snprintf(why, sizeof why, "%s", "it could not be written");
    settings_message("cannot be saved", why, "The changes of this run are lost.");
  }
}
