#include "ui/transfer_start.h"

#include <chrono>
#include <thread>

#include "engine/transfer.h"
#include "engine/transfer_outcome.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/printable.h"
#include "support/settings.h"
#include "support/support_log.h"

namespace {

// The link of the transfer that runs (or ran last): the one its end closes.
int g_started_devtype = kLinkSerial;

}  // namespace

LinkTarget settings_link_target() {
  LinkTarget link;
  link.devtype = devtype == 0 ? kLinkSerial : kLinkMidi;
  link.com_port = port;
  link_target_set_device(&link, com_port_device(port));
  link.baud = rate_num >= 0 && rate_num <= 2 ? rate_table[rate_num] : rate_table[1];
  link.midi_out = mididevnum_out;
  link.midi_in = mididevnum_in;
  link.xferrate = xferrate;
  link.skipver = skipver;
  return link;
}

int tx_start(WindowHandle window, const char* path, const LinkTarget& link, TransferScope scope, std::string* why) {
  const char* skip = link.skipver ? "Yes" : "No";
  // Names from outside go into the log escaped: a line break or an escape in
  // them must not make an entry of its own or drive a terminal showing the log.
  const std::string shown_path = printable_text(path != nullptr ? path : "");
  if (scope == kScopeVersionsOnly) {
    // No file: the entry names the device asked.
    if (link.devtype == kLinkSerial && link.com_port >= 1 && link.com_port <= 4) {
      write_log("Starting serial version request\nPort    : COM%d (%s)", link.com_port,
                printable_text(link.device).c_str());
    } else if (link.devtype == kLinkSerial) {
      write_log("Starting serial version request\nPort    : %s", printable_text(link.device).c_str());
    } else {
      write_log("Starting MIDI version request\n%s", get_midi_cfg(link.midi_out, link.midi_in));
    }
  } else if (link.devtype == kLinkSerial) {
    if (link.com_port >= 1 && link.com_port <= 4) {
      write_log("Starting serial transfer of file %s\nSkipVer : %s\nPort    : COM%d", shown_path.c_str(), skip,
                link.com_port);
    } else {
      // A device named for this run that is none of the settings' COM ports.
      write_log("Starting serial transfer of file %s\nSkipVer : %s\nPort    : %s", shown_path.c_str(), skip,
                printable_text(link.device).c_str());
    }
  } else {
    const int rate = link.xferrate >= 0 && link.xferrate <= 3 ? link.xferrate : 0;
    const char* devices = get_midi_cfg(link.midi_out, link.midi_in);
    write_log("Starting MIDI transfer of file %s\nSkipVer  : %s\nXferRate : %s\n%s", shown_path.c_str(), skip,
              xfer_rate_names[rate], devices);
  }
  if (link.devtype == kLinkSerial) {
    // The run that was started in the log ends there too: the MIDI link logs
    // its own open errors, the serial link only shows them.
    std::string failed;
    if (!set_comm_device(window, link.device, link.baud, &failed)) {
      write_log("Update Failed : %s", printable_text(failed).c_str());
      if (why != nullptr) *why = failed;
      return 0;
    }
  } else {
    if (!set_midi(window, link.midi_out, link.midi_in)) return 0;
  }
  g_started_devtype = link.devtype;
  tfr_main(window, path, link.devtype, link.skipver, link.xferrate, scope);
  return 1;
}

void tx_end() {
  if (g_started_devtype == kLinkSerial) {
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

// Only a stop that ended the transfer is the user's abort. One that came while
// the last packet's reply was awaited leaves the end to that reply: the update
// completed, or the instrument's error (or its silence) is what the log keeps.
void stop_dialog_aborted() {
  if (tfr_outcome().outcome == kOutcomeAborted) write_log("User aborted update");
}

void stop_dialog_abort() {
  stop_dialog_request_stop();
  // Every end of the transfer thread sets the idle state, so this wait ends.
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (!query_tfr_stop());
  stop_dialog_aborted();
}
