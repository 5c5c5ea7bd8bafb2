#pragma once
// `xrupdate --batch FILE` for several instruments at once: the ports and MIDI
// pairs named (or, with --all, every instrument --find finds), each updated by
// a run of this program of its own (--member), side by side. The runner reads
// what each run reports through a pipe, as records, and shows one line per
// instrument on a terminal, whole lines prefixed "[DEVICE] " elsewhere.

#include "ui/run_options.h"

// Returns the exit status: 0 when every instrument completed, 7 after a stop,
// else the status of the first instrument (in the order named) that did not.
int run_fleet(const RunOptions& options);
