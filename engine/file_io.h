#pragma once
// The update file's handle, opened so that nobody else can open or change the
// file while the transfer holds it (share mode 0 on Windows, an exclusive
// flock on Linux). One OS file each: file_io_win32.cpp, file_io_posix.cpp.

#include <cstdint>

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Opens an existing file for reading, exclusively. kInvalidFile on failure.
FileHandle file_open_exclusive(const char* path);
// Linux only: the runs of a --batch of several instruments read one update
// file side by side. From this call on, this process's opens take a shared
// lock in place of the exclusive one: the runs and their runner share the file,
// and an update of its own (which locks it exclusively) is refused meanwhile.
void file_open_shared_from_now();
// Linux only, for one run of such a --batch: from this call on the update file
// is opened through descriptor `fd`, the file the runner checked and holds,
// whatever its path names by now (the path is still what is shown and logged).
void file_open_through(int fd);
// Positions the file at `offset` from its start; returns the new position, or -1.
long long file_seek(FileHandle file, long long offset);
// Reads up to `count` bytes; returns the number read (0 at the end), or -1 on error.
long file_read(FileHandle file, void* buffer, long count);
// The file's total size in bytes, or -1.
long long file_size(FileHandle file);
// A value that changes whenever the file's content is written (its
// modification time), or -1 when it cannot be read.
long long file_stamp(FileHandle file);
void file_close(FileHandle file);

// Creates (or empties) the file `path` and writes `count` bytes to it, without
// touching the heap. 1 on success.
int file_write_whole(const char* path, const void* data, long count);
