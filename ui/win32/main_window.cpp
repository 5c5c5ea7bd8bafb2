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
bool g_cmdline_taken = false;

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

// The transfer thread's message box, shown by the window's own thread: the
// thread posts it and goes on to its end, so that it never waits for the
// window (nor the window, in the stop dialog's Abort wait, for it), and the box
// is modal over the window like every other dialog.
constexpr UINT kMsgThreadBox = WM_APP + 1;
struct ThreadBox {
  char text[512];
  char caption[128];
  bool has_caption;
  unsigned style;
};
// One slot: a transfer thread shows at most one box, and the next transfer
// starts only after the window has taken it (it is posted before 208).
ThreadBox g_thread_box;
DWORD g_ui_thread = 0;
HWND g_main_window = nullptr;

// The host's sinks: what the engine, the links and the settings report through.
int box_sink(WindowHandle owner, const char* text, const char* caption, unsigned style) {
  if (GetCurrentThreadId() == g_ui_thread) return MessageBoxA(static_cast<HWND>(owner), text, caption, style);
  if (g_main_window == nullptr || !IsWindow(g_main_window)) return IDOK;  // the window has gone
  lstrcpynA(g_thread_box.text, text != nullptr ? text : "", sizeof g_thread_box.text);
  g_thread_box.has_caption = caption != nullptr;
  lstrcpynA(g_thread_box.caption, caption != nullptr ? caption : "", sizeof g_thread_box.caption);
  g_thread_box.style = style;
  PostMessageA(g_main_window, kMsgThreadBox, 0, 0);
  return IDOK;
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

// The window is being closed: nothing starts any more, held paths are dropped.
bool g_closing = false;
// A close asked while a modal step was under way, carried out once it has
// ended (the shutdown runs from the window's own loop, never inside a dialog).
bool g_close_pending = false;
// A close asked while the stop dialog was open: that dialog is the question
// the close asks, so "Abort" carries it out and "Continue" drops it.
bool g_close_after_stop = false;

void start_transfer(HWND window, const char* path);
void request_close(HWND window);

void modal_begin() { mw_modal_begin(&g_state); }

// A dialog or box that ends enables its owner again, also when another dialog
// is still open over the window: the window stays disabled until the last one
// has ended.
void modal_end(HWND window) {
  mw_modal_end(&g_state);
  if (g_state.modal > 0 && !g_closing) EnableWindow(window, FALSE);
}

// After a modal step has ended: once none is left, a close asked meanwhile
// is carried out (a held path is dropped then), else a held path starts (and
// is dropped then if a transfer started meanwhile).
void after_modal(HWND window) {
  if (g_state.modal != 0) return;
  if (g_closing) {
    mw_drop_held(&g_state);
    return;
  }
  if (g_close_pending) {
    g_close_pending = false;
    mw_drop_held(&g_state);
    request_close(window);
    return;
  }
  char held[kHandoverBufferSize];
  if (mw_take_held(&g_state, held)) start_transfer(window, held);
}

// Every transfer start comes here: none starts while another runs, none
// behind a dialog (a message box of the link's open included), whose loop
// delivers commands from a second copy too, and none once the window is
// being closed.
void start_transfer(HWND window, const char* path) {
  if (g_closing || !IsWindow(window)) return;
  if (!mw_start_request(&g_state, path)) return;
  // A copy of its own: the hand-over buffer may take new pieces during a box.
  char own[kHandoverBufferSize];
  lstrcpynA(own, path, sizeof own);
  modal_begin();
  const int started = tx_start(window, own, settings_link_target());
  modal_end(window);
  if (started) {
    mw_transfer_started(&g_state);
    apply_menu(window, true);
  }
  after_modal(window);
}

// A dialog run on the user-interface thread: no transfer starts while it is open.
INT_PTR modal_dialog(HWND window, const char* name, DLGPROC procedure) {
  modal_begin();
  const INT_PTR result = DialogBoxParamA(hInst, name, window, procedure, 0);
  modal_end(window);
  return result;
}

// The stop dialog, at most one at a time. Returns 1 for "Abort", 0 for
// "Continue" and -1 when one is open already (the user is still choosing).
bool g_stop_dialog_open = false;
HWND g_stop_dialog = nullptr;
int g_stop_choice = -1;  // of the open (or last) stop dialog: 1 Abort, 0 Continue, -1 not yet
int stop_dialog(HWND window) {
  if (g_stop_dialog_open) return -1;
  g_stop_dialog_open = true;
  g_stop_choice = -1;
  const INT_PTR result = modal_dialog(window, "STOP_DIALOG", StopDlgProc);
  g_stop_dialog_open = false;
  g_stop_dialog = nullptr;
  const int aborted = result > 0 ? 1 : 0;
  // A close asked while it was open: carried out after "Abort", dropped with "Continue".
  if (g_close_after_stop && aborted) g_close_pending = true;
  g_close_after_stop = false;
  return aborted;
}

// A session end asked while the stop dialog is open is answered by that
// dialog's outcome: the messages go on (the dialog keeps working) until the
// user has chosen. 1 for "Abort", 0 for "Continue".
int stop_dialog_outcome() {
  while (g_stop_dialog_open && g_stop_choice < 0) {
    MSG msg;
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
      return 0;
    }
    if (g_stop_dialog == nullptr || !IsDialogMessageA(g_stop_dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return g_stop_choice > 0 ? 1 : 0;
}

// Shows the transfer thread's box, modal over the window.
void show_thread_box(HWND window) {
  ThreadBox box = g_thread_box;
  modal_begin();
  MessageBoxA(window, box.text, box.has_caption ? box.caption : nullptr, box.style);
  modal_end(window);
  after_modal(window);
}

// Closes the window: the links are closed, held paths dropped, nothing starts.
void close_window(HWND window) {
  g_closing = true;
  g_close_pending = false;
  mw_drop_held(&g_state);
  tx_close_all();
  DestroyWindow(window);
}

// A close (the close box, "&Exit", WM_CLOSE from anyone): asks with the stop
// dialog while a transfer runs; inside a modal step it is carried out once
// that step has ended.
void request_close(HWND window) {
  if (g_closing) return;
  if (g_stop_dialog_open) {
    g_close_after_stop = true;
    return;
  }
  if (g_state.modal != 0) {
    g_close_pending = true;
    return;
  }
  if (!query_tfr_stop() && stop_dialog(window) <= 0) {
    after_modal(window);
    return;
  }
  close_window(window);
}

// WM_QUERYENDSESSION: 1 allows the session to end. While a transfer runs the
// stop dialog asks (or, when it is open already, its outcome answers).
LRESULT query_end_session(HWND window) {
  int allowed = 1;
  if (g_stop_dialog_open) {
    allowed = stop_dialog_outcome();
  } else if (!query_tfr_stop()) {
    allowed = stop_dialog(window) > 0 ? 1 : 0;
  }
  if (!allowed) {
    after_modal(window);
    return 0;
  }
  // The program's work ends with the session: a held path does not start.
  // A close asked while the stop dialog that answered was open is settled
  // here, once: the user chose "Abort", so it is carried out now and never at
  // some later dialog's end. One deferred by a dialog still open waits for it.
  const bool close_asked = g_close_pending && g_state.modal == 0;
  mw_drop_held(&g_state);
  tx_close_all();
  if (close_asked) close_window(window);
  return 1;
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
  const int id = LOWORD(wParam);
  if (!mw_menu_command_allowed(&g_state, id)) return;
  switch (main_command(id)) {
    case kCmdClose:
      SendMessageA(window, WM_CLOSE, 0, 0);
      break;
    case kCmdStopDialog:
      stop_dialog(window);
      after_modal(window);
      break;
    case kCmdConfigDialog:
      modal_dialog(window, "CONFIG_DIALOG", ConfigDlgProc);
      after_modal(window);
      break;
    case kCmdOpenFile: {
      char path[kOpenFileSize];
      modal_begin();
      int chosen = open_file_dialog(window, path);
      modal_end(window);
      if (chosen < 0) {
        modal_begin();
        MessageBoxA(window, kChosenTooLong, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
        modal_end(window);
      }
      // A close asked meanwhile goes first; then the user's choice; a path
      // handed over meanwhile starts only when the dialog was cancelled (or
      // the chosen file's link did not open).
      if (g_close_pending || g_closing) chosen = 0;
      if (chosen > 0) start_transfer(window, path);
      after_modal(window);
      break;
    }
    case kCmdTransferEnd:
      if (mw_transfer_end_allowed(&g_state, query_tfr_stop())) on_transfer_end(window);
      break;
    case kCmdStopEnable:
      if (g_state.tx_flag == 0) break;  // no transfer of this window runs
      mw_stop_enable(&g_state, static_cast<long>(lParam));
      apply_menu(window, true);
      if (lParam != 0) display_progress_begin(datafile.size);
      break;
    case kCmdCommandLine:
      // Posted once by the window itself at its creation.
      if (g_cmdline_taken) break;
      g_cmdline_taken = true;
      start_transfer(window, cl.path);
      break;
    case kCmdHandoverPiece:
      if (g_closing) break;
      if (mw_handover_piece(&g_state, HIWORD(wParam), static_cast<unsigned long>(lParam & 0xFFFFFFFF))) {
        start_transfer(window, g_state.handover.rxw_filename);
      }
      break;
    case kCmdIgnore:
      break;
  }
}

}  // namespace

void stop_dialog_shown(HWND dialog) { g_stop_dialog = dialog; }
void stop_dialog_chosen(int aborted) { g_stop_choice = aborted ? 1 : 0; }

int transfer_running() { return g_state.tx_flag != 0 || !query_tfr_stop() ? 1 : 0; }

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      g_main_window = window;
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
      request_close(window);
      return 0;
    case WM_QUERYENDSESSION:
      return query_end_session(window);
    case kMsgThreadBox:
      show_thread_box(window);
      return 0;
    case WM_DESTROY:
      g_window_destroyed = true;
      g_closing = true;
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

namespace {

// The sinks the engine reports through, for this thread and the transfer thread.
void install_sinks() {
  g_ui_thread = GetCurrentThreadId();
  HostSinks sinks{};
  sinks.message_box = box_sink;
  sinks.textout = display_textout;
  sinks.post_command = post_sink;
  sinks.window_origin = origin_sink;
  sinks.desktop_extent = desktop_sink;
  host_install(sinks);
}

// The saved place and size, moved onto the desktop when it would be off it.
void place_window(int full_height) {
  get_initial();
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

// The main window's class; false when it cannot be registered.
bool register_window_class() {
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
  return RegisterClassA(&wc) != 0;
}

// The main window, or null after the user has been told (and what start-up
// took released).
HWND create_main_window() {
  char title[128];
  wsprintfA(title, "%s v%s", kProgramTitle, kProgramVersion);
  HWND window = CreateWindowExA(WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE, kProgramTitle, title,
                                WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, xpos, ypos, xsize, ysize,
                                nullptr, nullptr, hInst, nullptr);
  if (window != nullptr) return window;
  // Nothing to show the user in: say so, release what start-up took and end.
  if (!g_window_destroyed) {
    free_tfr();
    free_screen();
    DeleteObject(hBrushBack);
  }
  write_log("Failed to create the main window.");
  MessageBoxA(nullptr, kNoWindow, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  return nullptr;
}

// The messages until WM_QUIT; its exit code.
int run_message_loop() {
  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace

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

  install_sinks();
  if (!open_log()) {
    MessageBoxA(nullptr, kLogOpenFailedText, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
  }

  ysize = mw_window_height(GetSystemMetrics(SM_CYCAPTION), GetSystemMetrics(SM_CYMENU),
                           GetSystemMetrics(SM_CYEDGE));
  if (!settings_file_path()) {
    MessageBoxA(nullptr, kPathTooLong, kProgramTitle, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    close_log();
    return 0;
  }
  place_window(ysize);
  if (!init_tfr()) {
    close_log();
    return 0;
  }
  check_comm(comm_status);
  if (mw_no_serial_port(comm_status)) devtype = 1;

  hBrushBack = CreateSolidBrush(0x604000);
  if (!register_window_class()) {
    free_tfr();
    DeleteObject(hBrushBack);
    close_log();
    return 0;
  }
  HWND window = create_main_window();
  if (window == nullptr) {
    close_log();
    return 0;
  }
  ShowWindow(window, nCmdShow);
  UpdateWindow(window);
  const int code = run_message_loop();
  close_log();
  return code;
}
