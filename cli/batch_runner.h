#pragma once
// The commands that reach the instrument on one link without a window:
// --batch FILE (one update), --dry-run FILE (the file and version checks) and
// --query (the instrument's versions).

#include "ui/run_options.h"

// Runs options.command (kRunBatch, kRunDryRun or kRunQuery) on the link named
// in `options`, else the configured one. Returns the exit status.
int run_on_link(const RunOptions& options);
