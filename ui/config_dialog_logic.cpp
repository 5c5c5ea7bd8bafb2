#include "ui/config_dialog_logic.h"

#include <cstring>
#include <string>
#include <vector>

#include "link/midi_names.h"
#include "support/settings.h"

namespace {

void list_clear(ConfigList* list) {
  list->count = 0;
  list->selection = -1;
  for (auto& name : list->names) name.fill('\0');
  list->ids.fill(0);
}

void list_add(ConfigList* list, const char* name, int id) {
  if (list->count >= kConfigListMax) return;
  auto& slot = list->names[static_cast<std::size_t>(list->count)];
  std::strncpy(slot.data(), name, slot.size() - 1);
  slot[slot.size() - 1] = '\0';
  list->ids[static_cast<std::size_t>(list->count)] = id;
  ++list->count;
}

// Lists the hardware output ports; returns how many were listed.
int fill_out_list(ConfigList* list, int selected_id, const MidiDriver& driver) {
  list_clear(list);
  const unsigned count = driver.out_num_devs();
  if (count == 0) {
    list_add(list, "", 0);
    list->selection = 0;
    return 0;
  }
  std::vector<bool> known;
  const std::vector<std::string> names = midi_device_names(driver, true, &known);
  for (unsigned id = 0; id < count && id < names.size() && list->count < kConfigListMax; ++id) {
    MidiOutCaps caps{};
    if (!known[id] || driver.out_get_caps(id, &caps) != 0) continue;
    if (caps.wTechnology != kModMidiPort) continue;
    list_add(list, names[id].c_str(), static_cast<int>(id));
  }
  list->selection = list->count > 0 ? 0 : -1;
  for (int i = 0; i < list->count; ++i) {
    if (list->ids[static_cast<std::size_t>(i)] == selected_id) {
      list->selection = i;
      break;
    }
  }
  return list->count;
}

// Lists every input device so that a position is its identifier; returns the device count.
unsigned fill_in_list(ConfigList* list, int selected_id, const MidiDriver& driver) {
  list_clear(list);
  const unsigned count = driver.in_num_devs();
  if (count == 0) {
    list_add(list, "", 0);
    list->selection = 0;
    return 0;
  }
  const std::vector<std::string> names = midi_device_names(driver, false);
  for (unsigned id = 0; id < count && list->count < kConfigListMax; ++id) {
    list_add(list, id < names.size() ? names[id].c_str() : "", static_cast<int>(id));
  }
  list->selection = selected_id >= 0 && selected_id < list->count ? selected_id : -1;
  return count;
}

}  // namespace

void config_dialog_open(ConfigDialogState* state, ConfigValues* values, const MidiDriver& driver) {
  state->l_devtype = values->devtype;
  state->l_rate_num = values->rate_num;
  state->l_skipver = values->skipver;
  state->l_port = values->port;

  const int ports = fill_out_list(&state->out_list, values->mididevnum_out, driver);
  const unsigned inputs = fill_in_list(&state->in_list, values->mididevnum_in, driver);
  state->midi_usable = ports > 0 && inputs > 0 ? 1 : 0;
  if (!state->midi_usable) {
    values->devtype = 0;
    state->l_devtype = 0;
  }
  state->rate_selection = values->xferrate >= 0 && values->xferrate <= 3 ? values->xferrate : -1;
}

int config_dialog_command(ConfigDialogState* state, ConfigValues* values, int id) {
  switch (id) {
    case IDC_CFG_OK: {
      const ConfigList& out = state->out_list;
      values->mididevnum_out =
          out.selection >= 0 && out.selection < out.count ? out.ids[static_cast<std::size_t>(out.selection)]
                                                          : -1;
      values->mididevnum_in = state->in_list.selection >= 0 ? state->in_list.selection : -1;
      values->devtype = state->l_devtype;
      values->skipver = state->l_skipver;
      values->rate_num = state->l_rate_num;
      values->port = state->l_port;
      // The list always holds a selection; should it not, the rate stays as it was
      // rather than becoming an index outside the table.
      if (state->rate_selection >= 0 && state->rate_selection <= 3) values->xferrate = state->rate_selection;
      return kConfigOk;
    }
    case IDC_CFG_CANCEL:
      return kConfigCancel;
    case IDC_USE_SERIAL:
      state->l_devtype = 0;
      return kConfigLinkChanged;
    case IDC_USE_MIDI:
      state->l_devtype = 1;
      return kConfigLinkChanged;
    case IDC_COM1:
    case IDC_COM2:
    case IDC_COM3:
    case IDC_COM4:
      state->l_port = id - 102;
      return kConfigStay;
    case IDC_SKIP_VERSION:
      state->l_skipver = state->l_skipver ? 0 : 1;
      return kConfigStay;
    case IDC_BAUD_38400:
    case IDC_BAUD_57600:
      state->l_rate_num = id - 107;
      return kConfigStay;
    default:
      return kConfigStay;
  }
}

int config_control_enabled(int link, int id, const unsigned char comm_status[4]) {
  const bool serial = link == 0;
  switch (id) {
    case IDC_COM1:
    case IDC_COM2:
    case IDC_COM3:
    case IDC_COM4:
      return serial && comm_status[id - IDC_COM1] != 0 ? 1 : 0;
    case IDC_PORT_GROUP:
    case IDC_BAUD_GROUP:
    case IDC_BAUD_38400:
      return serial ? 1 : 0;
    case IDC_BAUD_57600:
      return 0;
    case IDC_MIDI_OUT_LIST:
    case IDC_OUT_PORT_LABEL:
    case IDC_MIDI_IN_LIST:
    case IDC_IN_PORT_LABEL:
    case IDC_XFER_RATE_LIST:
    case IDC_XFER_RATE_LABEL:
      return serial ? 0 : 1;
    default:
      return -1;
  }
}

int config_link_button(const ConfigDialogState* state) {
  return state->l_devtype == 1 ? IDC_USE_MIDI : IDC_USE_SERIAL;
}

int config_port_button(const ConfigDialogState* state) {
  return state->l_port >= 1 && state->l_port <= 4 ? 102 + state->l_port : 0;
}

int config_rate_button(const ConfigDialogState* state) {
  return state->l_rate_num >= 1 && state->l_rate_num <= 2 ? 107 + state->l_rate_num : 0;
}

ConfigValues config_values_from_settings() {
  return ConfigValues{devtype, port, rate_num, skipver, xferrate, mididevnum_out, mididevnum_in};
}

void config_values_to_settings(const ConfigValues& values) {
  devtype = values.devtype;
  port = values.port;
  rate_num = values.rate_num;
  skipver = values.skipver;
  xferrate = values.xferrate;
  mididevnum_out = values.mididevnum_out;
  mididevnum_in = values.mididevnum_in;
}

ConfigValues config_keep_link(const ConfigValues& chosen, const ConfigValues& current) {
  ConfigValues kept = current;
  kept.skipver = chosen.skipver;
  return kept;
}
