// The kernel's raw MIDI device files, without alsa-lib: /dev/snd/midiCcDd,
// its subdevice chosen through the card's control file.
#include "sim/rawmidi_line.h"

#include <fcntl.h>
#include <sound/asound.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int rawmidi_line_open(const char* name, size_t input_buffer, std::string* error) {
  unsigned card = 0, device = 0;
  int sub = -1;
  char tail = 0;
  const int fields = std::sscanf(name, "hw:%u,%u,%d%c", &card, &device, &sub, &tail);
  if (fields != 2 && fields != 3) {
    *error = std::string(name) + ": not a raw MIDI device (hw:CARD,DEVICE[,SUBDEVICE])";
    return -1;
  }
  if (fields == 2) sub = -1;
  char path[64];
  int control = -1;
  if (sub >= 0) {
    // The kernel gives an open the subdevice that this process's control file prefers.
    std::snprintf(path, sizeof path, "/dev/snd/controlC%u", card);
    control = open(path, O_RDWR | O_CLOEXEC);
    if (control < 0 || ioctl(control, SNDRV_CTL_IOCTL_RAWMIDI_PREFER_SUBDEVICE, &sub) != 0) {
      *error = std::string(path) + ": " + std::strerror(errno);
      if (control >= 0) close(control);
      return -1;
    }
  }
  std::snprintf(path, sizeof path, "/dev/snd/midiC%uD%u", card, device);
  const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  const int open_errno = errno;
  if (control >= 0) close(control);
  if (fd < 0) {
    *error = std::string(path) + ": " + std::strerror(open_errno);
    return -1;
  }
  snd_rawmidi_params params{};
  params.stream = SNDRV_RAWMIDI_STREAM_INPUT;
  params.buffer_size = input_buffer;
  params.avail_min = 1;
  params.no_active_sensing = 1;
  if (ioctl(fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) != 0) {
    *error = std::string(path) + ": the input buffer cannot be set: " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

void rawmidi_line_drain(int fd) {
  int stream = SNDRV_RAWMIDI_STREAM_OUTPUT;
  ioctl(fd, SNDRV_RAWMIDI_IOCTL_DRAIN, &stream);
}
