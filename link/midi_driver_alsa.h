#pragma once
// The few rawmidi calls the ALSA MIDI driver makes, as a table: the system's
// (alsa-lib) by default, or a stand-in that a test installs, so that the
// driver's own device logic (its threads, buffers, reset and close) runs
// where there is no MIDI hardware.
//
// `raw` is the open port as the table's open gave it. Every call is
// non-blocking, except wait_input, which waits at most `ms`. The output
// calls may be made from two threads at once (the sender's and the device's).

#include <sys/types.h>

#include <cstddef>
#include <vector>

struct AlsaRawmidiPort {
  char name[64];     // what open takes: "hw:CARD,DEVICE,SUBDEVICE"
  char display[32];  // the port's own name, shown to the user
};

struct AlsaRawmidi {
  // The ports of one direction, in card, device, subdevice order.
  std::vector<AlsaRawmidiPort> (*list)(bool output);
  // Opens a port for one direction: 0, or a negative errno.
  int (*open)(void** raw, const char* name, bool output);
  int (*close)(void* raw);
  // The number of bytes the port took (perhaps fewer than offered), or a
  // negative errno; -EAGAIN when it has no room now.
  ssize_t (*write)(void* raw, const unsigned char* bytes, size_t length);
  // The number of bytes read, or a negative errno; -EAGAIN when none are there.
  ssize_t (*read)(void* raw, unsigned char* bytes, size_t length);
  // How many written bytes have not yet gone out to the device (0: all out),
  // or a negative errno.
  long (*unsent)(void* raw);
  // Throws away the written bytes that have not yet gone out.
  int (*drop)(void* raw);
  // Returns when there may be something to read, or after at most ms.
  void (*wait_input)(void* raw, int ms);
};

// alsa-lib's calls (on a build without ALSA: no ports, and nothing opens).
const AlsaRawmidi& alsa_rawmidi_system();
// Installs `calls` for the ALSA driver (null: back to the system's). Not while
// a device is open.
void alsa_rawmidi_install(const AlsaRawmidi* calls);
