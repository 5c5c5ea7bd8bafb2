#include "engine/device_protocol.h"

#include "engine/seven_bit.h"
#include "engine/update_file.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "engine/transfer_outcome.h"
#include "support/support_log.h"

int g_devmode = 0;
int g_xferrate = 0;

namespace {

struct ErrorRow {
  const char* what;  // line 3 and the support log
  const char* why;   // line 4
  const char* todo;  // line 5
};

constexpr const char kCheckCables[] = "Check configuration and cables, and try again";
constexpr const char kTryAgain[] = "Try again, and contact support if error persists";

constexpr ErrorRow kHeadErrors[5] = {
    {"Rx Msg Error(0:Not Exclusive)", "Received invalid response (a non sysex message)", kCheckCables},
    {"Rx Msg Error(1:Not PELD ID)", "Received invalid response (from a non-Peld device)", kCheckCables},
    {"Rx Msg Error(2:JIG ID Error)", "Received invalid response (invalid format)", kCheckCables},
    {"Rx Msg Error(3:Product ID Error)", "Received invalid response (sender is not an XR3300/R)",
     kCheckCables},
    {"Rx Msg Error(4:Msg Code Error)", "Received invalid response from the XR3300", kCheckCables},
};

// Status 1 to 5; 6 to 255 share the last row.
constexpr ErrorRow kStatusErrors[6] = {
    {"Rx Msg Error(5:Format Error)", "XR3300 received a badly formatted message", kCheckCables},
    {"Rx Msg Error(5:Checksum Error)", "XR3300 received a badly formatted message", kCheckCables},
    {"Rx Msg Error(5:Timeout Error)", "XR3300 reported that a timeout occurred", kCheckCables},
    {"Rx Msg Error(5:Hardware Error)", "XR3300 reported that a MIDI error occurred", kCheckCables},
    {"Rx Msg Error(5:Write Error)", "XR3300 failed to write to its internal memory", kTryAgain},
    {"Rx Msg Error(5:Unknown Error)", "XR3300 reported an unknown error", kTryAgain},
};

int report(const ErrorRow& row) {
  tfr_fail_shown(kOutcomeDeviceError, kFaultReply, row.what, row.why, row.todo);
  write_log_text(row.what);
  return 0;
}

constexpr unsigned char kHead[4] = {0xF0, 0x42, 0x23, 0x58};

}  // namespace

unsigned char* make_excl_head(unsigned char* buf, unsigned char code) {
  buf[0] = kHead[0];
  buf[1] = kHead[1];
  buf[2] = kHead[2];
  buf[3] = kHead[3];
  buf[4] = code;
  return buf;
}

int reply_version(const unsigned char* reply, int which) {
  return reply[6 + 2 * which] * 256 + reply[5 + 2 * which];
}

int build_version_request(unsigned char* buf) {
  make_excl_head(buf, kMsgVersionRequest);
  buf[5] = 0xF7;
  return kVersionRequestSize;
}

int build_set_mode(unsigned char* buf, int attr_code) {
  make_excl_head(buf, kMsgSetMode);
  buf[5] = static_cast<unsigned char>(attr_code);
  buf[6] = 0xF7;
  return kSetModeSize;
}

int build_data_packet(unsigned char* buf, int packet_number, const unsigned char* block) {
  make_excl_head(buf, kMsgDataPacket);
  buf[5] = static_cast<unsigned char>(packet_number & 0x7F);
  buf[6] = static_cast<unsigned char>((packet_number >> 7) & 0x7F);
  unsigned char checksum = 0;
  const int packed = encode_midi(block, buf + 7, kFileBufSize, &checksum);
  buf[7 + packed] = checksum;
  buf[8 + packed] = 0xF7;
  return packed + 9;
}

int tx_data(WindowHandle window, const unsigned char* message, int length) {
  int result;
  if (g_devmode == 0) {
    result = tx_data_comm(window, message, length);
  } else {
    // The reply may begin while the request is still going out: arm the receive first.
    if (!rx_midi_setbuffer()) {
      tfr_fail_shown(kOutcomeDeviceError, kFaultMidiPrepare, "MIDI receive preparation failed.",
                     "Please contact technical support.");
      write_log("Update failed : MIDI receive preparation failed.");
      return 0;
    }
    result = tx_data_midi(window, message, length, g_xferrate);
  }
  if (result == 0) {
    tfr_fail_shown(kOutcomeDeviceError, kFaultTransmit, "Transmit Error", "Please contact technical support.");
    write_log("Update failed : Transmit Error");  // a line gone (an adapter unplugged) ends the run here
    return 0;
  }
  if (result == -1) {
    tfr_fail_shown(kOutcomeAborted, kFaultStop, "Update Aborted", " ");
    return 0;
  }
  return 1;
}

int rx_data(WindowHandle window, unsigned char* reply, int length, int* received) {
  int got = length;
  const int result = g_devmode == 0 ? rx_data_comm(window, reply, length, &got)
                                    : rx_data_midi(window, reply, length, &got);
  if (received != nullptr) *received = result == 1 ? got : 0;
  switch (result) {
    case 0:
      tfr_fail_shown(kOutcomeDeviceError, kFaultReceive, "Receive Error", "Please contact technical support.");
      write_log("Update failed : Receive Error");
      return 0;
    case -1:
      tfr_fail_shown(kOutcomeDeviceError, kFaultTimeout, "Receive Error(Timeout)",
                     "XR3300 did not respond. Please check", "MIDI configuration and cabling.");
      write_log("Update failed : Receive Error(Timeout)");
      return 0;
    case -2:
      tfr_outcome_set(kOutcomeAborted, kFaultStop, "");
      return 0;  // a stop: whoever asked for it reports it
    default:
      return 1;
  }
}

void rx_hold_through_stop(int on) {
  comm_hold_through_stop(on);
  midi_hold_through_stop(on);
}

namespace {

// The row of the first check the reply fails; null when it is valid.
const ErrorRow* failed_check(const unsigned char* reply, unsigned char expected_code, int received) {
  if (received < 1 || (reply[0] != 0xF0 && reply[0] != 0xF7)) return &kHeadErrors[0];
  for (int i = 1; i < 4; ++i) {
    if (received <= i || reply[i] != kHead[i]) return &kHeadErrors[i];
  }
  if (received <= 4 || reply[4] != expected_code) return &kHeadErrors[4];
  // A version reply whose three versions (bytes 5 to 10) did not all arrive is
  // not the reply asked for: versions that never came must not pass the check.
  if (expected_code == kMsgVersionReply && received < 11) return &kHeadErrors[4];
  if (expected_code != kMsgStatusReply) return nullptr;
  // A status that never arrived is none the instrument gives: an unknown one.
  if (received <= 5) return &kStatusErrors[5];
  const unsigned status = reply[5];
  if (status == 0) return nullptr;
  return &kStatusErrors[status <= 5 ? status - 1 : 5];
}

}  // namespace

int check_rx_data(const unsigned char* reply, unsigned char expected_code, int received) {
  const ErrorRow* row = failed_check(reply, expected_code, received);
  return row == nullptr ? 1 : report(*row);
}

const char* reply_fault(const unsigned char* reply, unsigned char expected_code, int received) {
  const ErrorRow* row = failed_check(reply, expected_code, received);
  return row == nullptr ? nullptr : row->what;
}
