#include "link/midi_driver.h"

namespace {
const MidiDriver* g_installed = nullptr;
}

const MidiDriver& midi_driver() { return g_installed ? *g_installed : platform_midi_driver(); }

void midi_driver_install(const MidiDriver* driver) { g_installed = driver; }
