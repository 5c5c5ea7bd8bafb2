#pragma once
// The serial devices of this machine: the ones offered for COM1 to COM4 and
// tried by --find, listed by --list, and the check of one device without
// keeping it open.

#include <cstddef>
#include <string>
#include <vector>

// The serial devices in `folder` (the system's is "/dev"): "ttyUSB<n>" (USB
// serial adapters), "ttyACM<n>" (USB modems and boards), "ttyS<n>" (built-in
// ports), in that order and each kind by number; at most `most` of them (the
// configuration form offers kSerialDeviceMax; --list and --find take all).
constexpr int kSerialDeviceMax = 64;
std::vector<std::string> serial_device_candidates(const char* folder, std::size_t most = kSerialDeviceMax);

struct SerialPresent {
  std::string path;    // as found: /dev/ttyUSB0, /dev/serial/by-id/usb-...
  std::string target;  // for a link in /dev/serial/by-id: the device it points to; else ""
};

// Every candidate of `dev` (the device folder), then every link of
// `dev`/serial/by-id, by name.
std::vector<SerialPresent> serial_devices_present(const char* dev);

// Tries `path` the way start-up tries a port: opened exclusively and its line
// state read, then closed again. 1 when it opens; 0 with the reason in why
// (size bytes): "does not exist", "is not a terminal", "is in use by another
// program", ...
int serial_device_probe(const char* path, char* why, int size);
