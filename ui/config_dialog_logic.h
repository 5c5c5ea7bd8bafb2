#pragma once
// The configuration dialog's state and rules, apart from any window system:
// the working copies, the three lists with what is attached to their entries,
// which controls each link enables, and what each command does.

#include <array>

#include "link/midi_driver.h"

// Control ids of the dialog.
enum ConfigControlId : int {
  IDC_CFG_OK = 1,
  IDC_CFG_CANCEL = 2,
  IDC_USE_SERIAL = 101,
  IDC_USE_MIDI = 102,
  IDC_COM1 = 103,
  IDC_COM2 = 104,
  IDC_COM3 = 105,
  IDC_COM4 = 106,
  IDC_SKIP_VERSION = 107,
  IDC_BAUD_38400 = 108,
  IDC_BAUD_57600 = 109,
  IDC_MIDI_OUT_LIST = 110,
  IDC_MIDI_IN_LIST = 111,
  IDC_OUT_PORT_LABEL = 112,
  IDC_IN_PORT_LABEL = 113,
  IDC_PORT_GROUP = 114,
  IDC_BAUD_GROUP = 115,
  IDC_XFER_RATE_LIST = 116,
  IDC_XFER_RATE_LABEL = 117,
};

// The settings the dialog reads and, on OK, writes.
struct ConfigValues {
  int devtype;
  int port;
  int rate_num;
  int skipver;
  int xferrate;
  int mididevnum_out;
  int mididevnum_in;
};

// The settings record's current values, and their store on OK.
ConfigValues config_values_from_settings();
void config_values_to_settings(const ConfigValues& values);
// What may be stored while a transfer runs: the chosen values with the link's
// own (link, port, baud rate, MIDI devices, transfer rate) as `current` has
// them, so that the open link and the end that closes it stay the ones the
// transfer started with.
ConfigValues config_keep_link(const ConfigValues& chosen, const ConfigValues& current);

constexpr int kConfigListMax = 64;  // entries kept per device list

struct ConfigList {
  int count;
  std::array<std::array<char, kMidiNameSize>, kConfigListMax> names;
  std::array<int, kConfigListMax> ids;  // attached identifier (output list only)
  int selection;                        // -1: none
};

struct ConfigDialogState {
  int l_devtype;
  int l_port;
  int l_rate_num;
  int l_skipver;
  int midi_usable;  // 0: "Use MIDI" disabled
  ConfigList out_list;
  ConfigList in_list;
  int rate_selection;  // position in the transfer-rate list
};

// Opening: fills the working copies and the lists from `values` and the driver.
// When MIDI is unusable (no output port listed or no input device at all),
// values->devtype becomes 0 at once, also if the dialog is then cancelled.
void config_dialog_open(ConfigDialogState* state, ConfigValues* values, const MidiDriver& driver);

// What a command leaves the dialog to do.
enum ConfigCommandResult : int {
  kConfigStay = 0,    // the dialog stays open (its checks follow the state)
  kConfigOk = 1,      // values updated; close with result 1
  kConfigCancel = 2,  // close with result 0; values unchanged
  kConfigLinkChanged = 3,  // the link choice changed: apply its enabling
};

// One WM_COMMAND by control id. On OK the list selections in the state are read
// into `values` (the caller first copies the lists' current selections into the
// state: positions, -1 for none).
int config_dialog_command(ConfigDialogState* state, ConfigValues* values, int id);

// The enabled state of one control for a link (0 serial, 1 MIDI), given which
// serial ports opened at start-up. -1 for a control the two links leave alone.
int config_control_enabled(int link, int id, const unsigned char comm_status[4]);

// The ids whose enabled state the link rules set, in the order they are set.
constexpr std::array<int, 14> kConfigLinkControls = {
    IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_PORT_GROUP, IDC_BAUD_GROUP, IDC_BAUD_38400,
    IDC_BAUD_57600, IDC_MIDI_OUT_LIST, IDC_OUT_PORT_LABEL, IDC_MIDI_IN_LIST, IDC_IN_PORT_LABEL,
    IDC_XFER_RATE_LIST, IDC_XFER_RATE_LABEL};

// The radio buttons and the check box that the state selects: the checked id of
// each range (0: none of the range).
int config_link_button(const ConfigDialogState* state);  // 101 or 102
int config_port_button(const ConfigDialogState* state);  // 103..106
int config_rate_button(const ConfigDialogState* state);  // 108..109
