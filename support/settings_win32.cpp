// Windows names its serial ports COM1 to COM4 itself: no keys of its own.
#include "support/settings.h"

void get_initial_platform(const char*) {}

void set_initial_platform(std::vector<ProfileEntry>*) {}

const char* com_port_device(int port_number) {
  static const char* const kNames[4] = {"COM1", "COM2", "COM3", "COM4"};
  return port_number >= 1 && port_number <= 4 ? kNames[port_number - 1] : "";
}
