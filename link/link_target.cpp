#include "link/link_target.h"

#include <cstring>

int link_target_set_device(LinkTarget* target, const char* device) {
  const size_t length = std::strlen(device);
  if (length >= sizeof target->device) return 0;
  std::memcpy(target->device, device, length + 1);
  return 1;
}
