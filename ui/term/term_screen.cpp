#include "ui/term/term_screen.h"

#include <curses.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/program_info.h"

namespace {

// The screen's state. All of it is written by the user-interface thread, in
// screen_open and screen_close.
struct ScreenState {
  SCREEN* screen = nullptr;
  int focus_reported = 0;
  int colors = 0;
  int utf8 = 0;  // the locale's characters are UTF-8

  // Read by the crash handler, on whichever thread crashes: what gives the
  // terminal back, taken from terminfo, and the terminal's modes before.
  char restore[1024] = {};
  std::size_t restore_length = 0;
  struct termios saved_modes = {};
  int have_saved_modes = 0;

  // Focus reporting: the terminfo strings when the entry has them, else the
  // private mode 1004 that xterm, tmux and screen-like terminals understand.
  const char* focus_on = nullptr;
  const char* focus_off = nullptr;
};

ScreenState g_term;

enum Pair : short { kPairClient = 1, kPairMenu = 2, kPairForm = 3, kPairTitle = 4 };

void add_restore(const char* capability) {
  if (capability == nullptr || capability == reinterpret_cast<const char*>(-1)) return;
  const std::size_t n = std::strlen(capability);
  if (g_term.restore_length + n >= sizeof g_term.restore) return;
  std::memcpy(g_term.restore + g_term.restore_length, capability, n);
  g_term.restore_length += n;
}

const char* terminfo_string(const char* name) {
  const char* value = tigetstr(const_cast<char*>(name));
  return value == reinterpret_cast<const char*>(-1) ? nullptr : value;
}

void crash_handler(int signal_number) {
  if (g_term.restore_length > 0) {
    const ssize_t ignored = write(STDOUT_FILENO, g_term.restore, g_term.restore_length);
    (void)ignored;
  }
  if (g_term.have_saved_modes) tcsetattr(STDIN_FILENO, TCSANOW, &g_term.saved_modes);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void install_crash_handlers() {
  struct sigaction action = {};
  action.sa_handler = crash_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(s, &action, nullptr);
}

void remove_crash_handlers() {
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(s, SIG_DFL);
}

bool term_name_reports_focus() {
  const char* term = std::getenv("TERM");
  if (term == nullptr) return false;
  for (const char* prefix : {"xterm", "tmux", "screen", "rxvt", "foot", "alacritty", "kitty"}) {
    if (std::strncmp(term, prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

// The length of the well-formed UTF-8 character at text, or 0.
int utf8_length(const unsigned char* text) {
  const unsigned char c = text[0];
  const int length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  for (int i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

// What is safe to hand to ncurses: control characters would move the cursor and
// bytes that form no character would be spelled out wider than they are, so both
// become "?". At most `width` bytes (never more cells than bytes), and no
// character is cut in two.
void sanitize(const char* text, int width, char* out, int out_size) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  int n = 0;
  for (int i = 0; in[i] != '\0' && n < width && n < out_size - 1;) {
    const unsigned char c = in[i];
    if (c < 0x80) {
      out[n++] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
      ++i;
      continue;
    }
    const int length = g_term.utf8 ? utf8_length(in + i) : 0;
    if (length == 0) {
      out[n++] = '?';
      ++i;
      continue;
    }
    if (n + length > width || n + length > out_size - 1) break;
    std::memcpy(out + n, in + i, static_cast<std::size_t>(length));
    n += length;
    i += length;
  }
  out[n] = '\0';
}

void fill_row(int row, unsigned long attr) {
  attrset(static_cast<attr_t>(attr));
  mvhline(row, 0, ' ', COLS);
}

void menu_item(int* col, const char* label, int enabled, unsigned long base) {
  const unsigned long attr = enabled ? base : (base | A_DIM);
  screen_text(1, *col, " ", 1, attr);
  // The first letter is the key, underlined as the "&" marks it.
  char first[2] = {label[0], '\0'};
  screen_text(1, *col + 1, first, 1, enabled ? (attr | A_UNDERLINE) : attr);
  screen_text(1, *col + 2, label + 1, static_cast<int>(std::strlen(label)), attr);
  *col += 2 + static_cast<int>(std::strlen(label));
  screen_text(1, *col, "  ", 2, base);
  *col += 2;
}

}  // namespace

int screen_open() {
  if (g_term.screen != nullptr) return 1;
  std::setlocale(LC_ALL, "");
  g_term.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? 1 : 0;
  if (tcgetattr(STDIN_FILENO, &g_term.saved_modes) == 0) g_term.have_saved_modes = 1;
  g_term.screen = newterm(nullptr, stdout, stdin);
  if (g_term.screen == nullptr) return 0;
  set_term(g_term.screen);
  raw();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(40);
  curs_set(0);
  if (has_colors()) {
    start_color();
    init_pair(kPairClient, COLOR_WHITE, COLOR_BLUE);
    init_pair(kPairMenu, COLOR_BLACK, COLOR_WHITE);
    init_pair(kPairForm, COLOR_BLACK, COLOR_WHITE);
    init_pair(kPairTitle, COLOR_WHITE, COLOR_CYAN);
    g_term.colors = 1;
  }

  g_term.focus_on = terminfo_string("fe");
  g_term.focus_off = terminfo_string("fd");
  if ((g_term.focus_on == nullptr || g_term.focus_off == nullptr) && term_name_reports_focus()) {
    g_term.focus_on = "\033[?1004h";
    g_term.focus_off = "\033[?1004l";
  }
  if (g_term.focus_on != nullptr && g_term.focus_off != nullptr) {
    define_key("\033[I", kKeyFocusIn);
    define_key("\033[O", kKeyFocusOut);
    putp(g_term.focus_on);
    g_term.focus_reported = 1;
  }

  g_term.restore_length = 0;
  if (g_term.focus_reported) add_restore(g_term.focus_off);
  add_restore(terminfo_string("sgr0"));
  add_restore(terminfo_string("cnorm"));
  add_restore(terminfo_string("rmkx"));
  add_restore(terminfo_string("rmcup"));
  install_crash_handlers();
  return 1;
}

void screen_close() {
  if (g_term.screen == nullptr) return;
  if (g_term.focus_reported) putp(g_term.focus_off);
  curs_set(1);
  endwin();
  delscreen(g_term.screen);
  g_term.screen = nullptr;
  g_term.focus_reported = 0;
  remove_crash_handlers();
  if (g_term.have_saved_modes) tcsetattr(STDIN_FILENO, TCSANOW, &g_term.saved_modes);
  std::fflush(stdout);
}

int screen_is_open() { return g_term.screen != nullptr ? 1 : 0; }

int screen_focus_reported() { return g_term.focus_reported; }

int screen_read_key() {
  if (g_term.screen == nullptr) return kKeyNone;
  const int ch = wgetch(stdscr);
  if (ch == ERR) return kKeyNone;
  if (ch != kKeyEscape) return ch;
  // What follows an Esc: nothing (the Esc key), a letter (Alt+letter), or the
  // rest of a sequence that no key of the terminal description names.
  wtimeout(stdscr, 30);
  int result = kKeyEscape;
  const int next = wgetch(stdscr);
  if (next == '[' || next == 'O') {
    result = kKeySwallowed;
    if (next == 'O') {
      wgetch(stdscr);
    } else {
      for (int i = 0; i < 64; ++i) {
        const int c = wgetch(stdscr);
        if (c == ERR || (c >= 0x40 && c <= 0x7E)) break;
      }
    }
  } else if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z')) {
    result = next;
  } else if (next != ERR) {
    ungetch(next);
  }
  nodelay(stdscr, TRUE);
  return result;
}

void screen_resize() {
  if (g_term.screen == nullptr) return;
  struct winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    resizeterm(size.ws_row, size.ws_col);
  }
  clearok(curscr, TRUE);
}

int screen_fits() { return g_term.screen != nullptr && LINES >= kMinRows && COLS >= kMinColumns ? 1 : 0; }

void screen_bell() {
  if (g_term.screen != nullptr) beep();
}

unsigned long screen_attr_normal() { return g_term.colors ? COLOR_PAIR(kPairForm) : A_NORMAL; }
unsigned long screen_attr_focus() { return screen_attr_normal() | A_REVERSE; }
unsigned long screen_attr_disabled() { return screen_attr_normal() | A_DIM; }

void screen_text(int row, int col, const char* text, int width, unsigned long attr) {
  if (g_term.screen == nullptr || row < 0 || row >= LINES || col < 0 || col >= COLS || width <= 0) return;
  if (width > COLS - col) width = COLS - col;
  char clean[1024];
  sanitize(text, width, clean, sizeof clean);
  attrset(static_cast<attr_t>(attr));
  mvaddstr(row, col, clean);
}

void screen_frame(int top, int left, int height, int width, const char* caption) {
  if (g_term.screen == nullptr) return;
  const attr_t attr = static_cast<attr_t>(screen_attr_normal());
  attrset(attr);
  for (int r = top; r < top + height; ++r) mvhline(r, left, ' ', width);
  mvaddch(top, left, ACS_ULCORNER);
  mvhline(top, left + 1, ACS_HLINE, width - 2);
  mvaddch(top, left + width - 1, ACS_URCORNER);
  mvvline(top + 1, left, ACS_VLINE, height - 2);
  mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
  mvaddch(top + height - 1, left, ACS_LLCORNER);
  mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
  mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
  if (caption != nullptr && caption[0] != '\0') {
    char label[128];
    std::snprintf(label, sizeof label, " %s ", caption);
    const int n = static_cast<int>(std::strlen(label));
    screen_text(top, left + (width - n) / 2, label, n, screen_attr_normal() | A_BOLD);
  }
}

void screen_cursor(int visible, int row, int col) {
  if (g_term.screen == nullptr) return;
  if (visible) {
    curs_set(1);
    move(row, col);
  } else {
    curs_set(0);
  }
}

void screen_draw_main(const MainView& view) {
  if (g_term.screen == nullptr) return;
  attrset(A_NORMAL);
  erase();
  if (!screen_fits()) {
    char text[160];
    std::snprintf(text, sizeof text, "Terminal too small: %dx%d needed, %dx%d now. Enlarge it.", kMinColumns,
                  kMinRows, COLS, LINES);
    screen_text(0, 0, text, COLS, A_BOLD);
    return;
  }
  const unsigned long client = g_term.colors ? COLOR_PAIR(kPairClient) : A_NORMAL;
  const unsigned long menu = g_term.colors ? COLOR_PAIR(kPairMenu) : A_NORMAL;
  const unsigned long title =
      view.title_marked ? (A_BOLD | (g_term.colors ? COLOR_PAIR(kPairTitle) : A_STANDOUT)) : A_REVERSE;
  for (int row = 0; row < LINES; ++row) fill_row(row, row == 0 ? title : row == 1 ? menu : client);

  char caption[128];
  if (view.title_marked) {
    std::snprintf(caption, sizeof caption, "* %s v%s *", kProgramTitle, kProgramVersion);
  } else {
    std::snprintf(caption, sizeof caption, "%s v%s", kProgramTitle, kProgramVersion);
  }
  screen_text(0, 1, caption, COLS - 2, title);

  int col = 0;
  menu_item(&col, "Exit", 1, menu);
  menu_item(&col, "Update...", view.update_enabled, menu);
  menu_item(&col, "Stop...", view.stop_enabled, menu);
  menu_item(&col, "Config...", view.config_enabled, menu);

  for (int line = 0; line < 6; ++line) {
    screen_text(3 + line, 2, view.lines[line].c_str(), COLS - 3, client);
  }
  if (!view.progress.empty()) {
    screen_text(10, 2, view.progress.c_str(), COLS - 3, client);
    char bar[kProgressBarWidth + 3];
    bar[0] = '[';
    for (int i = 0; i < kProgressBarWidth; ++i) bar[1 + i] = i < view.progress_fill ? '#' : '.';
    bar[kProgressBarWidth + 1] = ']';
    bar[kProgressBarWidth + 2] = '\0';
    screen_text(11, 2, bar, COLS - 3, client);
  }
  screen_text(LINES - 2, 2, view.link.c_str(), COLS - 3, client);
  screen_text(LINES - 1, 1, "Keys: E Exit, U Update..., S Stop..., C Config... (also with Alt)", COLS - 2,
              client | A_DIM);
}

void screen_flush() {
  if (g_term.screen == nullptr) return;
  wnoutrefresh(stdscr);
  doupdate();
}
