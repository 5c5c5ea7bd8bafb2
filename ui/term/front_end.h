#pragma once
// `xrupdate [options] [/h] [FILE...]`: the terminal front end, on the link
// chosen in `options` (else the configured one). Returns the exit status.

#include "ui/run_options.h"

int run_front_end(const RunOptions& options);
