#pragma once
// The page's main window, as the page's scripts (ui/web/*.js) call it: start-up,
// the one start of a transfer, the end notices, the stop dialog, the timers and
// the end of the page. Every rule is the shared one (ui/main_window_logic.h,
// ui/transfer_start.h); this file only carries it to the page.
//
// Calls marked async may wait (they open devices, read the file, show a
// message); the page runs at most one of them at a time. All others return at
// once and may be called while an async one waits.

extern "C" {
// async: the support log, the settings, the transfer buffers and the serial
// ports, in the Windows program's order. 0 when the page cannot go on.
int xr_web_startup();
// async: starts the transfer of the file the page offered under `name` (the
// page asks only while no transfer runs and no dialog is open; a file dropped
// meanwhile is refused there, never held). 1 when the transfer runs; its task
// is then scheduled.
int xr_web_start(const char* name);
// A posted notice (208, 209). has_focus: whether the page has the user's
// attention. Returns 1 when the page must start flashing.
int xr_web_notice(int id, int lparam, int has_focus);
// The stop dialog: opened, "Continue", and "Abort" in two halves (the request,
// then once xr_web_idle says the transfer ended, the log entry).
void xr_web_stop_opened();
void xr_web_stop_continue();
void xr_web_stop_request();
void xr_web_stop_aborted();
// 1 when no transfer runs.
int xr_web_idle();
// Timer 2 (every 100 ms) and timer 1 (the flash, every 500 ms); the page got
// the focus (1: stop flashing).
void xr_web_tick();
int xr_web_flash_tick();
int xr_web_focus_gained();
// What the page shows besides the display lines, as JSON: the menu's enabled
// commands, whether a transfer runs, the progress, the link in use.
const char* xr_web_view();
// The page ends (Exit with nothing running, or the page is left): the links
// are closed and the settings saved. Returns how many settings were not saved.
int xr_web_close();
}
