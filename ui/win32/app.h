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
// The stop dialog tells the main window that it is open, and what the user chose
// (1 "Abort", once the transfer has ended; 0 "Continue").
void stop_dialog_shown(HWND dialog);
void stop_dialog_chosen(int aborted);
void select_midi(HWND dialog);

// The "Open File" dialog: 1 with the chosen path in `path` (kOpenFileSize bytes),
// 0 when the user cancelled, -1 when the chosen path does not fit (nothing is
// cut: the caller tells the user).
constexpr int kOpenFileSize = MAX_PATH;
int open_file_dialog(HWND owner, char* path);
