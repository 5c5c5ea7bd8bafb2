#include "ui/web/front_end_web.h"

#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/transfer.h"
#include "engine/transfer_outcome.h"
#include "engine/update_file.h"
#include "link/midi_driver.h"
#include "link/midi_names.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/command_ids.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/main_window_logic.h"
#include "ui/progress.h"
#include "support/json_text.h"
#include "ui/transfer_start.h"

extern "C" {
// ui/web/front_end_web.js
void xr_page_textout(int line, const char* text);
void xr_page_notice(int id, int lparam);
void xr_page_progress();
int xr_page_message(const char* text, const char* caption, unsigned style);
}

namespace {

int g_window_tag;  // the page's stand-in for the main window
WindowHandle const kWindow = &g_window_tag;

MainWindowState g_state;
ProgressState g_progress;
ProgressState g_progress_ended;  // how far the last transfer got: shown until the next one begins
bool g_started = false;
bool g_closed = false;
std::string g_view;

std::int64_t now_ms() { return static_cast<std::int64_t>(emscripten_get_now()); }

void sink_textout(int line, const char* text) {
  if (g_closed) return;
  const char* shown = text != nullptr ? text : "";
  progress_poll(&g_progress, now_ms());
  xr_page_textout(line, shown);
}

// The bar and the count move when the instrument accepts a packet.
void sink_packet_accepted(int done, int) {
  if (g_closed) return;
  if (progress_update(&g_progress, done, now_ms())) xr_page_progress();
}

// Posted: the page handles it once the engine call under way has returned.
void sink_post(WindowHandle, int id, intptr_t lparam) {
  if (g_closed) return;
  xr_page_notice(id, static_cast<int>(lparam));
}

int sink_message_box(WindowHandle, const char* text, const char* caption, unsigned style) {
  if (g_closed) return 1;
  return xr_page_message(text != nullptr ? text : "", caption, style);
}

// No window to measure: the position saved is the one loaded.
void sink_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int xr_web_startup() {
  if (g_started) return 1;
  HostSinks sinks = {};
  sinks.message_box = sink_message_box;
  sinks.textout = sink_textout;
  sinks.post_command = sink_post;
  sinks.window_origin = sink_origin;
  sinks.packet_accepted = sink_packet_accepted;
  host_install(sinks);
  if (!open_log()) {
    message_box(nullptr, kLogOpenFailedText, kProgramTitle, kMbIconExclamation | kMbSetForeground | kMbTopmost);
  }
  std::snprintf(inifile, sizeof inifile, "%s", "localStorage");
  get_initial();
  if (!init_tfr()) return 0;
  check_comm(comm_status);
  if (mw_no_serial_port(comm_status)) devtype = 1;
  // Window creation.
  port = mw_fix_port(port, comm_status);
  mw_create(&g_state);
  progress_reset(&g_progress);
  g_started = true;
  return 1;
}

// Every start of a transfer comes here, whichever way the page asks for it.
EMSCRIPTEN_KEEPALIVE int xr_web_start(const char* name) {
  if (!g_started || g_closed || !mw_start_request(&g_state, name)) return 0;
  // The name goes on whole: a path too long for the transfer is refused there,
  // never cut into another file's name.
  mw_modal_begin(&g_state);
  const int started = tx_start(kWindow, name, settings_link_target());
  mw_modal_end(&g_state);
  if (started) mw_transfer_started(&g_state);
  return started;
}

EMSCRIPTEN_KEEPALIVE int xr_web_notice(int id, int lparam, int has_focus) {
  switch (main_command(id)) {
    case kCmdTransferEnd:
      // Once per transfer, and only when its task has ended.
      if (!mw_transfer_end_allowed(&g_state, query_tfr_stop())) return 0;
      tx_end();
      progress_poll(&g_progress, now_ms());
      g_progress_ended = g_progress;  // "Packet N of N" stays
      progress_end(&g_progress);
      return mw_transfer_ended(&g_state, has_focus);
    case kCmdStopEnable:
      mw_stop_enable(&g_state, lparam);
      if (lparam != 0) {
        progress_reset(&g_progress_ended);
        progress_begin(&g_progress, datafile.size, now_ms());
      }
      return 0;
    default:
      return 0;
  }
}

EMSCRIPTEN_KEEPALIVE void xr_web_stop_opened() { stop_dialog_opened(); }
EMSCRIPTEN_KEEPALIVE void xr_web_stop_continue() { stop_dialog_continue(); }
EMSCRIPTEN_KEEPALIVE void xr_web_stop_request() { stop_dialog_request_stop(); }
EMSCRIPTEN_KEEPALIVE void xr_web_stop_aborted() { stop_dialog_aborted(); }
EMSCRIPTEN_KEEPALIVE int xr_web_idle() { return query_tfr_stop(); }

EMSCRIPTEN_KEEPALIVE void xr_web_tick() { add_midi_time(); }
EMSCRIPTEN_KEEPALIVE int xr_web_flash_tick() { return mw_flash_tick(&g_state); }
EMSCRIPTEN_KEEPALIVE int xr_web_focus_gained() { return mw_focus_gained(&g_state); }

EMSCRIPTEN_KEEPALIVE const char* xr_web_view() {
  JsonObject menu;
  menu.number("update", g_state.menu.update).number("config", g_state.menu.config).number("stop", g_state.menu.stop);
  const ProgressState& shown = g_progress.active ? g_progress : g_progress_ended;
  char text[128];
  progress_text(&shown, text, sizeof text);
  // Once the transfer has ended, how far it got, and no time left.
  if (!g_progress.active && shown.active) std::snprintf(text, sizeof text, "Packet %d of %d", shown.done, shown.total);
  JsonObject progress;
  progress.number("active", shown.active).number("running", g_progress.active).number("done", shown.done)
      .number("total", shown.total).text("text", text);
  JsonObject link;
  link.number("devtype", devtype).number("port", port).number("baud", rate_table[rate_num >= 0 && rate_num < 3 ? rate_num : 1])
      .text("out", midi_name_of(true, mididevnum_out).c_str()).text("in", midi_name_of(false, mididevnum_in).c_str())
      .number("out_id", mididevnum_out).number("in_id", mididevnum_in)
      .text("rate", xfer_rate_names[xferrate >= 0 && xferrate < 4 ? xferrate : 0]).number("skipver", skipver);
  const TransferEnd end = tfr_outcome();
  JsonObject outcome;
  outcome.text("word", tfr_outcome_word(end.outcome)).number("fault", end.fault)
      .number("set_mode_sent", tfr_set_mode_sent());
  JsonObject view;
  view.raw("menu", menu.str()).number("tx", g_state.tx_flag).number("idle", query_tfr_stop())
      .raw("outcome", outcome.str())
      .raw("progress", progress.str()).raw("link", link.str());
  g_view = view.str();
  return g_view.c_str();
}

EMSCRIPTEN_KEEPALIVE int xr_web_close() {
  if (!g_started || g_closed) return 0;
  tx_close_all();
  free_tfr();
  const int unsaved = set_initial(kWindow);
  close_log();
  g_closed = true;
  return unsaved;
}

}  // extern "C"
