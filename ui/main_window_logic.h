#pragma once
// The main window's rules that do not draw: which command does what, the menu
// bar's enable state through a transfer, the attention flash, the start-up
// geometry and the settings-file path. Both front ends follow them.

#include "ui/handover.h"

// Enable state of the three menu commands that change; "&Exit" never does.
struct MenuEnable {
  int update;  // "&Update..." (207): 1 enabled, 0 grayed
  int config;  // "&Config..." (203)
  int stop;    // "&Stop..." (202)
};

struct MainWindowState {
  int tx_flag;    // 1 from a successful transfer start until the end notice (208)
  int wf_status;  // -1 not flashing; 0 or 1 the flash phase while timer 1 runs
  MenuEnable menu;
  HandoverBuffer handover;
  // Modal steps under way on the user-interface thread (a dialog, a message
  // box, a transfer start): their own message loops still deliver commands, and
  // no transfer may start behind them.
  int modal;
  // A path that asked to start while a modal step was under way, kept until the
  // last one ends (empty: none). Only the first such path is kept.
  char held_path[kHandoverBufferSize];
};

// What a WM_COMMAND identifier asks the window to do.
enum MainCommand : int {
  kCmdIgnore = 0,
  kCmdClose,          // 201 "&Exit": close through the close rules
  kCmdStopDialog,     // 202 "&Stop...": run the stop dialog
  kCmdConfigDialog,   // 203 "&Config...": run the configuration dialog
  kCmdOpenFile,       // 207 "&Update...": the "Open File" dialog, then the transfer start
  kCmdTransferEnd,    // 208 the transfer thread ended
  kCmdStopEnable,     // 209 the data packets begin (lParam 1) or are all sent (0)
  kCmdCommandLine,    // 210 start the transfer of the command line's file
  kCmdHandoverPiece,  // 211 a piece of a path from a second copy
};
MainCommand main_command(int id);

// Window creation: idle menu ("&Stop..." grayed), not transferring, not flashing.
void mw_create(MainWindowState* state);
// A transfer start succeeded: "&Update..." and "&Config..." grayed, tx_flag 1.
void mw_transfer_started(MainWindowState* state);
// Command 209.
void mw_stop_enable(MainWindowState* state, long lparam);

// Whether a menu command (202, 203, 207) is taken: only while its menu item
// is enabled and no modal step is under way, whoever sends it (the menu cannot
// send a grayed command, nor anything while a dialog disables the window).
// Every other identifier is taken.
int mw_menu_command_allowed(const MainWindowState* state, int id);
// Whether command 208 ends the transfer: only while one was started here and
// its thread has really ended (`thread_idle`), so exactly once per transfer,
// whoever else sends or posts 208.
int mw_transfer_end_allowed(const MainWindowState* state, int thread_idle);

// Command 208: idle menu and tx_flag 0. `has_focus` says whether the window has
// the keyboard focus. Returns 1 when flash timer 1 must be started; the caller
// then flashes (wf_status is 1 whenever the window lacks the focus).
int mw_transfer_ended(MainWindowState* state, int has_focus);
// A tick of timer 1: the new flash phase (0 or 1) to show.
int mw_flash_tick(MainWindowState* state);
// WM_SETFOCUS: 1 when the flash must stop (kill timer 1, unflash).
int mw_focus_gained(MainWindowState* state);

// Command 210: 1 when the command line's transfer may start (nothing runs).
int mw_may_start_transfer(const MainWindowState* state);
// Command 211: stores the piece; 1 when a complete path is ready in
// state->handover.rxw_filename and no transfer runs (the caller starts it);
// 0 otherwise (more to come, dropped, or busy: a path arriving during a
// transfer is dropped, not queued). A complete path that arrives while a modal
// step is under way is held (see mw_start_request) and 0 is returned.
int mw_handover_piece(MainWindowState* state, unsigned offset, unsigned long bytes);

// Every start of a transfer, whichever command asks for it, goes through here
// first. 1: nothing runs and no modal step is under way, the caller starts the
// transfer of `path` now (inside mw_modal_begin/mw_modal_end). 0: a transfer
// runs (the path is dropped), or a modal step is under way (the path is held
// when none is held yet, else dropped).
int mw_start_request(MainWindowState* state, const char* path);
// A modal step begins or ends. Calls nest.
void mw_modal_begin(MainWindowState* state);
void mw_modal_end(MainWindowState* state);
// After a modal step ended: 1 with the held path copied to `out` (which holds
// kHandoverBufferSize bytes) and the hold cleared when no modal step is left
// and a path is held; the caller passes it to mw_start_request, which drops it
// when a transfer started meanwhile. 0 otherwise.
int mw_take_held(MainWindowState* state, char* out);
// The held path, if any, is dropped: the step that held it ended the
// program's work (a close, a session end allowed).
void mw_drop_held(MainWindowState* state);

// The configured port when its byte in status is non-zero, else the lowest port
// that opened, else the configured port unchanged.
int mw_fix_port(int port, const unsigned char status[4]);
// 1 when every byte is zero (no serial port at all: the MIDI link is chosen).
int mw_no_serial_port(const unsigned char status[4]);

// Outer window height: nine caption heights, the menu bar, two edges and six.
int mw_window_height(int cy_caption, int cy_menu, int cy_edge);

// The window's place after the settings were loaded. The saved position is
// kept as it is, also left of or above the primary desktop (a monitor there
// has negative coordinates). Only a window whose size the clipping to the
// desktop left at nothing (its left edge at or beyond the desktop's right
// edge, or its top at or below the bottom) is put back at the default corner
// (40, 30) with its full size, clipped to the desktop. Returns 1 when it was
// moved.
struct WindowPlace {
  int x, y, width, height;
};
int mw_fit_window(WindowPlace* place, int full_width, int full_height, int desktop_right,
                  int desktop_bottom);

// The settings-file path: the program's path with its last three characters
// replaced by "ini". 0 (out untouched) when the program path is shorter than
// three characters or does not fit in `size` bytes.
int mw_settings_path(const char* program_path, char* out, int size);
