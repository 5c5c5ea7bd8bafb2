#pragma once
// `--info FILE...`: the header check run on files without any instrument.

#include <cstdio>

// Writes one line per file to `out`: its type, version, required size and
// packet count, or the header check's own message. Returns 0 when every file
// passes, 1 otherwise.
int run_info_command(int count, const char* const* paths, FILE* out);
