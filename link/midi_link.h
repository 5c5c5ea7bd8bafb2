#pragma once
// The MIDI link: a pair of MIDI devices, long messages sent in paced chunks,
// replies caught in two input buffers armed before each send.
//
// All platform calls go through the MIDI driver seam (link/midi_driver.h).

#include <cstdint>

#include "link/midi_driver.h"
#include "support/host.h"

// Opens output `out_id` and input `in_id`. 0 after a message box (nothing left open).
int set_midi(WindowHandle window, int out_id, int in_id);
// The two devices' names and driver versions, for the support log.
const char* get_midi_cfg(int out_id, int in_id);
// Hands both input buffers to the driver and starts input. 0 on failure (logged).
int rx_midi_setbuffer();
// Sends in chunks paced by `rate`. Right before the last chunk the input is
// armed afresh: what it caught before then is no reply to this message (it is
// logged as discarded). 1 sent; 0 failed (logged); -1 cut short by a stop,
// also one asked for before the first chunk.
int tx_data_midi(WindowHandle window, const unsigned char* data, int length, int rate);
// 1 reply copied; -1 time-out or no reply; -2 cut short by a stop. Only the
// bytes the driver recorded in this receive are copied (the rest of `length`
// is zeroed); their number goes to *received when it is given.
int rx_data_midi(WindowHandle window, unsigned char* dest, int length, int* received = nullptr);
// One 100 ms tick of the receive time-out clock.
void add_midi_time();
// Ends a pending MIDI wait at once (the stop dialog's Abort). The stop holds
// for the rest of the transfer: a receive that begins after it ends with -2.
void midi_force_timeout();
// While on, a receive runs to its reply or its time-out, on its own clock,
// even after a stop: the reply to the last data packet tells how the update
// really ended.
void midi_hold_through_stop(int on);
void free_midi();

// Fixed numbers of the link.
constexpr int kMidiExcOutSize = 0x3000;   // output buffer
constexpr int kMidiExcInSize = 256;       // each input buffer, and the most a reply copies
constexpr int kMidiDoneWaitMs = 1000;     // completion wait per chunk
// How long free_midi waits for a chunk still with the driver, before and after
// the reset: 512 bytes take 164 ms at 31,250 baud.
constexpr int kMidiReleaseWaitMs = 200;
constexpr int kMidiBusyAttempts = 10;
constexpr int kMidiBusySleepMs = 15;
constexpr int kMidiPollMs = 10;           // receive poll interval
constexpr int kMidiTimeoutTicks = 100;    // receive time-out in 100 ms ticks
constexpr int kMidiStopMark = 2000;       // timecount after a stop
constexpr unsigned kMidiHdrMemFlags = kGmemShare | kGmemZeroinit | kGmemMoveable;  // 0x2042
constexpr unsigned kMidiOutBufMemFlags = kGmemZeroinit | kGmemMoveable;            // 0x42

// The transfer-rate table: pause after each chunk in ms, then the chunk size.
extern const int xferrate_cfg[4][2];

// Internal operations, visible for the tests.
int alloc_midihdr(WindowHandle window);
int alloc_excbuf(WindowHandle window);
int midi_open(WindowHandle window, int out_id, int in_id);
// Copies the word for an open error into text (at most size bytes with the terminator).
void get_mmresult(unsigned code, char* text, int size);
// The platform's text for a code, in each function's own static buffer.
const char* get_midi_out_err(unsigned code);
const char* get_midi_in_err(unsigned code);
void free_midi_sub();
void MidiOutProc(MidiHandle handle, unsigned msg, uintptr_t instance, uintptr_t param1,
                 uintptr_t param2);
void MidiInProc(MidiHandle handle, unsigned msg, uintptr_t instance, uintptr_t param1,
                uintptr_t param2);
// The receive clock in ticks, and the number of input buffers back from the driver.
int midi_timecount();
int midi_rxmidi_status();
// Whether anything of the link (device, memory, event) exists.
int midi_link_is_open();
