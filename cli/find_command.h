#pragma once
// `xrupdate --find`: where an instrument answers the version request.

#include <string>
#include <vector>

#include "ui/run_options.h"

int run_find(const RunOptions& options);

// An instrument that answered: a serial device by its path, or a MIDI
// output/input pair by their one name.
struct FoundInstrument {
  bool serial;
  std::string name;
  int midi_out = -1, midi_in = -1;  // a MIDI pair's device ids, as found
};

// The search of --find for --batch --all, in the running headless session
// (headless_begin): every instrument that answers within options.timeout_ms,
// in the order --find lists them. Returns --find's exit status (0 when one or
// more answered), with the reason in *reason when not 0.
int find_instruments(const RunOptions& options, std::vector<FoundInstrument>* found, std::string* reason);
