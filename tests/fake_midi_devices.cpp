#include "tests/fake_midi_devices.h"

#include <cstring>
#include <utility>

namespace {

// The driver's calls carry no context: one fake is installed at a time.
std::vector<FakeMidiOut> g_outputs;
std::vector<FakeMidiIn> g_inputs;
int g_out_caps_calls = 0;
int g_in_caps_calls = 0;

constexpr unsigned kErrorBadDeviceId = 2;  // MMSYSERR_BADDEVICEID
constexpr unsigned kErrorFailed = 1;       // MMSYSERR_ERROR

void copy_name(char* out, const std::string& name) {
  std::memset(out, 0, kMidiNameSize);
  std::strncpy(out, name.c_str(), kMidiNameSize - 1);
}

unsigned out_num_devs() { return static_cast<unsigned>(g_outputs.size()); }
unsigned in_num_devs() { return static_cast<unsigned>(g_inputs.size()); }

unsigned out_get_caps(unsigned id, MidiOutCaps* caps) {
  ++g_out_caps_calls;
  if (id >= g_outputs.size()) return kErrorBadDeviceId;
  const FakeMidiOut& device = g_outputs[id];
  if (device.caps_fail) return kErrorFailed;
  copy_name(caps->szPname, device.name);
  caps->wTechnology = device.technology;
  caps->vDriverVersion = 0x0100;
  return 0;
}

unsigned in_get_caps(unsigned id, MidiInCaps* caps) {
  ++g_in_caps_calls;
  if (id >= g_inputs.size()) return kErrorBadDeviceId;
  const FakeMidiIn& device = g_inputs[id];
  if (device.caps_fail) return kErrorFailed;
  copy_name(caps->szPname, device.name);
  caps->vDriverVersion = 0x0100;
  return 0;
}

constexpr MidiDriver kFakeDriver = {out_num_devs, in_num_devs, out_get_caps, in_get_caps};

}  // namespace

FakeMidiDevices::FakeMidiDevices(std::vector<FakeMidiOut> outputs, std::vector<FakeMidiIn> inputs) {
  g_outputs = std::move(outputs);
  g_inputs = std::move(inputs);
  g_out_caps_calls = 0;
  g_in_caps_calls = 0;
  midi_driver_install(&kFakeDriver);
}

FakeMidiDevices::~FakeMidiDevices() {
  midi_driver_install(nullptr);
  g_outputs.clear();
  g_inputs.clear();
}

int FakeMidiDevices::out_caps_calls() const { return g_out_caps_calls; }
int FakeMidiDevices::in_caps_calls() const { return g_in_caps_calls; }
