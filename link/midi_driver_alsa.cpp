// ALSA rawmidi devices as the MIDI driver. Every rawmidi subdevice is one
// device id; every one counts as a hardware MIDI port.
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/midi_driver.h"

#if defined(XR_HAVE_ALSA)
#include <alsa/asoundlib.h>
#endif

namespace {

struct RawmidiDevice {
  int card, device, subdevice;
  char name[kMidiNameSize];
};

// Lists the subdevices of one direction, in card, device, subdevice order.
std::vector<RawmidiDevice> list_rawmidi(bool output) {
  std::vector<RawmidiDevice> found;
#if defined(XR_HAVE_ALSA)
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    char ctl_name[32];
    std::snprintf(ctl_name, sizeof ctl_name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ctl_name, 0) < 0) continue;
    int device = -1;
    while (snd_ctl_rawmidi_next_device(ctl, &device) == 0 && device >= 0) {
      snd_rawmidi_info_t* info;
      snd_rawmidi_info_alloca(&info);
      snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
      snd_rawmidi_info_set_stream(info, output ? SND_RAWMIDI_STREAM_OUTPUT : SND_RAWMIDI_STREAM_INPUT);
      snd_rawmidi_info_set_subdevice(info, 0);
      if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
      const unsigned count = snd_rawmidi_info_get_subdevices_count(info);
      for (unsigned sub = 0; sub < count; ++sub) {
        snd_rawmidi_info_set_subdevice(info, sub);
        if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
        RawmidiDevice d{card, device, static_cast<int>(sub), {}};
        const char* name = snd_rawmidi_info_get_subdevice_name(info);
        if (name == nullptr || name[0] == '\0') name = snd_rawmidi_info_get_name(info);
        std::snprintf(d.name, sizeof d.name, "%s", name ? name : "");
        found.push_back(d);
      }
    }
    snd_ctl_close(ctl);
  }
#else
  (void)output;
#endif
  return found;
}

unsigned out_num_devs() { return static_cast<unsigned>(list_rawmidi(true).size()); }
unsigned in_num_devs() { return static_cast<unsigned>(list_rawmidi(false).size()); }

constexpr unsigned kBadDeviceId = 2;

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  const auto devices = list_rawmidi(true);
  if (id >= devices.size()) return kBadDeviceId;
  std::memcpy(caps->szPname, devices[id].name, kMidiNameSize);
  caps->wTechnology = kModMidiPort;
  caps->vDriverVersion = 0;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  const auto devices = list_rawmidi(false);
  if (id >= devices.size()) return kBadDeviceId;
  std::memcpy(caps->szPname, devices[id].name, kMidiNameSize);
  caps->vDriverVersion = 0;
  return 0;
}

constexpr MidiDriver kAlsa = {out_num_devs, in_num_devs, out_get_caps, in_get_caps};

}  // namespace

const MidiDriver& platform_midi_driver() { return kAlsa; }
