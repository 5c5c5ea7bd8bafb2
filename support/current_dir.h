#pragma once
// The process's working directory.

// 1 on success.
int set_current_dir(const char* path);
// Fills out (size bytes) with the working directory; 0 when it cannot be read or does not fit.
int get_current_dir(char* out, int size);
