#pragma once
// The serial devices the configuration form offers for COM1 to COM4, and the
// check of a device the user chooses there.

#include <string>
#include <vector>

// The serial devices in `folder` (the system's is "/dev"): "ttyUSB<n>" (USB
// serial adapters), "ttyACM<n>" (USB modems and boards), "ttyS<n>" (built-in
// ports), in that order and each kind by number. At most kSerialDeviceMax.
constexpr int kSerialDeviceMax = 64;
std::vector<std::string> serial_device_candidates(const char* folder);

// Tries `path` as COM<port_number> the way start-up tries the ports: opened
// exclusively and its line state read, then closed again. 1 when it opens;
// 0 with the reason in why (size bytes): "does not exist", "is not a terminal",
// "is in use by another program", ...
int serial_device_probe(int port_number, const char* path, char* why, int size);
