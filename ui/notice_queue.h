#pragma once
// The Linux program's stand-in for a window's message queue: the transfer
// thread posts its notices (commands 208 and 209) here, and anything that must
// wake the waiting thread (a notice, a new display line, a signal) writes a byte
// to a pipe whose read end that thread polls beside whatever else it waits for.

#include <cstdint>

struct Notice {
  int id;
  intptr_t lparam;
};

// Makes the wake pipe and empties the queue. 0 when no pipe can be made.
int notices_open();
// From now on notices are dropped and wakes do nothing (the transfer thread may
// still post its end after the program has stopped listening).
void notices_close();
// Queues a notice and wakes the waiter. Any thread.
void notices_post(int id, intptr_t lparam);
// The oldest notice; false when there is none.
bool notices_take(Notice* notice);
// Forgets every queued notice.
void notices_clear();
// Wakes the waiter. Async-signal-safe: a signal handler may call it.
void notices_wake();
// The descriptor to poll for POLLIN; -1 when closed.
int notices_wake_fd();
// Empties the pipe after a wake-up.
void notices_drain();
