#pragma once
// The update file: its 16-byte header, the check run before any device message,
// the copy of the checked file that every packet is taken from, and the two
// transfer buffers allocated once at start-up.

#include "engine/file_io.h"
#include "support/host.h"

constexpr int kFileBufSize = 8192;   // one block of the file
constexpr int kImageBufSize = 0x100000;  // the largest update file (ALL), held whole
constexpr int kTfrBufSize = 12288;   // one outgoing device message
constexpr int kHeaderSize = 16;
constexpr int kSecondHeaderOffset = 2048;
constexpr unsigned char kProductId = 0x58;

// What the header check leaves for the transfer thread.
struct Datafile {
  int size;       // total size the attribute code requires, in bytes
  int version;    // major * 256 + minor
  int attr_code;  // 0 SYSTEM, 1 PCM, 2 USER, 3 ALL
};
extern Datafile datafile;

// Type names, indexed by the attribute code's low two bits.
extern const char DispFiletype[4][8];

// file_buf holds the whole update file as the check accepted it (kImageBufSize
// bytes): packet k is packed from file_buf + 8192 k, so no later change to the
// file on disk can mix into an update.
extern unsigned char* file_buf;
extern unsigned char* tfr_buf;

// Allocates both buffers; 0 (after telling the user) when that fails.
int init_tfr();
void free_tfr();

// Compares n bytes as signed chars: -1, 0 or 1 at the first difference.
int strcmp_n(const void* first, const void* second, int n);

// Checks the header of an open update file. 1 when it passes (datafile filled,
// file at offset 0); 0 after one error box owned by `window`.
int get_file_ver(WindowHandle window, FileHandle file);

// Reads the file that has just passed get_file_ver whole into file_buf. 1 when
// what was read is the file the check accepted: exactly datafile.size bytes and
// nothing after them, the checked header where the check found it, and no
// write to the file while it was read. 0 otherwise (the file changed or could
// not be read); nothing is shown.
int take_file_image(FileHandle file);

// The required size for an attribute code 0 to 3, or 0 for any other.
int required_file_size(int attr_code);
