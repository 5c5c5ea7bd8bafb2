#include "ui/term/term_forms.h"

#include <curses.h>
#include <dirent.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/midi_driver.h"
#include "support/settings.h"
#include "ui/config_dialog_logic.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"
#include "ui/transfer_start.h"

namespace {

constexpr int kCtrlC = 3;
constexpr int kEnter1 = '\r';
constexpr int kEnter2 = '\n';

bool is_enter(int key) { return key == kEnter1 || key == kEnter2 || key == KEY_ENTER; }
bool is_cancel(int key) { return key == kKeyEscape || key == kCtrlC || key == kKeyCancelForm; }

// Pushes a form's drawing for as long as the form is open.
class Overlay {
 public:
  Overlay(void (*draw)(void*), void* context) {
    loop_push_overlay(draw, context);
    loop_invalidate();
  }
  ~Overlay() {
    loop_pop_overlay();
    loop_invalidate();
  }
  Overlay(const Overlay&) = delete;
  Overlay& operator=(const Overlay&) = delete;
};

void draw_button(int row, int col, const char* label, bool focused) {
  char text[32];
  std::snprintf(text, sizeof text, "[ %s ]", label);
  screen_text(row, col, text, static_cast<int>(std::strlen(text)),
              focused ? screen_attr_focus() : screen_attr_normal());
}

// ---------------------------------------------------------------- message box

struct BoxForm {
  std::vector<std::string> lines;
  std::string caption;
};

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

// ---------------------------------------------------------------- stop dialog

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

// ---------------------------------------------------------------- configuration

enum ControlKind { kRadio, kCheck, kList, kButton, kLabel };

struct Control {
  int id;
  ControlKind kind;
  int row, col;
  const char* text;
  int width;  // lists and labels
};

constexpr int kConfigWidth = 70;
constexpr int kConfigHeight = 17;

// In the order the focus visits them.
const Control kControls[] = {
    {IDC_USE_SERIAL, kRadio, 2, 3, "Use Serial Port", 0},
    {IDC_PORT_GROUP, kLabel, 3, 7, "Port", 8},
    {IDC_COM1, kRadio, 3, 18, "COM1", 0},
    {IDC_COM2, kRadio, 3, 28, "COM2", 0},
    {IDC_COM3, kRadio, 3, 38, "COM3", 0},
    {IDC_COM4, kRadio, 3, 48, "COM4", 0},
    {IDC_BAUD_GROUP, kLabel, 4, 7, "Baudrate", 10},
    {IDC_BAUD_38400, kRadio, 4, 18, "38.4kBps", 0},
    {IDC_BAUD_57600, kRadio, 4, 32, "57.6kBps", 0},
    {IDC_USE_MIDI, kRadio, 6, 3, "Use MIDI", 0},
    {IDC_OUT_PORT_LABEL, kLabel, 7, 7, "Out Port", 20},
    {IDC_MIDI_OUT_LIST, kList, 7, 28, nullptr, 38},
    {IDC_IN_PORT_LABEL, kLabel, 8, 7, "In Port", 20},
    {IDC_MIDI_IN_LIST, kList, 8, 28, nullptr, 38},
    {IDC_XFER_RATE_LABEL, kLabel, 9, 7, "Data Transfer Rate", 20},
    {IDC_XFER_RATE_LIST, kList, 9, 28, nullptr, 15},
    {IDC_SKIP_VERSION, kCheck, 11, 3, "Skip Version Check", 0},
    {IDC_CFG_OK, kButton, 13, 22, "  OK  ", 0},
    {IDC_CFG_CANCEL, kButton, 13, 38, "Cancel", 0},
};
constexpr int kControlCount = static_cast<int>(sizeof kControls / sizeof kControls[0]);

struct ConfigForm {
  ConfigDialogState state;
  ConfigValues values;
  int focus;  // index into kControls
};

bool control_enabled(const ConfigForm& form, int id) {
  if (id == IDC_USE_MIDI) return form.state.midi_usable != 0;
  const int enabled = config_control_enabled(form.state.l_devtype, id, comm_status);
  return enabled != 0;  // -1: the link rules leave it enabled
}

bool control_checked(const ConfigForm& form, int id) {
  if (id == IDC_SKIP_VERSION) return form.state.l_skipver != 0;
  return id == config_link_button(&form.state) || id == config_port_button(&form.state) ||
         id == config_rate_button(&form.state);
}

const char* list_entry(const ConfigForm& form, int id) {
  if (id == IDC_XFER_RATE_LIST) {
    const int s = form.state.rate_selection;
    return s >= 0 && s <= 3 ? xfer_rate_names[s] : "";
  }
  const ConfigList& list = id == IDC_MIDI_OUT_LIST ? form.state.out_list : form.state.in_list;
  if (list.selection < 0 || list.selection >= list.count) return "";
  return list.names[static_cast<std::size_t>(list.selection)].data();
}

void draw_config(void* context) {
  const ConfigForm& form = *static_cast<ConfigForm*>(context);
  const int top = std::max(0, (LINES - kConfigHeight) / 2);
  const int left = std::max(0, (COLS - kConfigWidth) / 2);
  screen_frame(top, left, kConfigHeight, kConfigWidth, "Config");
  screen_text(top + 1, left + 2, "Device Select", 20, screen_attr_normal() | A_BOLD);
  for (int i = 0; i < kControlCount; ++i) {
    const Control& c = kControls[i];
    const bool enabled = control_enabled(form, c.id);
    const bool focused = i == form.focus;
    const unsigned long attr = focused   ? screen_attr_focus()
                               : enabled ? screen_attr_normal()
                                         : screen_attr_disabled();
    char text[96];
    switch (c.kind) {
      case kRadio:
        std::snprintf(text, sizeof text, "(%c) %s", control_checked(form, c.id) ? '*' : ' ', c.text);
        break;
      case kCheck:
        std::snprintf(text, sizeof text, "[%c] %s", control_checked(form, c.id) ? 'X' : ' ', c.text);
        break;
      case kList:
        std::snprintf(text, sizeof text, "< %-*.*s >", c.width - 4, c.width - 4, list_entry(form, c.id));
        break;
      case kButton:
        std::snprintf(text, sizeof text, "[ %s ]", c.text);
        break;
      case kLabel:
        std::snprintf(text, sizeof text, "%s", c.text);
        break;
    }
    screen_text(top + c.row, left + c.col, text, kConfigWidth - c.col - 1, attr);
  }
  screen_text(top + 14, left + 2, "Tab/arrows move, Space chooses, Left/Right change a list,",
              kConfigWidth - 4, screen_attr_disabled());
  screen_text(top + 15, left + 2, "Enter OK, Esc Cancel.", kConfigWidth - 4, screen_attr_disabled());
}

bool focusable(const ConfigForm& form, int index) {
  const Control& c = kControls[index];
  return c.kind != kLabel && control_enabled(form, c.id);
}

void move_focus(ConfigForm* form, int step) {
  int index = form->focus;
  for (int i = 0; i < kControlCount; ++i) {
    index = (index + step + kControlCount) % kControlCount;
    if (focusable(*form, index)) {
      form->focus = index;
      return;
    }
  }
}

int index_of(int id) {
  for (int i = 0; i < kControlCount; ++i) {
    if (kControls[i].id == id) return i;
  }
  return 0;
}

void change_list(ConfigForm* form, int id, int step) {
  if (id == IDC_XFER_RATE_LIST) {
    int s = form->state.rate_selection;
    s = s < 0 ? 0 : (s + step + 4) % 4;
    form->state.rate_selection = s;
    return;
  }
  ConfigList& list = id == IDC_MIDI_OUT_LIST ? form->state.out_list : form->state.in_list;
  if (list.count <= 0) return;
  int s = list.selection;
  if (s < 0) {
    s = step > 0 ? 0 : list.count - 1;
  } else {
    s = (s + step + list.count) % list.count;
  }
  list.selection = s;
}

// ---------------------------------------------------------------- open file

constexpr const char* kFilterNames[4] = {"System File(*.sys)", "Pcm File(*.pcm)", "User File(*.usr)",
                                         "Development File(*.b_*)"};
constexpr const char* kFilterPatterns[4] = {"*.sys", "*.pcm", "*.usr", "*.b_*"};
constexpr int kMaxEntries = 4000;
constexpr int kOpenWidth = 76;

struct OpenForm {
  std::string folder;   // the folder being shown
  std::string name;     // the "File name" field
  std::string pattern;  // a pattern typed in the field, else the filter's
  int filter;
  std::vector<std::string> entries;  // folders end in "/"
  int selected;                      // -1: none
  int scroll;
  std::string note;
};

void list_folder(OpenForm* form) {
  form->entries.clear();
  form->selected = -1;
  form->scroll = 0;
  const std::string pattern = form->pattern.empty() ? kFilterPatterns[form->filter] : form->pattern;
  DIR* dir = opendir(form->folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> folders, files;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == ".") continue;
    if (static_cast<int>(folders.size() + files.size()) >= kMaxEntries) break;
    struct stat st;
    const std::string full = form->folder + "/" + name;
    if (stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      folders.push_back(name + "/");
    } else if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD | FNM_PERIOD) == 0) {
      files.push_back(name);
    }
  }
  closedir(dir);
  std::sort(folders.begin(), folders.end());
  std::sort(files.begin(), files.end());
  form->entries = folders;
  form->entries.insert(form->entries.end(), files.begin(), files.end());
}

int open_list_rows() { return std::max(3, std::min(LINES - 12, 14)); }

void draw_open(void* context) {
  const OpenForm& form = *static_cast<OpenForm*>(context);
  const int rows = open_list_rows();
  const int height = rows + 9;
  const int width = std::min(COLS, kOpenWidth);
  const int top = std::max(0, (LINES - height) / 2);
  const int left = std::max(0, (COLS - width) / 2);
  const int inner = width - 4;
  screen_frame(top, left, height, width, "Open File");
  std::string folder = "Folder: " + form.folder;
  if (static_cast<int>(folder.size()) > inner)
    folder = "Folder: ..." + form.folder.substr(form.folder.size() - (inner - 11));
  screen_text(top + 1, left + 2, folder.c_str(), inner, screen_attr_normal());
  // The field shows the end of a long name.
  const int field = inner - 11;
  std::string shown = form.name;
  if (static_cast<int>(shown.size()) >= field) shown = shown.substr(shown.size() - (field - 1));
  screen_text(top + 2, left + 2, "File name:", 10, screen_attr_normal());
  char padded[256];
  std::snprintf(padded, sizeof padded, "%-*s", field, shown.c_str());
  screen_text(top + 2, left + 13, padded, field, screen_attr_focus());
  char type[96];
  std::snprintf(type, sizeof type, "Files of type: < %s >", kFilterNames[form.filter]);
  screen_text(top + 3, left + 2, type, inner, screen_attr_normal());
  for (int r = 0; r < rows; ++r) {
    const int index = form.scroll + r;
    if (index >= static_cast<int>(form.entries.size())) break;
    screen_text(top + 5 + r, left + 4, form.entries[static_cast<std::size_t>(index)].c_str(), inner - 2,
                index == form.selected ? screen_attr_focus() : screen_attr_normal());
  }
  if (form.entries.empty())
    screen_text(top + 5, left + 4, "(no matching files)", inner - 2, screen_attr_disabled());
  screen_text(top + height - 3, left + 2, form.note.c_str(), inner, screen_attr_normal() | A_BOLD);
  screen_text(top + height - 2, left + 2, "Up/Down pick, Tab file type, Enter open, Esc cancel", inner,
              screen_attr_disabled());
  screen_cursor(1, top + 2, left + 13 + std::min(static_cast<int>(shown.size()), field - 1));
}

std::string absolute_folder(const std::string& folder) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) != nullptr) return resolved;
  return folder;
}

bool is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void keep_selection_visible(OpenForm* form) {
  const int rows = open_list_rows();
  if (form->selected < form->scroll) form->scroll = form->selected;
  if (form->selected >= form->scroll + rows) form->scroll = form->selected - rows + 1;
  if (form->scroll < 0) form->scroll = 0;
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

void form_config_dialog() {
  ConfigForm form;
  form.values = config_values_from_settings();
  config_dialog_open(&form.state, &form.values, midi_driver());
  devtype = form.values.devtype;  // MIDI without devices has become the serial link already
  form.focus = index_of(IDC_CFG_OK);
  Overlay overlay(draw_config, &form);
  for (;;) {
    const int key = loop_wait_key();
    const Control& c = kControls[form.focus];
    int command = 0;
    if (key == '\t' || key == KEY_DOWN || ((key == KEY_RIGHT) && c.kind != kList)) {
      move_focus(&form, 1);
    } else if (key == KEY_BTAB || key == KEY_UP || ((key == KEY_LEFT) && c.kind != kList)) {
      move_focus(&form, -1);
    } else if (c.kind == kList && (key == KEY_RIGHT || key == ' ' || key == KEY_NPAGE)) {
      change_list(&form, c.id, 1);
    } else if (c.kind == kList && (key == KEY_LEFT || key == KEY_PPAGE)) {
      change_list(&form, c.id, -1);
    } else if (key == ' ') {
      command = c.id;
    } else if (is_enter(key)) {
      command = c.id == IDC_CFG_CANCEL ? IDC_CFG_CANCEL : IDC_CFG_OK;  // OK is the default button
    } else if (is_cancel(key)) {
      command = IDC_CFG_CANCEL;
    }
    if (command != 0) {
      const int result = config_dialog_command(&form.state, &form.values, command);
      if (result == kConfigOk) {
        config_values_to_settings(form.values);
        return;
      }
      if (result == kConfigCancel) return;
    }
    if (!focusable(form, form.focus)) move_focus(&form, 1);
    loop_invalidate();
  }
}

int form_open_file(char* out, int size) {
  OpenForm form;
  char cwd[PATH_MAX];
  form.folder = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
  form.filter = 0;  // the first pair is preselected
  list_folder(&form);
  Overlay overlay(draw_open, &form);
  int result = 0;
  for (;;) {
    const int key = loop_wait_key();
    form.note.clear();
    if (is_cancel(key)) break;
    if (key == '\t' || key == KEY_BTAB) {
      form.filter = (form.filter + (key == '\t' ? 1 : 3)) % 4;
      form.pattern.clear();
      list_folder(&form);
    } else if (key == KEY_DOWN || key == KEY_UP || key == KEY_NPAGE || key == KEY_PPAGE) {
      const int count = static_cast<int>(form.entries.size());
      if (count > 0) {
        const int step = key == KEY_DOWN    ? 1
                         : key == KEY_UP    ? -1
                         : key == KEY_NPAGE ? open_list_rows()
                                            : -open_list_rows();
        form.selected = std::max(0, std::min(count - 1, form.selected + step));
        keep_selection_visible(&form);
        form.name = form.entries[static_cast<std::size_t>(form.selected)];
      }
    } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
      if (!form.name.empty()) {
        // Remove a whole UTF-8 character.
        std::size_t n = form.name.size() - 1;
        while (n > 0 && (static_cast<unsigned char>(form.name[n]) & 0xC0) == 0x80) --n;
        form.name.erase(n);
      }
    } else if (key == 21) {  // Ctrl-U
      form.name.clear();
    } else if (is_enter(key)) {
      if (form.name.empty()) continue;
      std::string target = form.name[0] == '/' ? form.name : form.folder + "/" + form.name;
      if (form.name.find_first_of("*?") != std::string::npos && form.name.find('/') == std::string::npos) {
        form.pattern = form.name;  // a pattern lists what matches it
        form.name.clear();
        list_folder(&form);
        loop_invalidate();
        continue;
      }
      if (is_folder(target)) {
        form.folder = absolute_folder(target);
        form.name.clear();
        list_folder(&form);
        loop_invalidate();
        continue;
      }
      // The name need not exist; its folder is made absolute.
      const std::size_t slash = target.rfind('/');
      const std::string folder = absolute_folder(slash == 0 ? "/" : target.substr(0, slash));
      const std::string leaf = target.substr(slash + 1);
      std::string full = folder == "/" ? "/" + leaf : folder + "/" + leaf;
      if (leaf.empty() || static_cast<int>(full.size()) >= size) {
        form.note = leaf.empty() ? "Type a file name." : "The path is too long.";
        loop_invalidate();
        continue;
      }
      std::memcpy(out, full.c_str(), full.size() + 1);
      // The chosen file's folder becomes the current directory.
      if (chdir(folder.c_str()) != 0) {
        // The transfer reports a file it cannot open; nothing more to do here.
      }
      result = 1;
      break;
    } else if (key >= 0x20 && key <= 0xFF && key != 0x7F) {
      if (form.name.size() < 255) form.name += static_cast<char>(key);
    }
    loop_invalidate();
  }
  screen_cursor(0, 0, 0);
  return result;
}
