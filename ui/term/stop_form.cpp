// "Stop transfer": Continue or Abort.
#include <curses.h>

#include <algorithm>

#include "ui/term/term_forms.h"
#include "ui/term/form_parts.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"
#include "ui/transfer_start.h"

namespace {

struct StopForm {
  int focus;  // 1 Abort, 2 Continue
};

constexpr const char* kStopTexts[3] = {
    "If you abort the transfer, the device may not be able to start up normally.",
    "(If so try the transfer again and let it complete.)",
    "Are you sure you wish to abort the transfer?",
};

void draw_stop(void* context) {
  const StopForm& form = *static_cast<StopForm*>(context);
  const int width = std::min(COLS, 80);
  const int height = 8;
  const int top = std::max(0, (LINES - height) / 2);
  const int left = std::max(0, (COLS - width) / 2);
  screen_frame(top, left, height, width, "Stop transfer");
  for (int i = 0; i < 3; ++i)
    screen_text(top + 1 + i, left + 2, kStopTexts[i], width - 4, screen_attr_normal());
  draw_button(top + 5, left + width / 2 - 12, "Abort", form.focus == 1);
  draw_button(top + 5, left + width / 2 + 2, "Continue", form.focus == 2);
}

}  // namespace

int form_stop_dialog() {
  StopForm form{2};  // the focus starts on "Continue", the default button
  Overlay overlay(draw_stop, &form);
  stop_dialog_opened();
  for (;;) {
    const int key = loop_wait_key();
    if (key == '\t' || key == KEY_BTAB || key == KEY_LEFT || key == KEY_RIGHT || key == KEY_UP ||
        key == KEY_DOWN) {
      form.focus = form.focus == 1 ? 2 : 1;
      loop_invalidate();
      continue;
    }
    if ((is_enter(key) || key == ' ') && form.focus == 1) {
      loop_abort_transfer();
      return 1;
    }
    if (is_enter(key) || key == ' ' || is_cancel(key)) {
      stop_dialog_continue();
      return 0;
    }
  }
}
