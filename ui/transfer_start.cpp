#include "ui/transfer_start.h"

#include <chrono>
#include <thread>

#include "engine/transfer.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/settings.h"
#include "support/support_log.h"

int tx_start(WindowHandle window, const char* path, TransferScope scope) {
  const char* skip = skipver ? "Yes" : "No";
  if (devtype == 0) {
    write_log("Starting serial transfer of file %s\nSkipVer : %s\nPort    : COM%d", path, skip, port);
    if (!set_comm(window, port, rate_table[rate_num])) return 0;
  } else {
    const char* devices = get_midi_cfg(mididevnum_out, mididevnum_in);
    write_log("Starting MIDI transfer of file %s\nSkipVer  : %s\nXferRate : %s\n%s", path, skip,
              xfer_rate_names[xferrate], devices);
    if (!set_midi(window, mididevnum_out, mididevnum_in)) return 0;
  }
  tfr_main(window, path, devtype, skipver, scope);
  return 1;
}

void tx_end() {
  if (devtype == 0) {
    free_comm();
  } else {
    free_midi();
  }
  tfr_end();
}

void tx_close_all() {
  free_comm();
  free_midi();
  tfr_end();
}

void stop_dialog_opened() { set_tfr_pause(); }

void stop_dialog_continue() { set_tfr_restart(); }

void stop_dialog_request_stop() {
  set_tfr_stop();
  midi_force_timeout();
  comm_force_stop();
}

// A stop that came while the last packet's reply was awaited let the update
// complete: the log then keeps its "Update completed successfully." alone.
void stop_dialog_aborted() {
  if (!tfr_last_completed()) write_log("User aborted update");
}

void stop_dialog_abort() {
  stop_dialog_request_stop();
  // Every end of the transfer thread sets the idle state, so this wait ends.
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (!query_tfr_stop());
  stop_dialog_aborted();
}
