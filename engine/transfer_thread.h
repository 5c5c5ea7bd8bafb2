#pragma once
// Starting the transfer thread, one OS file each: _beginthreadex at
// time-critical priority on Windows, a POSIX thread on Linux.

// Starts body(nullptr) on a new thread and keeps its handle. 1 on success.
int start_transfer_thread(unsigned (*body)(void*));
// Releases the kept handle, if any; neither waits for nor stops the thread.
void release_transfer_thread();
// Tests: the next start fails, as on a system that has no thread to give.
void transfer_thread_refuse_next_start();
