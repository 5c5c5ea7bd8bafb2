// Windows names its serial ports COM1 to COM4 itself: no keys of its own.
#include "support/settings.h"

void get_initial_platform(const char*) {}

void set_initial_platform(std::vector<ProfileEntry>*) {}
