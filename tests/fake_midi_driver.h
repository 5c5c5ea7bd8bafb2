#pragma once
// A MIDI driver for tests that keeps the platform's promises: done notices and
// returned input buffers arrive from a thread of its own, a reset hands back
// every buffer before it returns, and a peer (the instrument) answers what the
// program sends. It has a clock of its own: sleeps and waits that would run
// out are recorded and return at once, advancing the clock instead. A wait
// that something in flight can end (a chunk being completed, a reply being
// delivered) blocks for real until that has happened.
//
// On demand it refuses sends as busy, keeps chunks without completing them,
// fails opens and allocations, hands back input buffers with given contents
// and lets its devices vanish. It also checks the link: freeing memory that
// the driver holds, or closing a device that still holds buffers, is
// recorded as a violation.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "link/midi_driver.h"

// The instrument: the bytes of one completed chunk in, the bytes it answers with out.
using FakeMidiPeer = std::function<std::vector<unsigned char>(const unsigned char* data, size_t length)>;

enum class FakeMidiCall { kSend, kSleep, kWaitAny, kWaitOne };

// One recorded call of the link on its thread.
struct FakeMidiStep {
  FakeMidiCall call;
  long long at_ms;       // the fake clock when the call began
  unsigned arg;          // send: chunk length; sleep and waits: the time asked for
  unsigned result;       // send: the result code; waits: the wait result
  long long elapsed_ms;  // how far the fake clock went on during the call
};

// Installs the fake with `outs` output and `ins` input devices and a fresh clock at 0.
void fake_midi_install(int outs = 1, int ins = 1);
// Stops the fake's thread and puts the platform's driver back.
void fake_midi_uninstall();
const MidiDriver& fake_midi_driver();

void fake_midi_set_peer(FakeMidiPeer peer);
// Called for every 100 ms the fake clock passes (the main window's tick timer).
void fake_midi_set_ticker(void (*tick)());
// Called on the link's thread at the start of every sleep and wait, before it is
// decided: a stop that the hook makes arrives during that sleep or wait.
void fake_midi_on_wait(std::function<void(FakeMidiCall call, unsigned ms)> hook);
// The driver version reported for every device (default 0x0102).
void fake_midi_set_version(unsigned version);

// The next `count` sends are refused with `code` (count -1: every send).
void fake_midi_refuse_sends(int count, unsigned code = kMidiErrNotReady);
// Chunks are kept and never completed until a reset or close hands them back.
void fake_midi_hold_completions(bool hold);
// Held chunks are kept through resets too: the driver never hands them back,
// and closing the output fails with kMidiErrStillPlaying.
void fake_midi_keep_chunks_through_resets(bool keep);
// Every completion wait (the wait on several events) fails with kWaitFailed.
void fake_midi_fail_completion_waits(bool fail);
// Whether input is started, and how many input buffers the driver holds.
bool fake_midi_input_started();
int fake_midi_input_buffers_held();
// The open output device's handle (null when it is closed).
MidiHandle fake_midi_out_handle();
// Opens of that direction fail with `code` (0: open normally).
void fake_midi_fail_open(bool output, unsigned code);
// The n-th allocation from now (1 = the next) fails; lock: its lock fails instead.
void fake_midi_fail_alloc(int nth, bool lock);
// The devices vanish: no devices are listed, opens fail, and every call on an
// open device fails with kMmNoDriver, except stop, reset and close, which
// still hand back what the driver held.
void fake_midi_vanish(bool gone);

// Bytes from the instrument without a request, delivered by the fake's thread.
void fake_midi_deliver(std::vector<unsigned char> bytes);
// The fake's thread writes buf0 into the first queued input buffer and buf1 into
// the second, then hands back the first `returned` (0 to 2) of them.
void fake_midi_return_raw(std::vector<unsigned char> buf0, std::vector<unsigned char> buf1,
                          int returned);
// Waits (up to `deadline_ms` of real time) until the fake's thread has nothing to do.
bool fake_midi_wait_idle(int deadline_ms = 5000);

long long fake_midi_now_ms();
std::vector<FakeMidiStep> fake_midi_steps();
void fake_midi_clear_steps();
// The bytes of every completed chunk, in order, and the chunks' lengths.
std::vector<unsigned char> fake_midi_sent_bytes();
std::vector<unsigned> fake_midi_completed_chunks();
// Memory blocks, events and open devices that exist now.
int fake_midi_live_memory();
int fake_midi_live_events();
int fake_midi_open_devices();
// The flags of every allocation so far, in order.
std::vector<unsigned> fake_midi_alloc_flags();
// Broken promises of the link (memory freed under the driver and the like).
std::vector<std::string> fake_midi_violations();
// The release calls in order: "out_reset", "out_unprepare", "out_close",
// "in_stop", "in_reset", "in_unprepare", "in_close", "free <size>", "event_close <n>"
// (n: the event's place in the order of creation, from 1).
std::vector<std::string> fake_midi_release_steps();
void fake_midi_clear_release_steps();
// A peer for an instrument that answers whole messages: it gathers the chunks
// of each message from F0 to F7 and hands `answer` the message; the reply goes
// back to the program. Called on the fake's thread only.
FakeMidiPeer fake_midi_message_peer(
    std::function<std::vector<unsigned char>(const std::vector<unsigned char>&)> answer);
// How often each of these was called.
int fake_midi_out_resets();
int fake_midi_in_resets();
