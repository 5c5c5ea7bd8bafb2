#pragma once
// The terminal itself: ncurses set-up and restoration (also on a crash), key
// reading with escape sequences filtered out, and the drawing of the main screen
// and of framed forms.

#include <string>

// Smallest terminal that holds the main screen and every form.
constexpr int kMinColumns = 80;
constexpr int kMinRows = 20;

// Keys beyond ncurses' own.
constexpr int kKeyNone = -1;
constexpr int kKeyFocusIn = 0x7001;
constexpr int kKeyFocusOut = 0x7002;
constexpr int kKeySwallowed = 0x7003;  // an escape sequence that names no key was read and dropped
constexpr int kKeyEscape = 27;

// Takes over the terminal. 0 when it is not one ncurses can drive.
int screen_open();
// Gives the terminal back as it was. Harmless when not open.
void screen_close();
int screen_is_open();

// 1 when the terminal reports focus changes.
int screen_focus_reported();

// The next key without waiting, kKeyNone when none is ready. Escape sequences
// that name no known key are swallowed whole (kKeySwallowed); Esc followed by a
// letter is that letter (Alt+letter).
int screen_read_key();

// Follows a size change of the terminal.
void screen_resize();
// 1 when the terminal is big enough to draw on.
int screen_fits();
// Rings the bell.
void screen_bell();

// What the main screen shows.
struct MainView {
  std::string lines[6];
  int update_enabled, stop_enabled, config_enabled;
  int title_marked;      // the attention flash's bright phase
  std::string progress;  // "" when no transfer sends packets
  int progress_fill;     // filled cells of a bar kProgressBarWidth wide
  std::string link;      // the link in use: "Link: COM1 (/dev/ttyUSB0) at 38400 baud"
};
constexpr int kProgressBarWidth = 60;

// Draws the main screen (or the "too small" notice) into the back buffer.
void screen_draw_main(const MainView& view);

// Form drawing. Coordinates are absolute.
void screen_frame(int top, int left, int height, int width, const char* caption);
// Text clipped to `width` cells; attr is an ncurses attribute set.
void screen_text(int row, int col, const char* text, int width, unsigned long attr);
unsigned long screen_attr_normal();
unsigned long screen_attr_focus();
unsigned long screen_attr_disabled();
void screen_cursor(int visible, int row, int col);

// Sends the back buffer to the terminal.
void screen_flush();
