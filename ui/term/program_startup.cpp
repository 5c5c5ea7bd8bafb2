#include "ui/term/program_startup.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "engine/update_file.h"
#include "link/serial_link.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/support_log.h"

CmdLine cl;

int derive_inifile(const char* ini_override) {
  char path[PATH_MAX + 32];
  if (ini_override != nullptr) {
    // Made absolute now: the settings restore another working directory later,
    // and the file must be saved where it was read.
    char cwd[PATH_MAX];
    if (ini_override[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
      std::snprintf(path, sizeof path, "%s", ini_override);
    } else {
      std::snprintf(path, sizeof path, "%s/%s", cwd, ini_override);
    }
  } else {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return 0;
    exe[n] = '\0';
    char* slash = std::strrchr(exe, '/');
    if (slash != nullptr) slash[1] = '\0';
    std::snprintf(path, sizeof path, "%sxrupdate.ini", exe);
  }
  // A path that does not fit is refused: a cut one would name another file.
  if (std::strlen(path) >= sizeof inifile) return 0;
  std::memcpy(inifile, path, std::strlen(path) + 1);
  return 1;
}

int program_startup() {
  if (!open_log()) {
    message_box(nullptr,
                "Failed to create log file. The application will not be able to record support "
                "information.\nPlease copy the application to a writeable disk (e.g. your 'C:' drive)\n"
                "so this useful support information can be recorded.\n\nThe application will continue "
                "correctly.",
                kProgramTitle, kMbIconExclamation | kMbSetForeground | kMbTopmost);
  }
  get_initial();
  if (!init_tfr()) return 0;
  check_comm(comm_status);
  if (!comm_status[0] && !comm_status[1] && !comm_status[2] && !comm_status[3]) devtype = 1;
  // The configured port was not found: take the lowest one that was.
  if (port >= 1 && port <= 4 && !comm_status[port - 1]) {
    for (int n = 1; n <= 4; ++n) {
      if (comm_status[n - 1]) {
        port = n;
        break;
      }
    }
  }
  return 1;
}

void program_shutdown(WindowHandle window) {
  free_tfr();
  set_initial(window);
}
