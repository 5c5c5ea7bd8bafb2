#pragma once
// One update, run on its own thread: file check, version check, Set Mode, every
// data packet with its status reply, and the end notices to the main window.

#include <atomic>

#include "support/host.h"

constexpr int kFilenameSize = 260;

enum PauseStatus : int {
  kTfrRunning = 0,
  kTfrPaused = 1,
  kTfrStopRequested = 2,
  kTfrIdle = 3,
};
extern std::atomic<int> pause_status;

extern int g_skipver;

// How far a transfer goes: the whole update; the file check and the version
// check only (nothing that changes the instrument); or the version request alone
// (no file: `path` is not used).
enum TransferScope : int {
  kScopeUpdate = 0,
  kScopeCheckOnly = 1,
  kScopeVersionsOnly = 2,
};

// Starts the transfer thread for `path` on link `device_type` (0 serial, 1 MIDI),
// the MIDI link pacing its sends by `xfer_rate` (0..3). How it ended is recorded
// in the transfer's outcome (engine/transfer_outcome.h).
void tfr_main(WindowHandle window, const char* path, int device_type, int skip_version, int xfer_rate,
              TransferScope scope = kScopeUpdate);
// The three versions of the last valid version reply, in the reply's order
// (the display labels them System, User, PCM). 0 when the last transfer had none.
int tfr_target_versions(int versions[3]);
// How far the data packets have got: the packets whose reply was accepted, and
// the packets of the file (0 before the data packets begin). Any thread.
void tfr_progress(int* done, int* total);
// The thread's body.
unsigned tfr_thread(void* unused);
// Releases the last thread's handle; neither waits for nor stops it.
void tfr_end();

void set_tfr_pause();    // running -> paused
void set_tfr_restart();  // paused -> running
void set_tfr_stop();     // paused -> stop requested
// A stop asked for without the stop dialog (a signal): running or paused ->
// stop requested, at once, so that the check before the next message sees it.
// While idle (the link still opening) the next transfer starts stopped and
// sends nothing. Async-signal-safe.
void set_tfr_stop_now();
// Forgets a stop that set_tfr_stop_now kept for the next transfer.
void clear_tfr_stop_pending();
// 1 when the last transfer sent Set Mode (the instrument may be in update mode).
int tfr_set_mode_sent();
// The name of the copy of the last data packet sent ("test.dat" unless set;
// each of several runs side by side keeps its own). Set before a transfer.
void tfr_set_packet_copy(const char* name);
// 1 when no transfer runs (idle).
int query_tfr_stop();
