#pragma once
// The string table: texts kept by id in an English and a Japanese copy.
// Windows loads them from the program's resources for the user's language;
// Linux picks the copy from the locale.

// Copies the text of `id` into out (at most size bytes); returns its length, 0 if unknown.
int load_string(int id, char* out, int size);

// The built-in copies, UTF-8. language: 0 English, 1 Japanese.
const char* string_table_text(int id, int language);

// Copies text (null: nothing) into out as load_string does, never cutting a
// UTF-8 character in two; returns the length copied.
int copy_string_text(const char* text, char* out, int size);
