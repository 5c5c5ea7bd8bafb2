#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "link/midi_driver.h"

namespace {

unsigned out_num_devs() { return midiOutGetNumDevs(); }
unsigned in_num_devs() { return midiInGetNumDevs(); }

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  MIDIOUTCAPSA mc;
  std::memset(&mc, 0, sizeof mc);
  const MMRESULT r = midiOutGetDevCapsA(id, &mc, sizeof mc);
  if (r != MMSYSERR_NOERROR) return r;
  std::memcpy(caps->szPname, mc.szPname, kMidiNameSize);
  caps->szPname[kMidiNameSize - 1] = '\0';
  caps->wTechnology = mc.wTechnology;
  caps->vDriverVersion = mc.vDriverVersion;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  MIDIINCAPSA mc;
  std::memset(&mc, 0, sizeof mc);
  const MMRESULT r = midiInGetDevCapsA(id, &mc, sizeof mc);
  if (r != MMSYSERR_NOERROR) return r;
  std::memcpy(caps->szPname, mc.szPname, kMidiNameSize);
  caps->szPname[kMidiNameSize - 1] = '\0';
  caps->vDriverVersion = mc.vDriverVersion;
  return 0;
}

constexpr MidiDriver kWinmm = {out_num_devs, in_num_devs, out_get_caps, in_get_caps};

}  // namespace

const MidiDriver& platform_midi_driver() { return kWinmm; }
