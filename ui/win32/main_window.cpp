// The Windows program: start-up, the single running copy, the main window with
// its menu commands and timers, and the shutdown order.

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "engine/transfer.h"
#include "engine/update_file.h"
#include "link/midi_link.h"
#include "link/serial_link.h"
#include "support/command_ids.h"
#include "support/host.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/command_line.h"
#include "ui/handover.h"
#include "ui/main_window_logic.h"
#include "ui/transfer_start.h"
#include "ui/win32/app.h"
#include "ui/win32/text_display.h"

HINSTANCE hInst = nullptr;
HMENU hMenu = nullptr;

namespace {

constexpr UINT_PTR kFlashTimer = 1;
constexpr UINT_PTR kTickTimer = 2;
constexpr UINT kFlashPeriodMs = 500;
constexpr UINT kTickPeriodMs = 100;

HBRUSH hBrushBack = nullptr;
CmdLine cl;
MainWindowState g_state;  // tx_flag, wf_status, the menu's state and rxw_filename
bool g_window_destroyed = false;

constexpr char kLogWarning[] =
    "Failed to create log file. The application will not be able to record support information.\n"
    "Please copy the application to a writeable disk (e.g. your 'C:' drive)\n"
    "so this useful support information can be recorded.\n\n"
    "The application will continue correctly.";
constexpr char kPathTooLong[] =
    "The application's path is too long to keep its settings beside it.\n"
    "Please copy the application to a folder with a shorter path.";
constexpr char kArgumentTooLong[] =
    "A file named on the command line was not used:\n"
    "its full path is longer than 259 characters.\n"
    "Please move the file to a folder with a shorter path.";
constexpr char kChosenTooLong[] =
    "The chosen file was not used:\n"
    "its full path is longer than 259 characters.\n"
    "Please move the file to a folder with a shorter path.";
constexpr char kNoWindow[] = "The application's window could not be created.";

// The host's sinks: what the engine, the links and the settings report through.
int box_sink(WindowHandle owner, const char* text, const char* caption, unsigned style) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}
void post_sink(WindowHandle window, int id, intptr_t lparam) {
  PostMessageA(static_cast<HWND>(window), WM_COMMAND, static_cast<WPARAM>(id),
               static_cast<LPARAM>(lparam));
}
void origin_sink(WindowHandle window, int* left, int* top) {
  RECT rc = {0, 0, 0, 0};
  GetWindowRect(static_cast<HWND>(window), &rc);
  *left = rc.left;
  *top = rc.top;
}
void desktop_sink(int* right, int* bottom) {
  RECT rc = {0, 0, 0, 0};
  GetWindowRect(GetDesktopWindow(), &rc);
  *right = rc.right;
  *bottom = rc.bottom;
}

void hand_over(HWND running) {
  HandoverPiece pieces[kHandoverMaxPieces];
  const int count = cl.path[0] != '\0' ? handover_split(cl.path, pieces, kHandoverMaxPieces) : 0;
  for (int i = 0; i < count; ++i) {
    const WPARAM wparam = static_cast<WPARAM>(IDM_RXW_FILENAME) |
                          (static_cast<WPARAM>(pieces[i].offset) << 16);
    PostMessageA(running, WM_COMMAND, wparam, static_cast<LPARAM>(pieces[i].bytes));
  }
  if (cl.no_foreground == 0) SetForegroundWindow(running);
}

// The settings file beside the program, with the program's name: taken from the
// program's own file name, which always has its extension and a full path
// (argument 0 may lack both), shortened when the long form does not fit.
int settings_file_path() {
  char program[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return 0;
  if (mw_settings_path(program, inifile, kIniPathSize)) return 1;
  char shorter[MAX_PATH * 2];
  const DWORD short_length = GetShortPathNameA(program, shorter, sizeof shorter);
  if (short_length == 0 || short_length >= sizeof shorter) return 0;
  return mw_settings_path(shorter, inifile, kIniPathSize);
}

void set_menu_item(UINT id, int enabled) {
  EnableMenuItem(hMenu, id, MF_BYCOMMAND | (enabled ? MF_ENABLED : (MF_GRAYED | MF_DISABLED)));
}

void apply_menu(HWND window, bool draw) {
  set_menu_item(IDM_UPDATE, g_state.menu.update);
  set_menu_item(IDM_CONFIG, g_state.menu.config);
  set_menu_item(IDM_STOP, g_state.menu.stop);
  if (draw) DrawMenuBar(window);
}

void start_transfer(HWND window, const char* path);

// A path held while a modal step was under way starts once the last one ended
// (and is dropped then if a transfer started meanwhile).
void start_held(HWND window) {
  char held[kHandoverBufferSize];
  if (mw_take_held(&g_state, held)) start_transfer(window, held);
}

// Every transfer start comes here: none starts while another runs, and none
// behind a dialog (a message box of the link's open included), whose loop
// delivers commands from a second copy too.
void start_transfer(HWND window, const char* path) {
  if (!mw_start_request(&g_state, path)) return;
  // A copy of its own: the hand-over buffer may take new pieces during a box.
  char own[kHandoverBufferSize];
  lstrcpynA(own, path, sizeof own);
  mw_modal_begin(&g_state);
  const int started = tx_start(window, own, settings_link_target());
  mw_modal_end(&g_state);
  if (started) {
    mw_transfer_started(&g_state);
    apply_menu(window, true);
  }
  start_held(window);
}

// A dialog run on the user-interface thread: no transfer starts while it is open.
INT_PTR modal_dialog(HWND window, const char* name, DLGPROC procedure) {
  mw_modal_begin(&g_state);
  const INT_PTR result = DialogBoxParamA(hInst, name, window, procedure, 0);
  mw_modal_end(&g_state);
  return result;
}

// The stop dialog, at most one at a time. Its loop and its Abort wait answer
// messages sent from other programs (a close, the session's end): those must
// not open a second stop dialog over the first. Returns 1 for "Abort", 0 for
// "Continue" and -1 when one is open already (the user is still choosing).
bool g_stop_dialog_open = false;
int stop_dialog(HWND window) {
  if (g_stop_dialog_open) return -1;
  g_stop_dialog_open = true;
  const INT_PTR result = modal_dialog(window, "STOP_DIALOG", StopDlgProc);
  g_stop_dialog_open = false;
  return result != 0 ? 1 : 0;
}

void on_transfer_end(HWND window) {
  tx_end();
  display_progress_end();
  const int has_focus = GetFocus() == window ? 1 : 0;
  const int start_flash = mw_transfer_ended(&g_state, has_focus);
  apply_menu(window, true);
  if (!has_focus) {
    if (start_flash) SetTimer(window, kFlashTimer, kFlashPeriodMs, nullptr);
    FlashWindow(window, TRUE);
  }
}

void on_command(HWND window, WPARAM wParam, LPARAM lParam) {
  switch (main_command(LOWORD(wParam))) {
    case kCmdClose:
      SendMessageA(window, WM_CLOSE, 0, 0);
      break;
    case kCmdStopDialog:
      if (stop_dialog(window) < 0) break;
      start_held(window);
      break;
    case kCmdConfigDialog:
      modal_dialog(window, "CONFIG_DIALOG", ConfigDlgProc);
      start_held(window);
      break;
    case kCmdOpenFile: {
      char path[kOpenFileSize];
      mw_modal_begin(&g_state);
      const int chosen = open_file_dialog(window, path);
      mw_modal_end(&g_state);
      if (chosen < 0) {
        mw_modal_begin(&g_state);
        MessageBoxA(window, kChosenTooLong, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
        mw_modal_end(&g_state);
      }
      // The user's choice first; a path handed over meanwhile starts only when
      // the dialog was cancelled (or the chosen file's link did not open).
      if (chosen > 0) start_transfer(window, path);
      start_held(window);
      break;
    }
    case kCmdTransferEnd:
      on_transfer_end(window);
      break;
    case kCmdStopEnable:
      mw_stop_enable(&g_state, static_cast<long>(lParam));
      apply_menu(window, true);
      if (lParam != 0) display_progress_begin(datafile.size);
      break;
    case kCmdCommandLine:
      start_transfer(window, cl.path);
      break;
    case kCmdHandoverPiece:
      if (mw_handover_piece(&g_state, HIWORD(wParam), static_cast<unsigned long>(lParam & 0xFFFFFFFF))) {
        start_transfer(window, g_state.handover.rxw_filename);
      }
      break;
    case kCmdIgnore:
      break;
  }
}

// 1 when no transfer runs or the user chose "Abort" and it has stopped.
int transfer_may_end(HWND window) {
  if (query_tfr_stop()) return 1;
  return stop_dialog(window) > 0 ? 1 : 0;
}

}  // namespace

int transfer_running() { return g_state.tx_flag != 0 || !query_tfr_stop() ? 1 : 0; }

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      hMenu = GetMenu(window);
      init_screen(window, hBrushBack);
      SetTimer(window, kTickTimer, kTickPeriodMs, nullptr);
      port = mw_fix_port(port, comm_status);
      mw_create(&g_state);
      apply_menu(window, false);
      if (cl.path[0] != '\0') PostMessageA(window, WM_COMMAND, IDM_CMDLINE_START, 0);
      return 0;
    case WM_COMMAND:
      on_command(window, wParam, lParam);
      return 0;
    case WM_PAINT:
      repaint();
      return 0;
    case WM_TIMER:
      if (wParam == kFlashTimer) {
        FlashWindow(window, mw_flash_tick(&g_state) ? TRUE : FALSE);
      } else if (wParam == kTickTimer) {
        add_midi_time();
      }
      return 0;
    case WM_SETFOCUS:
      if (mw_focus_gained(&g_state)) {
        KillTimer(window, kFlashTimer);
        FlashWindow(window, FALSE);
      }
      return 0;
    case WM_CLOSE:
      if (transfer_may_end(window)) {
        tx_close_all();
        DestroyWindow(window);
      } else {
        start_held(window);
      }
      return 0;
    case WM_QUERYENDSESSION:
      if (!transfer_may_end(window)) {
        start_held(window);
        return 0;
      }
      tx_close_all();
      return 1;
    case WM_DESTROY:
      g_window_destroyed = true;
      KillTimer(window, kTickTimer);
      free_tfr();
      free_screen();
      DeleteObject(hBrushBack);
      set_initial(window);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int nCmdShow) {
  hInst = instance;
  analyze_cmdline(&cl, __argc, __argv);
  if (cl.refused_too_long) {
    MessageBoxA(nullptr, kArgumentTooLong, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  }

  HWND running = FindWindowA(kProgramTitle, nullptr);
  if (running != nullptr) {
    hand_over(running);
    return 0;
  }

  HostSinks sinks{};
  sinks.message_box = box_sink;
  sinks.textout = display_textout;
  sinks.post_command = post_sink;
  sinks.window_origin = origin_sink;
  sinks.desktop_extent = desktop_sink;
  host_install(sinks);

  if (!open_log()) {
    MessageBoxA(nullptr, kLogWarning, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
  }

  ysize = mw_window_height(GetSystemMetrics(SM_CYCAPTION), GetSystemMetrics(SM_CYMENU),
                           GetSystemMetrics(SM_CYEDGE));
  if (!settings_file_path()) {
    MessageBoxA(nullptr, kPathTooLong, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    close_log();
    return 0;
  }
  const int full_height = ysize;
  get_initial();
  {
    WindowPlace place{xpos, ypos, xsize, ysize};
    int right = 0, bottom = 0;
    host_desktop_extent(&right, &bottom);
    if (mw_fit_window(&place, 400, full_height, right, bottom)) {
      xpos = place.x;
      ypos = place.y;
      xsize = place.width;
      ysize = place.height;
    }
  }
  if (!init_tfr()) {
    close_log();
    return 0;
  }
  check_comm(comm_status);
  if (mw_no_serial_port(comm_status)) devtype = 1;

  hBrushBack = CreateSolidBrush(0x604000);

  WNDCLASSA wc;
  ZeroMemory(&wc, sizeof wc);
  wc.style = 0;
  wc.lpfnWndProc = WndProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 0;
  wc.hInstance = hInst;
  wc.hIcon = LoadIconA(hInst, "VWICON");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = hBrushBack;
  wc.lpszMenuName = "VUPMENU";
  wc.lpszClassName = kProgramTitle;
  if (!RegisterClassA(&wc)) {
    free_tfr();
    DeleteObject(hBrushBack);
    close_log();
    return 0;
  }

  char title[128];
  wsprintfA(title, "%s v%s", kProgramTitle, kProgramVersion);
  HWND window = CreateWindowExA(WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE, kProgramTitle, title,
                                WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, xpos, ypos, xsize, ysize,
                                nullptr, nullptr, hInst, nullptr);
  if (window == nullptr) {
    // Nothing to show the user in: say so, release what start-up took and end.
    if (!g_window_destroyed) {
      free_tfr();
      free_screen();
      DeleteObject(hBrushBack);
    }
    write_log("Failed to create the main window.");
    MessageBoxA(nullptr, kNoWindow, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    close_log();
    return 0;
  }
  ShowWindow(window, nCmdShow);
  UpdateWindow(window);

  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  close_log();
  return static_cast<int>(msg.wParam);
}
