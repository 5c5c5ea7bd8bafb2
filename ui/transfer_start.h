#pragma once
// Starting a transfer on the link chosen for it, and the stop dialog's decisions.

#include <string>

#include "engine/transfer.h"
#include "link/link_target.h"
#include "support/host.h"

// The link the settings record names: the configured link, COM port (and its
// device), baud rate, MIDI devices, transfer rate and version-check switch.
LinkTarget settings_link_target();

// Logs the start, opens `link` and starts the transfer thread on it.
// 1 when the transfer runs (the caller grays "&Update..." and "&Config..." and
// sets its transfer flag); 0 when the link could not be opened (the user has
// been told, the log has the run's end; nothing changed), *why then telling
// what failed when it is given.
// `scope` limits how far it goes (a check or the version request alone).
int tx_start(WindowHandle window, const char* path, const LinkTarget& link,
             TransferScope scope = kScopeUpdate, std::string* why = nullptr);

// The end of a transfer (command 208): closes the link the transfer was started
// on and releases the transfer thread's handle.
void tx_end();
// The program closes (or the session ends) with no transfer left running:
// closes both links, whichever is open, and releases the thread's handle.
void tx_close_all();

// The stop dialog: opening pauses the transfer; Continue resumes it; Abort asks
// the thread to stop, wakes a pending MIDI wait, waits until the thread has
// ended and logs "User aborted update".
void stop_dialog_opened();
void stop_dialog_continue();
void stop_dialog_abort();
// Abort in two halves, for a front end that must keep answering messages while
// it waits: the request (stop, and wake a pending MIDI wait), then the entry in
// the log once the thread has ended (query_tfr_stop).
void stop_dialog_request_stop();
void stop_dialog_aborted();
