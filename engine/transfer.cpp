#include "engine/transfer.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/device_protocol.h"
#include "engine/file_io.h"
#include "engine/transfer_outcome.h"
#include "engine/transfer_thread.h"
#include "engine/update_file.h"
#include "support/command_ids.h"
#include "support/printable.h"
#include "support/support_log.h"

std::atomic<int> pause_status{kTfrIdle};
// A signal handler may stop the transfer (set_tfr_stop_now): only a lock-free atomic may be used there.
static_assert(std::atomic<int>::is_always_lock_free, "the transfer state must be lock-free");
int g_skipver = 0;

namespace {

WindowHandle hWnd = nullptr;
char filename[kFilenameSize];
bool filename_fits = true;
// The path as the caller gave it, for the log when it does not fit `filename`.
char given_path[4096];
TransferScope scope = kScopeUpdate;
int target_versions[3];
std::string packet_copy = "test.dat";  // set before the transfer thread starts
bool target_known = false;
std::atomic<int> packets_done{0};
std::atomic<int> packets_total{0};
std::atomic<int> setmode_sent{0};
// A stop asked for while no transfer runs (a signal while the port opens): the
// next transfer starts stopped. Lock-free, as set_tfr_stop_now sets it.
std::atomic<int> stop_pending{0};

void sleep_ms(int ms) { transfer_sleep_ms(ms); }

// Every end of the thread: idle first, then the notice, so that a transfer
// started in answer to the notice can never have its state overwritten.
void finish(FileHandle file, int completed) {
  if (file != kInvalidFile) file_close(file);
  pause_status.store(kTfrIdle);
  post_command(hWnd, IDM_TFR_END, completed);
}

bool transition(int from, int to) {
  int expected = from;
  return pause_status.compare_exchange_strong(expected, to);
}

// A stop asked for before a message goes out is honoured before it goes: once
// the user has chosen to stop, nothing more reaches the instrument (above all
// no Set Mode, which would leave it in update mode).
bool stop_before_sending() {
  if (pause_status.load() != kTfrStopRequested) return false;
  tfr_fail_shown(kOutcomeAborted, kFaultStop, "Update Aborted", " ");
  return true;
}

// The user's stop, seen between two steps: the transfer ends without another word.
bool stopped() {
  if (pause_status.load() != kTfrStopRequested) return false;
  tfr_outcome_set(kOutcomeAborted, kFaultStop, "");
  return true;
}

// Sends a request unless a stop came first. The stop is looked at here, right
// before the send, after everything else the request waited for (the log's
// entry on a slow disk, the block, test.dat): a stop that came at any moment
// before means nothing more goes out. `went_out`, when given, is set once the
// send begins.
int send_request(const unsigned char* message, int length, std::atomic<int>* went_out = nullptr) {
  if (stop_before_sending()) return 0;
  if (went_out != nullptr) went_out->store(1);
  return tx_data(hWnd, message, length);
}

// Sends a request and receives its reply (*received of its bytes arrived); 0
// when either fails.
int exchange(const unsigned char* message, int length, unsigned char* reply, int* received,
             std::atomic<int>* went_out = nullptr) {
  return send_request(message, length, went_out) && rx_data(hWnd, reply, kReplySize, received);
}

// The version request and its validated reply, shown on the display.
int request_versions(unsigned char* reply) {
  if (stop_before_sending()) return 0;
  write_log("Sending version check...");
  const int length = build_version_request(tfr_buf);
  int received = 0;
  if (!exchange(tfr_buf, length, reply, &received) ||
      !check_rx_data(reply, kMsgVersionReply, received)) {
    return 0;
  }

  char text[256];
  std::snprintf(text, sizeof text, "Target : System:%x / User:%x / PCM:%x ", reply_version(reply, 0),
                reply_version(reply, 1), reply_version(reply, 2));
  textout(2, text);
  for (int which = 0; which < 3; ++which) target_versions[which] = reply_version(reply, which);
  target_known = true;
  return 1;
}

// The version check; 1 when the file may be sent.
int check_version(unsigned char* reply) {
  if (!request_versions(reply)) return 0;
  // PCM is compared with the second version and USER with the third, whatever
  // the display labels say; ALL with 0.
  int installed = 0;
  switch (datafile.attr_code) {
    case 0: installed = reply_version(reply, 0); break;
    case 1: installed = reply_version(reply, 1); break;
    case 2: installed = reply_version(reply, 2); break;
    default: installed = 0; break;
  }
  if (datafile.version <= installed) {
    tfr_fail_shown(kOutcomeVersionRefused, kFaultVersion, "Version check failed. The XR3300 already has",
                   "same version or better. To force update select", "Skip Version Check in configuration.",
                   "Version check failed. Same version or better.");
    write_log("Version check failed. Same version or better.");
    return 0;
  }
  write_log("Version check successful.");
  return 1;
}

int set_mode(unsigned char* reply) {
  if (stop_before_sending()) return 0;
  write_log("Sending 'Set Mode'...");
  const int length = build_set_mode(tfr_buf, datafile.attr_code);
  int received = 0;
  // Once Set Mode has begun to go out the instrument may be in update mode, whatever follows.
  if (!exchange(tfr_buf, length, reply, &received, &setmode_sent)) return 0;
  char text[256];
  std::snprintf(text, sizeof text, "Set Mode : %02x %02x %02x %02x %02x %02x %02x", reply[0], reply[1],
                reply[2], reply[3], reply[4], reply[5], reply[6]);
  textout(2, text);
  sleep_ms(20);
  return check_rx_data(reply, kMsgStatusReply, received);
}

// The file could not be read whole as it was checked: it changed (or went
// away) between the check and the read. Nothing has been sent.
void report_changed_file() {
  tfr_fail_shown(kOutcomeFileRefused, kFaultFileRead, "File Read Error",
                 "The update file changed or could not be read completely.", "Check the file and try again.");
  write_log("Update Failed : File read error (the file changed or could not be read)");
}

// The packet loop; 1 when every packet was accepted. Each block comes from the
// file as it was checked (file_buf), never from the disk again.
int send_packets(unsigned char* reply) {
  const int total = datafile.size / kFileBufSize;
  packets_total.store(total);
  int packet = 0;
  for (int remaining = total; remaining > 0; --remaining) {
    if (stop_before_sending()) return 0;
    const int length = build_data_packet(tfr_buf, packet, file_buf + static_cast<long>(packet) * kFileBufSize);
    std::memset(reply, 0, kReplySize);
    file_write_whole(packet_copy.c_str(), tfr_buf, length);  // a debug copy; failure does not matter

    if (!send_request(tfr_buf, length)) return 0;
    // Once the last packet is out the instrument completes the update whatever
    // is asked here: its reply, awaited within its time-out, tells how it ended.
    const bool last = remaining == 1;
    if (!last && stopped()) return 0;
    int received = 0;
    rx_hold_through_stop(last ? 1 : 0);
    const int replied = rx_data(hWnd, reply, kReplySize, &received);
    rx_hold_through_stop(0);
    if (!replied) return 0;

    char text[256];
    std::snprintf(text, sizeof text, "Tx Packet:%3d : %02x %02x %02x %02x %02x %02x %02x", packet,
                  reply[0], reply[1], reply[2], reply[3], reply[4], reply[5], reply[6]);
    textout(2, text);
    if (!check_rx_data(reply, kMsgStatusReply, received)) return 0;
    packets_done.store(packet + 1);
    host_packet_accepted(packet + 1, total);

    if (!last && pause_status.load() != kTfrRunning) {
      while (pause_status.load() == kTfrPaused) sleep_ms(2);
      if (stopped()) return 0;
    }
    sleep_ms(20);
    ++packet;
    write_log("Sent packet %d of %d...", packet, total);
  }
  return 1;
}

}  // namespace

void tfr_main(WindowHandle window, const char* path, int device_type, int skip_version, int xfer_rate,
              TransferScope transfer_scope) {
  hWnd = window;
  tfr_outcome_reset();
  packets_done.store(0);
  packets_total.store(0);
  setmode_sent.store(0);
  scope = transfer_scope;
  target_known = false;
  // A path that does not fit is not cut short: a shortened path could name another file.
  filename_fits = std::strlen(path) < sizeof filename;
  std::snprintf(filename, sizeof filename, "%s", filename_fits ? path : "");
  std::snprintf(given_path, sizeof given_path, "%s", path);
  g_devmode = device_type;
  g_skipver = skip_version;
  g_xferrate = xfer_rate >= 0 && xfer_rate <= 3 ? xfer_rate : 0;
  pause_status.store(kTfrRunning);
  // A stop that came while the transfer was being set up (the port opening):
  // taken after the store, so that one coming in between is seen either way.
  if (stop_pending.exchange(0) != 0) transition(kTfrRunning, kTfrStopRequested);
  if (!start_transfer_thread(tfr_thread)) {
    tfr_fail_box(window, kOutcomeNotStarted, kFaultThread, "Failed to start the transfer");
    write_log("Update Failed : Failed to start the transfer thread");
    pause_status.store(kTfrIdle);
    post_command(hWnd, IDM_TFR_END, 0);
  }
}

unsigned tfr_thread(void*) {
  unsigned char reply[kReplySize] = {};
  if (scope == kScopeVersionsOnly) {
    const int answered = request_versions(reply);
    if (answered) tfr_outcome_set(kOutcomeCompleted, kFaultNone, "");
    finish(kInvalidFile, answered);
    return 0;
  }
  const FileHandle file = filename_fits ? file_open_exclusive(filename) : kInvalidFile;
  if (file == kInvalidFile) {
    tfr_fail_box(hWnd, kOutcomeFileRefused, kFaultFileOpen, "File Open Error");
    write_log("Update Failed : Failed to open file %s", printable_text(filename_fits ? filename : given_path).c_str());
    finish(kInvalidFile, 0);
    return 0;
  }
  if (!get_file_ver(hWnd, file)) {
    write_log("Update Failed : File format/version error");
    finish(file, 0);
    return 0;
  }
  if (!take_file_image(file)) {
    report_changed_file();
    finish(file, 0);
    return 0;
  }

  char text[256];
  textout(0, filename);
  std::snprintf(text, sizeof text, "FILE : Type=%s , Version=%d.%02d", DispFiletype[datafile.attr_code & 3],
                datafile.version / 256, datafile.version & 0xFF);
  textout(1, text);
  for (int line = 2; line <= 5; ++line) textout(line, " ");

  if (scope == kScopeCheckOnly) {
    // A check asked for with the version check skipped still asks for the
    // versions: the instrument must answer for the update to be accepted.
    const int accepted = g_skipver == 0 ? check_version(reply) : request_versions(reply);
    if (accepted) {
      tfr_outcome_set(kOutcomeCompleted, kFaultNone, "");
      write_log("Check only: the update would be accepted.");
    }
    finish(file, accepted);
    return 0;
  }
  if ((g_skipver == 0 && !check_version(reply)) || !set_mode(reply)) {
    finish(file, 0);
    return 0;
  }
  write_log("Set Mode successful.");
  post_command(hWnd, IDM_STOP_ENABLE, 1);

  if (!send_packets(reply)) {
    finish(file, 0);
    return 0;
  }

  post_command(hWnd, IDM_STOP_ENABLE, 0);
  file_close(file);
  tfr_outcome_set(kOutcomeCompleted, kFaultNone, "");
  textout(3, "Update Complete!");
  write_log("Update completed successfully.");
  finish(kInvalidFile, 1);
  return 0;
}

void tfr_end() { release_transfer_thread(); }

void tfr_progress(int* done, int* total) {
  *done = packets_done.load();
  *total = packets_total.load();
}

int tfr_target_versions(int versions[3]) {
  if (!target_known) return 0;
  for (int which = 0; which < 3; ++which) versions[which] = target_versions[which];
  return 1;
}

void set_tfr_pause() { transition(kTfrRunning, kTfrPaused); }
void set_tfr_restart() { transition(kTfrPaused, kTfrRunning); }
void set_tfr_stop() { transition(kTfrPaused, kTfrStopRequested); }
void set_tfr_stop_now() {
  if (transition(kTfrRunning, kTfrStopRequested) || transition(kTfrPaused, kTfrStopRequested)) return;
  if (pause_status.load() == kTfrIdle) stop_pending.store(1);
}
void clear_tfr_stop_pending() { stop_pending.store(0); }
int tfr_set_mode_sent() { return setmode_sent.load(); }

void tfr_set_packet_copy(const char* name) { packet_copy = name != nullptr && name[0] != '\0' ? name : "test.dat"; }
int query_tfr_stop() { return pause_status.load() == kTfrIdle ? 1 : 0; }
