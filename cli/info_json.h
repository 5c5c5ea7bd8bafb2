#pragma once
// `xrupdate --info --json FILE...`: one JSON object per file on `out`.
// Returns 0 when every file passes, 1 otherwise.

#include <cstdio>

int run_info_json(int count, const char* const* paths, FILE* out);
