#pragma once
// `--info FILE...`: the header check run on files without any instrument.

#include <cstdio>

#include "engine/file_io.h"

// Writes one line per file to `out`: its type, version, required size and
// packet count, or the header check's own message. Returns 0 when every file
// passes, 1 otherwise.
int run_info_command(int count, const char* const* paths, FILE* out);

// Opens an update file and runs the header check without showing anything: the
// open file, positioned at 0 with datafile filled, when it passes; kInvalidFile
// with the check's message (or "File Open Error") in `refusal` when not.
FileHandle open_checked_update_file(const char* path, char* refusal, int size);
