// The page has no settings of its own beyond the common keys.
#include "support/settings.h"

void get_initial_platform(const char*) {}

void set_initial_platform(std::vector<ProfileEntry>*) {}
