#pragma once
// The main window's text display: six lines kept in an off-screen bitmap, so
// that any thread can replace a line while only the user-interface thread
// paints. Below the six lines, while data packets go out, a progress line and bar.

#include <windows.h>

void init_screen(HWND window, HBRUSH brush);
// The display's textout: replaces line `line` (0 to 5); callable from any thread
// between init_screen and free_screen (it does nothing outside that time).
// Installed as the program's textout.
void display_textout(int line, const char* text);
void repaint();
void free_screen();

// The progress below the lines: shown from the first data packet until the
// transfer ends. `file_size` gives the number of packets.
void display_progress_begin(int file_size);
void display_progress_end();
