#pragma once
// The seam between the program's logic and whatever shows it to the user.
//
// Engine and link code never print and never touch a window: they report through
// textout (the six display lines), message_box and post_command (the notices to
// the main window). The Win32 program, the terminal front end, the headless
// runner and the tests each install their own sinks.

#include <cstdint>

using WindowHandle = void*;

// Message-box styles, with the values the Win32 API gives them.
enum MessageBoxStyle : unsigned {
  kMbOk = 0x0,
  kMbIconExclamation = 0x30,
  kMbSetForeground = 0x10000,
  kMbTopmost = 0x40000,
};

struct HostSinks {
  // Shows a modal box with an OK button; caption may be null (the platform's
  // default title). Returns the button pressed (1 for OK).
  int (*message_box)(WindowHandle owner, const char* text, const char* caption, unsigned style);
  // Replaces display line `line` (0 to 5). Called from any thread.
  void (*textout)(int line, const char* text);
  // Posts WM_COMMAND `id` with `lparam` to `window`; never waits for it.
  void (*post_command)(WindowHandle window, int id, intptr_t lparam);
  // The window's outer top-left corner in screen pixels (for the saved position).
  void (*window_origin)(WindowHandle window, int* left, int* top);
  // The desktop's right and bottom edge in pixels (to clip the window size).
  void (*desktop_extent)(int* right, int* bottom);
  // The instrument accepted data packet `done` of `total` (a progress shown
  // may move now). Called from the transfer's thread.
  void (*packet_accepted)(int done, int total);
};

// Installs the sinks; a null member keeps a harmless default. Call before any
// thread that reports exists.
void host_install(const HostSinks& sinks);
// Back to the defaults (nothing shown, nothing posted).
void host_reset();
// The sinks installed now (to put them back after a short-lived set).
HostSinks host_current();

int message_box(WindowHandle owner, const char* text, const char* caption, unsigned style);
void textout(int line, const char* text);
void post_command(WindowHandle window, int id, intptr_t lparam);
void host_window_origin(WindowHandle window, int* left, int* top);
void host_desktop_extent(int* right, int* bottom);
void host_packet_accepted(int done, int total);
