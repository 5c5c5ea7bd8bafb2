#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "support/support_log.h"

void log_commit(FILE* stream) { _commit(_fileno(stream)); }

FILE* log_open_stream(const char* name) { return std::fopen(name, "ab"); }

int platform_version_info(unsigned* platform_id, unsigned* major, unsigned* minor,
                          char* csd_version, int csd_size) {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // the plain record, 148 bytes
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  const BOOL ok = GetVersionExA(&info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (!ok) return 0;
  *platform_id = info.dwPlatformId;
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  std::snprintf(csd_version, static_cast<size_t>(csd_size), "%s", info.szCSDVersion);
  return 1;
}
