#pragma once
// What the main window and the dialogs of the Windows program share.

#include <windows.h>

extern HINSTANCE hInst;
extern HMENU hMenu;

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK StopDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void select_comm(HWND dialog);
// 1 from the start of a transfer until the window has handled its end.
int transfer_running();
void select_midi(HWND dialog);

// The "Open File" dialog: 1 with the chosen path in `path` (kOpenFileSize bytes),
// 0 when the user cancelled, -1 when the chosen path does not fit (nothing is
// cut: the caller tells the user).
constexpr int kOpenFileSize = MAX_PATH;
int open_file_dialog(HWND owner, char* path);
