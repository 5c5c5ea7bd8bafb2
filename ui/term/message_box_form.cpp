// The message box: the text, wrapped, and an OK button.
#include <curses.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/term/term_forms.h"
#include "ui/term/form_parts.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"

namespace {

struct BoxForm {
  std::vector<std::string> lines;
  std::string caption;
};

void draw_box(void* context) {
  const BoxForm& form = *static_cast<BoxForm*>(context);
  int width = static_cast<int>(form.caption.size()) + 8;
  for (const auto& line : form.lines) width = std::max(width, static_cast<int>(line.size()) + 4);
  width = std::max(width, 20);
  width = std::min(width, COLS);
  const int visible = std::min(static_cast<int>(form.lines.size()), std::max(0, LINES - 5));
  const int height = visible + 5;
  const int top = std::max(0, (LINES - height) / 2);
  const int left = std::max(0, (COLS - width) / 2);
  screen_frame(top, left, height, width, form.caption.c_str());
  for (int i = 0; i < visible; ++i) {
    screen_text(top + 2 + i, left + 2, form.lines[static_cast<std::size_t>(i)].c_str(), width - 4,
                screen_attr_normal());
  }
  draw_button(top + height - 2, left + (width - 6) / 2, "OK", true);
}

}  // namespace

int form_message_box(const char* text, const char* caption) {
  BoxForm form;
  form.caption = caption != nullptr ? caption : "Error";  // the platform's default title
  wrap_text(text != nullptr ? text : "", std::max(20, std::min(COLS, 80) - 4), &form.lines);
  Overlay overlay(draw_box, &form);
  for (;;) {
    const int key = loop_wait_key();
    if (is_enter(key) || key == ' ' || key == 'o' || key == 'O' || is_cancel(key)) return 1;
  }
}
