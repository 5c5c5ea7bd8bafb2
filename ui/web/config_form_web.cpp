#include "ui/web/config_form_web.h"

#include <emscripten/emscripten.h>

#include <string>

#include "link/midi_driver.h"
#include "link/serial_link.h"
#include "support/settings.h"
#include "ui/config_dialog_logic.h"
#include "support/json_text.h"
#include "ui/web/front_end_web.h"

namespace {

ConfigDialogState g_form;
std::string g_json;

std::string list_json(const ConfigList& list, bool with_ids) {
  std::string names = "[", ids = "[";
  for (int i = 0; i < list.count; ++i) {
    const auto at = static_cast<std::size_t>(i);
    if (i > 0) {
      names += ",";
      ids += ",";
    }
    names += json_string(list.names[at].data());
    ids += std::to_string(list.ids[at]);
  }
  JsonObject object;
  object.raw("names", names + "]").number("selection", list.selection);
  if (with_ids) object.raw("ids", ids + "]");
  return object.str();
}

const char* view(int result) {
  std::string enabled = "{";
  for (std::size_t i = 0; i < kConfigLinkControls.size(); ++i) {
    const int id = kConfigLinkControls[i];
    if (i > 0) enabled += ",";
    enabled += "\"" + std::to_string(id) + "\":" + std::to_string(config_control_enabled(g_form.l_devtype, id, comm_status));
  }
  enabled += "}";
  std::string rates = "[";
  for (int i = 0; i < 4; ++i) rates += std::string(i ? "," : "") + json_string(xfer_rate_names[i]);
  rates += "]";
  std::string ports = "[";
  for (int i = 0; i < 4; ++i) ports += std::string(i ? "," : "") + std::to_string(comm_status[i]);
  ports += "]";
  JsonObject object;
  object.number("result", result)
      .number("link", config_link_button(&g_form))
      .number("port", config_port_button(&g_form))
      .number("baud", config_rate_button(&g_form))
      .number("skipver", g_form.l_skipver)
      .number("midi_usable", g_form.midi_usable)
      .raw("out", list_json(g_form.out_list, true))
      .raw("in", list_json(g_form.in_list, false))
      .raw("rates", rates)
      .number("rate", g_form.rate_selection)
      .raw("comm_status", ports)
      .raw("enabled", enabled);
  g_json = object.str();
  return g_json.c_str();
}

// A position the page sends back is one of the list's, or none.
int checked_selection(const ConfigList& list, int selection) {
  return selection >= 0 && selection < list.count ? selection : -1;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* xr_web_config_open() {
  ConfigValues values = config_values_from_settings();
  config_dialog_open(&g_form, &values, midi_driver());
  // MIDI unusable: the link becomes serial at once, also when the form is cancelled.
  if (values.devtype != devtype) devtype = values.devtype;
  return view(kConfigStay);
}

EMSCRIPTEN_KEEPALIVE const char* xr_web_config_command(int id, int out_selection, int in_selection,
                                                       int rate_selection) {
  g_form.out_list.selection = checked_selection(g_form.out_list, out_selection);
  g_form.in_list.selection = checked_selection(g_form.in_list, in_selection);
  g_form.rate_selection = rate_selection >= 0 && rate_selection <= 3 ? rate_selection : -1;
  ConfigValues values = config_values_from_settings();
  const int result = config_dialog_command(&g_form, &values, id);
  if (result == kConfigOk) {
    // The form is not offered during a transfer; should one run all the same,
    // its link stays the one it started with.
    if (!xr_web_idle()) values = config_keep_link(values, config_values_from_settings());
    config_values_to_settings(values);
    return view(1);
  }
  return view(result == kConfigCancel ? 2 : 0);
}

EMSCRIPTEN_KEEPALIVE const char* xr_web_config_devices() {
  ConfigDialogState fresh;
  ConfigValues values = config_values_from_settings();
  config_dialog_open(&fresh, &values, midi_driver());
  g_form.out_list = fresh.out_list;
  g_form.in_list = fresh.in_list;
  g_form.midi_usable = fresh.midi_usable;
  if (!g_form.midi_usable) g_form.l_devtype = 0;
  return view(kConfigStay);
}

EMSCRIPTEN_KEEPALIVE void xr_web_probe_ports() { check_comm(comm_status); }

}  // extern "C"
