#include "ui/term/form_parts.h"

#include <curses.h>

#include <cstdio>
#include <cstring>

#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"

bool is_enter(int key) { return key == '\r' || key == '\n' || key == KEY_ENTER; }
bool is_cancel(int key) { return key == kKeyEscape || key == kCtrlC || key == kKeyCancelForm; }

Overlay::Overlay(void (*draw)(void*), void* context) {
  loop_push_overlay(draw, context);
  loop_invalidate();
}

Overlay::~Overlay() {
  loop_pop_overlay();
  loop_invalidate();
}

void draw_button(int row, int col, const char* label, bool focused) {
  char text[32];
  std::snprintf(text, sizeof text, "[ %s ]", label);
  screen_text(row, col, text, static_cast<int>(std::strlen(text)),
              focused ? screen_attr_focus() : screen_attr_normal());
}

void wrap_text(const char* text, int width, std::vector<std::string>* lines) {
  std::string line;
  for (const char* p = text;; ++p) {
    if (*p == '\0' || *p == '\n') {
      // Long lines break at the last blank that fits.
      while (static_cast<int>(line.size()) > width) {
        std::size_t cut = line.rfind(' ', static_cast<std::size_t>(width));
        if (cut == std::string::npos || cut == 0) cut = static_cast<std::size_t>(width);
        lines->push_back(line.substr(0, cut));
        line.erase(0, line[cut] == ' ' ? cut + 1 : cut);
      }
      lines->push_back(line);
      line.clear();
      if (*p == '\0') break;
    } else {
      line += *p;
    }
  }
}

std::string path_tail(const std::string& path, int width) {
  if (static_cast<int>(path.size()) <= width) return path;
  std::size_t from = path.size() - static_cast<std::size_t>(width - 3);
  while (from < path.size() && (static_cast<unsigned char>(path[from]) & 0xC0) == 0x80) ++from;
  return "..." + path.substr(from);
}

FieldEdit edit_text_field(std::string* text, int key, std::size_t most) {
  if (key == KEY_BACKSPACE || key == 127 || key == 8) {
    if (!text->empty()) {
      std::size_t n = text->size() - 1;
      while (n > 0 && (static_cast<unsigned char>((*text)[n]) & 0xC0) == 0x80) --n;
      text->erase(n);
    }
    return kFieldEdited;
  }
  if (key == kCtrlU) {
    text->clear();
    return kFieldEdited;
  }
  if (key < 0x20 || key > 0xFF || key == 0x7F) return kFieldNotTaken;
  if (text->size() >= most) return kFieldFull;
  *text += static_cast<char>(key);
  return kFieldEdited;
}
