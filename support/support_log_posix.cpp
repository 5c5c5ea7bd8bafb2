#include <unistd.h>

#include <cstdio>

#include "support/support_log.h"

void log_commit(FILE* stream) { ::fsync(::fileno(stream)); }

// Linux has no Windows version record: the banner says "Unknown Windows Version".
int platform_version_info(unsigned*, unsigned*, unsigned*, char*, int) { return 0; }
