#pragma once
// What the terminal front end's forms share: their keys, their drawing over the
// main screen, buttons, wrapped text and the editing of a text field.

#include <cstddef>
#include <string>
#include <vector>

constexpr int kCtrlC = 3;
constexpr int kCtrlU = 21;

bool is_enter(int key);
// Esc, Ctrl-C, or the loop's request to close every form.
bool is_cancel(int key);

// Pushes a form's drawing for as long as the form is open.
class Overlay {
 public:
  Overlay(void (*draw)(void*), void* context);
  ~Overlay();
  Overlay(const Overlay&) = delete;
  Overlay& operator=(const Overlay&) = delete;
};

void draw_button(int row, int col, const char* label, bool focused);
// `text` cut into lines of at most `width` bytes, at its line breaks and at the
// last blank that fits.
void wrap_text(const char* text, int width, std::vector<std::string>* lines);
// The end of a path that is too long for `width` cells, after "...", cut at the
// start of a character.
std::string path_tail(const std::string& path, int width);

// A key typed into a text field of UTF-8 text: Backspace removes the last whole
// character, Ctrl-U clears the field, any other byte of text is added while the
// field holds fewer than `most` bytes.
enum FieldEdit : int {
  kFieldNotTaken = 0,  // the key is not one the field takes
  kFieldEdited = 1,
  kFieldFull = 2,      // a byte that did not fit: it was dropped
};
FieldEdit edit_text_field(std::string* text, int key, std::size_t most);
