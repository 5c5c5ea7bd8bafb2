#pragma once
// `xrupdate --find`: where an instrument answers the version request.

#include "ui/run_options.h"

int run_find(const RunOptions& options);
