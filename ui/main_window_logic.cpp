#include "ui/main_window_logic.h"

#include <cstring>

#include "support/command_ids.h"

MainCommand main_command(int id) {
  switch (id) {
    case IDM_EXIT: return kCmdClose;
    case IDM_STOP: return kCmdStopDialog;
    case IDM_CONFIG: return kCmdConfigDialog;
    case IDM_UPDATE: return kCmdOpenFile;
    case IDM_TFR_END: return kCmdTransferEnd;
    case IDM_STOP_ENABLE: return kCmdStopEnable;
    case IDM_CMDLINE_START: return kCmdCommandLine;
    case IDM_RXW_FILENAME: return kCmdHandoverPiece;
    default: return kCmdIgnore;
  }
}

void mw_create(MainWindowState* state) {
  state->tx_flag = 0;
  state->wf_status = -1;
  state->menu = MenuEnable{1, 1, 0};
  handover_reset(&state->handover);
  state->modal = 0;
  state->held_path[0] = '\0';
}

void mw_transfer_started(MainWindowState* state) {
  state->menu.update = 0;
  state->menu.config = 0;
  state->tx_flag = 1;
}

void mw_stop_enable(MainWindowState* state, long lparam) { state->menu.stop = lparam != 0 ? 1 : 0; }

int mw_menu_command_allowed(const MainWindowState* state, int id) {
  int enabled;
  switch (id) {
    case IDM_STOP: enabled = state->menu.stop; break;
    case IDM_CONFIG: enabled = state->menu.config; break;
    case IDM_UPDATE: enabled = state->menu.update; break;
    default: return 1;
  }
  return enabled != 0 && state->modal == 0 ? 1 : 0;
}

int mw_transfer_end_allowed(const MainWindowState* state, int thread_idle) {
  return state->tx_flag != 0 && thread_idle != 0 ? 1 : 0;
}

int mw_transfer_ended(MainWindowState* state, int has_focus) {
  state->menu = MenuEnable{1, 1, 0};
  state->tx_flag = 0;
  if (has_focus) return 0;
  const int start_timer = state->wf_status == -1 ? 1 : 0;
  state->wf_status = 1;
  return start_timer;
}

int mw_flash_tick(MainWindowState* state) {
  state->wf_status = state->wf_status == 0 ? 1 : 0;
  return state->wf_status;
}

int mw_focus_gained(MainWindowState* state) {
  if (state->wf_status == -1) return 0;
  state->wf_status = -1;
  return 1;
}

int mw_may_start_transfer(const MainWindowState* state) { return state->tx_flag == 0 ? 1 : 0; }

int mw_handover_piece(MainWindowState* state, unsigned offset, unsigned long bytes) {
  const int result = handover_receive(&state->handover, offset, static_cast<std::uint32_t>(bytes));
  if (result != kHandoverComplete) return 0;
  return mw_start_request(state, state->handover.rxw_filename);
}

int mw_start_request(MainWindowState* state, const char* path) {
  if (state->tx_flag != 0) return 0;
  if (state->modal == 0) return 1;
  const std::size_t length = strnlen(path, sizeof state->held_path);
  if (state->held_path[0] == '\0' && length > 0 && length < sizeof state->held_path) {
    std::memcpy(state->held_path, path, length + 1);
  }
  return 0;
}

void mw_modal_begin(MainWindowState* state) { ++state->modal; }

void mw_modal_end(MainWindowState* state) {
  if (state->modal > 0) --state->modal;
}

int mw_take_held(MainWindowState* state, char* out) {
  if (state->modal != 0 || state->held_path[0] == '\0') return 0;
  std::memcpy(out, state->held_path, sizeof state->held_path);
  state->held_path[0] = '\0';
  return 1;
}

void mw_drop_held(MainWindowState* state) { state->held_path[0] = '\0'; }

int mw_fix_port(int port, const unsigned char status[4]) {
  if (port >= 1 && port <= 4 && status[port - 1] != 0) return port;
  for (int n = 1; n <= 4; ++n) {
    if (status[n - 1] != 0) return n;
  }
  return port;
}

int mw_no_serial_port(const unsigned char status[4]) {
  return status[0] == 0 && status[1] == 0 && status[2] == 0 && status[3] == 0 ? 1 : 0;
}

int mw_window_height(int cy_caption, int cy_menu, int cy_edge) {
  return 9 * cy_caption + cy_menu + 2 * cy_edge + 6;
}

int mw_settings_path(const char* program_path, char* out, int size) {
  const std::size_t length = std::strlen(program_path);
  if (length < 3 || size <= 0 || length >= static_cast<std::size_t>(size)) return 0;
  std::memcpy(out, program_path, length - 3);
  std::memcpy(out + length - 3, "ini", 4);
  return 1;
}

namespace {

// As the settings clip the size: what reaches past the edge is cut off.
int clip_size(int position, int size, int edge) {
  const long long end = static_cast<long long>(position) + size;
  return end <= edge ? size : static_cast<int>(static_cast<long long>(edge) - position);
}

}  // namespace

int mw_fit_window(WindowPlace* place, int full_width, int full_height, int desktop_right,
                  int desktop_bottom) {
  if (place->width > 0 && place->height > 0) return 0;
  place->x = 40;
  place->y = 30;
  place->width = clip_size(place->x, full_width, desktop_right);
  place->height = clip_size(place->y, full_height, desktop_bottom);
  return 1;
}
