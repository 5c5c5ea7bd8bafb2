#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/config_dialog_logic.h"

namespace {

// A driver whose devices a test describes.
struct FakeOut {
  std::string name;
  unsigned technology;
  bool readable;
};
std::vector<FakeOut> g_outs;
std::vector<std::string> g_ins;
std::vector<bool> g_in_readable;

unsigned out_num() { return static_cast<unsigned>(g_outs.size()); }
unsigned in_num() { return static_cast<unsigned>(g_ins.size()); }
unsigned out_caps(unsigned id, MidiOutCaps* caps) {
  if (id >= g_outs.size() || !g_outs[id].readable) return 2;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%s", g_outs[id].name.c_str());
  caps->wTechnology = g_outs[id].technology;
  return 0;
}
unsigned in_caps(unsigned id, MidiInCaps* caps) {
  if (id >= g_ins.size() || !g_in_readable[id]) return 2;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%s", g_ins[id].c_str());
  return 0;
}
constexpr MidiDriver kFake = {out_num, in_num, out_caps, in_caps};

constexpr unsigned kPort = 1, kSynth = 2;

ConfigValues defaults() { return ConfigValues{1, 1, 1, 0, 0, 0, 0}; }

class ConfigDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    g_outs = {{"Out A", kPort, true}, {"Synth", kSynth, true}, {"Out B", kPort, true}};
    g_ins = {"In A", "In B"};
    g_in_readable = {true, true};
  }
  ConfigDialogState state{};
};

std::string entry(const ConfigList& list, int i) { return list.names[static_cast<std::size_t>(i)].data(); }

}  // namespace

TEST_F(ConfigDialog, OutputListShowsOnlyHardwarePortsWithTheirIdentifiers) {
  ConfigValues values = defaults();
  values.mididevnum_out = 2;
  config_dialog_open(&state, &values, kFake);
  ASSERT_EQ(state.out_list.count, 2);
  EXPECT_EQ(entry(state.out_list, 0), "Out A");
  EXPECT_EQ(entry(state.out_list, 1), "Out B");
  EXPECT_EQ(state.out_list.ids[0], 0);
  EXPECT_EQ(state.out_list.ids[1], 2);
  EXPECT_EQ(state.out_list.selection, 1);
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_CFG_OK), kConfigOk);
  EXPECT_EQ(values.mididevnum_out, 2);
}

TEST_F(ConfigDialog, OutputNamingASynthesizerSelectsTheFirstPort) {
  ConfigValues values = defaults();
  values.mididevnum_out = 1;
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.out_list.selection, 0);
  config_dialog_command(&state, &values, IDC_CFG_OK);
  EXPECT_EQ(values.mididevnum_out, 0);
}

TEST_F(ConfigDialog, UnreadableDevicesAreSkippedForOutputAndNamelessForInput) {
  g_outs[0].readable = false;
  g_in_readable[0] = false;
  ConfigValues values = defaults();
  values.mididevnum_in = 1;
  config_dialog_open(&state, &values, kFake);
  ASSERT_EQ(state.out_list.count, 1);
  EXPECT_EQ(state.out_list.ids[0], 2);
  ASSERT_EQ(state.in_list.count, 2);
  EXPECT_EQ(entry(state.in_list, 0), "");
  EXPECT_EQ(entry(state.in_list, 1), "In B");
  EXPECT_EQ(state.in_list.selection, 1);
}

// Two identical interfaces show two names, the first as the driver gives it;
// a 31-character name is cut to make room for the number.
TEST_F(ConfigDialog, SameNamedDevicesAreListedUnderNamesOfTheirOwn) {
  g_outs = {{"Twin", kPort, true}, {"Twin", kSynth, true}, {"Twin", kPort, true}};
  g_ins = {"0123456789012345678901234567890", "0123456789012345678901234567890"};
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  ASSERT_EQ(state.out_list.count, 2);
  EXPECT_EQ(entry(state.out_list, 0), "Twin");
  EXPECT_EQ(entry(state.out_list, 1), "Twin #3");
  ASSERT_EQ(state.in_list.count, 2);
  EXPECT_EQ(entry(state.in_list, 0), "0123456789012345678901234567890");
  EXPECT_EQ(entry(state.in_list, 1), "0123456789012345678901234567 #2");
}

TEST_F(ConfigDialog, InputNoneOpensWithoutSelectionAndOkStoresNone) {
  ConfigValues values = defaults();
  values.mididevnum_in = -1;
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.in_list.selection, -1);
  config_dialog_command(&state, &values, IDC_CFG_OK);
  EXPECT_EQ(values.mididevnum_in, -1);
}

TEST_F(ConfigDialog, NoOutputDeviceMakesMidiUnusableAndKeepsOneEmptyEntry) {
  g_outs.clear();
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.midi_usable, 0);
  EXPECT_EQ(values.devtype, 0);
  EXPECT_EQ(config_link_button(&state), IDC_USE_SERIAL);
  ASSERT_EQ(state.out_list.count, 1);
  EXPECT_EQ(entry(state.out_list, 0), "");
  EXPECT_EQ(state.out_list.selection, 0);
  config_dialog_command(&state, &values, IDC_CFG_OK);
  EXPECT_EQ(values.devtype, 0);
  EXPECT_EQ(values.mididevnum_out, 0);
}

TEST_F(ConfigDialog, NoMidiPortAmongOutputsSwitchesToSerialEvenOnCancel) {
  g_outs = {{"Synth", kSynth, true}};
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.midi_usable, 0);
  EXPECT_EQ(values.devtype, 0);
  EXPECT_EQ(state.out_list.count, 0);
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_CFG_CANCEL), kConfigCancel);
  EXPECT_EQ(values.devtype, 0);
  ConfigValues ok_values = defaults();
  config_dialog_open(&state, &ok_values, kFake);
  config_dialog_command(&state, &ok_values, IDC_CFG_OK);
  EXPECT_EQ(ok_values.mididevnum_out, -1);
}

TEST_F(ConfigDialog, NoInputDeviceMakesMidiUnusable) {
  g_ins.clear();
  g_in_readable.clear();
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.midi_usable, 0);
  EXPECT_EQ(values.devtype, 0);
  EXPECT_EQ(state.in_list.count, 1);
  EXPECT_EQ(state.in_list.selection, 0);
}

TEST_F(ConfigDialog, NoDevicesAndNoPortsAtAllStillOpensWithEverySerialPortDisabled) {
  g_outs.clear();
  g_ins.clear();
  g_in_readable.clear();
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  const unsigned char none[4] = {0, 0, 0, 0};
  for (int id = IDC_COM1; id <= IDC_COM4; ++id) EXPECT_EQ(config_control_enabled(0, id, none), 0);
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_CFG_OK), kConfigOk);
}

TEST_F(ConfigDialog, SkipVersionClickedTwiceIsUnchanged) {
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  config_dialog_command(&state, &values, IDC_SKIP_VERSION);
  EXPECT_EQ(state.l_skipver, 1);
  config_dialog_command(&state, &values, IDC_SKIP_VERSION);
  EXPECT_EQ(state.l_skipver, 0);
  config_dialog_command(&state, &values, IDC_CFG_OK);
  EXPECT_EQ(values.skipver, 0);
}

TEST_F(ConfigDialog, CancelAfterChangesLeavesTheSettings) {
  ConfigValues values = defaults();
  values.devtype = 0;
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_USE_MIDI), kConfigLinkChanged);
  state.rate_selection = 2;  // "Slow"
  config_dialog_command(&state, &values, IDC_COM3);
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_CFG_CANCEL), kConfigCancel);
  EXPECT_EQ(values.devtype, 0);
  EXPECT_EQ(values.xferrate, 0);
  EXPECT_EQ(values.port, 1);
}

TEST_F(ConfigDialog, OkStoresEveryWorkingCopyAndTheRate) {
  ConfigValues values = defaults();
  values.devtype = 0;
  config_dialog_open(&state, &values, kFake);
  config_dialog_command(&state, &values, IDC_USE_MIDI);
  EXPECT_EQ(config_link_button(&state), IDC_USE_MIDI);
  config_dialog_command(&state, &values, IDC_COM4);
  EXPECT_EQ(config_port_button(&state), IDC_COM4);
  config_dialog_command(&state, &values, IDC_BAUD_57600);
  EXPECT_EQ(config_rate_button(&state), IDC_BAUD_57600);
  config_dialog_command(&state, &values, IDC_SKIP_VERSION);
  state.rate_selection = 3;  // "Very Slow"
  state.in_list.selection = 1;
  EXPECT_EQ(config_dialog_command(&state, &values, IDC_CFG_OK), kConfigOk);
  EXPECT_EQ(values.devtype, 1);
  EXPECT_EQ(values.port, 4);
  EXPECT_EQ(values.rate_num, 2);
  EXPECT_EQ(values.skipver, 1);
  EXPECT_EQ(values.xferrate, 3);
  EXPECT_EQ(values.mididevnum_in, 1);
  // Reopening shows "Very Slow".
  config_dialog_open(&state, &values, kFake);
  EXPECT_EQ(state.rate_selection, 3);
}

TEST_F(ConfigDialog, ListsAndOtherIdsChangeNothing) {
  ConfigValues values = defaults();
  config_dialog_open(&state, &values, kFake);
  const ConfigDialogState before = state;
  for (int id : {static_cast<int>(IDC_MIDI_OUT_LIST), static_cast<int>(IDC_MIDI_IN_LIST), static_cast<int>(IDC_XFER_RATE_LIST), 0, 999}) {
    EXPECT_EQ(config_dialog_command(&state, &values, id), kConfigStay);
  }
  EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);
}

TEST(ConfigDialogEnabling, SerialColumnFollowsThePortsThatOpened) {
  const unsigned char only_com3[4] = {0, 0, 1, 0};
  EXPECT_EQ(config_control_enabled(0, IDC_COM1, only_com3), 0);
  EXPECT_EQ(config_control_enabled(0, IDC_COM2, only_com3), 0);
  EXPECT_EQ(config_control_enabled(0, IDC_COM3, only_com3), 1);
  EXPECT_EQ(config_control_enabled(0, IDC_COM4, only_com3), 0);
  for (int id : {IDC_PORT_GROUP, IDC_BAUD_GROUP, IDC_BAUD_38400}) {
    EXPECT_EQ(config_control_enabled(0, id, only_com3), 1) << id;
  }
  for (int id : {IDC_BAUD_57600, IDC_MIDI_OUT_LIST, IDC_OUT_PORT_LABEL, IDC_MIDI_IN_LIST,
                 IDC_IN_PORT_LABEL, IDC_XFER_RATE_LIST, IDC_XFER_RATE_LABEL}) {
    EXPECT_EQ(config_control_enabled(0, id, only_com3), 0) << id;
  }
}

TEST(ConfigDialogEnabling, MidiColumnEnablesOnlyTheMidiControls) {
  const unsigned char all[4] = {1, 1, 1, 1};
  for (int id : kConfigLinkControls) {
    const bool midi_control = id >= IDC_MIDI_OUT_LIST && id <= IDC_IN_PORT_LABEL;
    const bool rate_control = id == IDC_XFER_RATE_LIST || id == IDC_XFER_RATE_LABEL;
    EXPECT_EQ(config_control_enabled(1, id, all), midi_control || rate_control ? 1 : 0) << id;
  }
  for (int id : {IDC_USE_SERIAL, IDC_USE_MIDI, IDC_SKIP_VERSION, IDC_CFG_OK, IDC_CFG_CANCEL}) {
    EXPECT_EQ(config_control_enabled(0, id, all), -1) << id;
    EXPECT_EQ(config_control_enabled(1, id, all), -1) << id;
  }
}

TEST_F(ConfigDialog, OkDuringATransferKeepsTheLinkItRunsOn) {
  const ConfigValues running{0, 2, 1, 0, 1, 0, 1};  // serial on COM2
  ConfigValues values = running;
  config_dialog_open(&state, &values, kFake);
  config_dialog_command(&state, &values, IDC_USE_MIDI);
  config_dialog_command(&state, &values, IDC_COM4);
  config_dialog_command(&state, &values, IDC_SKIP_VERSION);
  state.rate_selection = 3;
  state.out_list.selection = 1;
  state.in_list.selection = 0;
  ASSERT_EQ(config_dialog_command(&state, &values, IDC_CFG_OK), kConfigOk);
  const ConfigValues kept = config_keep_link(values, running);
  EXPECT_EQ(kept.devtype, 0);
  EXPECT_EQ(kept.port, 2);
  EXPECT_EQ(kept.rate_num, 1);
  EXPECT_EQ(kept.xferrate, 1);
  EXPECT_EQ(kept.mididevnum_out, 0);
  EXPECT_EQ(kept.mididevnum_in, 1);
  EXPECT_EQ(kept.skipver, 1);  // read at the next start only
}
