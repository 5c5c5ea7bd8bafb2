#pragma once
// Starting the transfer thread, one OS file each: _beginthreadex at
// time-critical priority on Windows, a POSIX thread on Linux, an async task of
// the page in the browser (whose waits yield to the page instead of blocking).

// Starts body(nullptr) on a new thread and keeps its handle. 1 on success.
int start_transfer_thread(unsigned (*body)(void*));
// Releases the kept handle, if any; neither waits for nor stops the thread.
void release_transfer_thread();
// Tests: the next start fails, as on a system that has no thread to give.
void transfer_thread_refuse_next_start();
// The transfer's own waits (the 20 ms after a reply, the pause polls).
void transfer_sleep_ms(int ms);
