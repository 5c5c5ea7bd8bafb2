#pragma once
// `xrupdate --list`: every serial device with whether it opens (and why not),
// then every MIDI output and input by number and name. Exit status 0.

#include "ui/run_options.h"

int run_list(const RunOptions& options);
