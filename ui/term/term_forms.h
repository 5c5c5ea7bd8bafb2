#pragma once
// The modal forms of the terminal front end: the message box, the stop dialog,
// the configuration dialog and the "Open File" prompt. Same texts, choices and
// rules as the Windows dialogs.

// A message box with an OK button; returns 1.
int form_message_box(const char* text, const char* caption);
// "Stop transfer": opening pauses the transfer; 1 after "Abort" (the transfer has
// ended), 0 after "Continue" (also Esc).
int form_stop_dialog();
// "Config": edits the link settings; OK stores them in the settings record.
// 1 after OK, 0 after Cancel.
int form_config_dialog();
// "Open File": a path typed or picked from the files of the current folder that
// match the four filters. 1 with the full path in `out`; 0 when cancelled.
// Choosing a file makes its folder the current directory.
int form_open_file(char* out, int size);
