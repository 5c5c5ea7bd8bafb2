// The page has no settings of its own beyond the common keys; its serial ports
// are named COM1 to COM4, as on Windows (the ports the user granted the page).
#include "support/settings.h"

void get_initial_platform(const char*) {}

void set_initial_platform(std::vector<ProfileEntry>*) {}

const char* com_port_device(int port_number) {
  static const char* const kNames[4] = {"COM1", "COM2", "COM3", "COM4"};
  return port_number >= 1 && port_number <= 4 ? kNames[port_number - 1] : "";
}
