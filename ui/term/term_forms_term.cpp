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
#include "ui/term/serial_devices.h"
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

enum ControlKind { kRadio, kCheck, kList, kButton, kLabel, kField };

// The form's own controls beside the dialog's: the port whose device is shown
// in the device field, and the field with the device path behind that port.
constexpr int IDC_DEVICE_LABEL = 120;
constexpr int IDC_DEVICE_PORT = 121;
constexpr int IDC_DEVICE_PATH = 122;

struct Control {
  int id;
  ControlKind kind;
  int row, col;
  const char* text;
  int width;  // lists, labels, fields
};

constexpr int kConfigWidth = 78;
constexpr int kConfigHeight = 19;
constexpr int kComPathWidth = 20;  // the device path shown beside COM1..COM4
constexpr int kNoteRow = 7;

// In the order the focus visits them.
const Control kControls[] = {
    {IDC_USE_SERIAL, kRadio, 2, 3, "Use Serial Port", 0},
    {IDC_PORT_GROUP, kLabel, 3, 7, "Port", 8},
    {IDC_COM1, kRadio, 3, 16, "COM1", 0},
    {IDC_COM2, kRadio, 3, 48, "COM2", 0},
    {IDC_COM3, kRadio, 4, 16, "COM3", 0},
    {IDC_COM4, kRadio, 4, 48, "COM4", 0},
    {IDC_DEVICE_LABEL, kLabel, 5, 7, "Device", 8},
    {IDC_DEVICE_PORT, kList, 5, 16, nullptr, 8},
    {IDC_DEVICE_PATH, kField, 5, 26, nullptr, 50},
    {IDC_BAUD_GROUP, kLabel, 6, 7, "Baudrate", 10},
    {IDC_BAUD_38400, kRadio, 6, 16, "38.4kBps", 0},
    {IDC_BAUD_57600, kRadio, 6, 30, "57.6kBps", 0},
    {IDC_USE_MIDI, kRadio, 8, 3, "Use MIDI", 0},
    {IDC_OUT_PORT_LABEL, kLabel, 9, 7, "Out Port", 20},
    {IDC_MIDI_OUT_LIST, kList, 9, 28, nullptr, 38},
    {IDC_IN_PORT_LABEL, kLabel, 10, 7, "In Port", 20},
    {IDC_MIDI_IN_LIST, kList, 10, 28, nullptr, 38},
    {IDC_XFER_RATE_LABEL, kLabel, 11, 7, "Data Transfer Rate", 20},
    {IDC_XFER_RATE_LIST, kList, 11, 28, nullptr, 15},
    {IDC_SKIP_VERSION, kCheck, 13, 3, "Skip Version Check", 0},
    {IDC_CFG_OK, kButton, 15, 26, "  OK  ", 0},
    {IDC_CFG_CANCEL, kButton, 15, 42, "Cancel", 0},
};
constexpr int kControlCount = static_cast<int>(sizeof kControls / sizeof kControls[0]);

struct ConfigForm {
  ConfigDialogState state;
  ConfigValues values;
  int focus;  // index into kControls
  // The devices behind COM1..COM4 and whether each opens, as OK will store them.
  char device_path[4][kComDevicePathSize];
  unsigned char device_opens[4];
  int device_port;         // 1..4: the port the device field shows
  std::string field;       // the device field's text
  bool field_edited;       // typed into since the field last showed the port's path
  std::vector<std::string> offered;  // serial devices present
  std::string note;        // the last device check, or advice
};

bool control_enabled(const ConfigForm& form, int id) {
  if (id == IDC_USE_MIDI) return form.state.midi_usable != 0;
  // The device controls belong to the serial link, as the port group does.
  if (id == IDC_DEVICE_LABEL || id == IDC_DEVICE_PORT || id == IDC_DEVICE_PATH) id = IDC_PORT_GROUP;
  const int enabled = config_control_enabled(form.state.l_devtype, id, form.device_opens);
  return enabled != 0;  // -1: the link rules leave it enabled
}

bool control_checked(const ConfigForm& form, int id) {
  if (id == IDC_SKIP_VERSION) return form.state.l_skipver != 0;
  return id == config_link_button(&form.state) || id == config_port_button(&form.state) ||
         id == config_rate_button(&form.state);
}

const char* list_entry(const ConfigForm& form, int id) {
  static const char* const kPortNames[4] = {"COM1", "COM2", "COM3", "COM4"};
  if (id == IDC_DEVICE_PORT) return kPortNames[form.device_port - 1];
  if (id == IDC_XFER_RATE_LIST) {
    const int s = form.state.rate_selection;
    return s >= 0 && s <= 3 ? xfer_rate_names[s] : "";
  }
  const ConfigList& list = id == IDC_MIDI_OUT_LIST ? form.state.out_list : form.state.in_list;
  if (list.selection < 0 || list.selection >= list.count) return "";
  return list.names[static_cast<std::size_t>(list.selection)].data();
}

// The end of a path that is too long for `width` cells, after "...", cut at
// the start of a character.
std::string path_tail(const std::string& path, int width) {
  if (static_cast<int>(path.size()) <= width) return path;
  std::size_t from = path.size() - static_cast<std::size_t>(width - 3);
  while (from < path.size() && (static_cast<unsigned char>(path[from]) & 0xC0) == 0x80) ++from;
  return "..." + path.substr(from);
}

void draw_config(void* context) {
  const ConfigForm& form = *static_cast<ConfigForm*>(context);
  const int top = std::max(0, (LINES - kConfigHeight) / 2);
  const int left = std::max(0, (COLS - kConfigWidth) / 2);
  screen_frame(top, left, kConfigHeight, kConfigWidth, "Config");
  screen_text(top + 1, left + 2, "Device Select", 20, screen_attr_normal() | A_BOLD);
  int cursor_col = -1;
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
      case kField: {
        // The field shows the end of a long path.
        const int inner = c.width - 2;
        std::string shown = form.field;
        if (static_cast<int>(shown.size()) >= inner) shown = path_tail(shown, inner - 1);
        std::snprintf(text, sizeof text, "[%-*s]", inner, shown.c_str());
        if (focused) cursor_col = left + c.col + 1 + static_cast<int>(shown.size());
        break;
      }
    }
    screen_text(top + c.row, left + c.col, text, kConfigWidth - c.col - 1, attr);
    if (c.id >= IDC_COM1 && c.id <= IDC_COM4) {
      // Each port shows the device behind it.
      const std::string path = path_tail(form.device_path[c.id - IDC_COM1], kComPathWidth);
      screen_text(top + c.row, left + c.col + 9, path.c_str(), kComPathWidth,
                  enabled ? screen_attr_normal() : screen_attr_disabled());
    }
  }
  screen_text(top + kNoteRow, left + 3, form.note.c_str(), kConfigWidth - 5, screen_attr_normal() | A_BOLD);
  screen_text(top + 16, left + 2, "Tab/arrows move, Space chooses, Left/Right change a list or pick a device;",
              kConfigWidth - 4, screen_attr_disabled());
  screen_text(top + 17, left + 2, "a device path may also be typed. Enter OK, Esc Cancel.", kConfigWidth - 4,
              screen_attr_disabled());
  screen_cursor(cursor_col >= 0 ? 1 : 0, top + 5, cursor_col >= 0 ? cursor_col : 0);
}

bool focusable(const ConfigForm& form, int index) {
  const Control& c = kControls[index];
  return c.kind != kLabel && control_enabled(form, c.id);
}

int index_of(int id) {
  for (int i = 0; i < kControlCount; ++i) {
    if (kControls[i].id == id) return i;
  }
  return 0;
}

// The device field shows the path behind `port`.
void show_device_port(ConfigForm* form, int port_number) {
  form->device_port = port_number;
  form->field = form->device_path[port_number - 1];
  form->field_edited = false;
}

// Makes `path` the device behind the field's port, and tries it.
void choose_device(ConfigForm* form, const std::string& path) {
  const int n = form->device_port;
  char label[8];
  std::snprintf(label, sizeof label, "COM%d", n);
  if (path.empty()) {
    form->note = std::string("A device path is needed; ") + label + " keeps " + form->device_path[n - 1] + ".";
    show_device_port(form, n);
    return;
  }
  if (path.size() >= static_cast<std::size_t>(kComDevicePathSize)) {
    form->note = std::string("The path is too long (255 bytes at most); ") + label + " keeps " +
                 form->device_path[n - 1] + ".";
    show_device_port(form, n);
    return;
  }
  std::snprintf(form->device_path[n - 1], kComDevicePathSize, "%s", path.c_str());
  char why[256];
  form->device_opens[n - 1] = serial_device_probe(n, path.c_str(), why, sizeof why) ? 1 : 0;
  form->note = std::string(label) + ": " + path + (form->device_opens[n - 1] ? " opens." : " " + std::string(why) + ".");
  show_device_port(form, n);
}

// What was typed into the device field counts once the field is left.
void commit_field(ConfigForm* form) {
  if (form->field_edited) choose_device(form, form->field);
}

// Entering the device field names the serial devices present.
void list_offered(ConfigForm* form) {
  if (form->offered.empty()) {
    form->note = "No serial device (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) is present; type a path.";
    return;
  }
  form->note = "Present (Left/Right):";
  for (const std::string& path : form->offered) form->note += " " + path;
  if (form->note.size() > static_cast<std::size_t>(kConfigWidth - 5))
    form->note = form->note.substr(0, kConfigWidth - 8) + "...";
}

void move_focus(ConfigForm* form, int step) {
  if (kControls[form->focus].id == IDC_DEVICE_PATH) commit_field(form);
  int index = form->focus;
  for (int i = 0; i < kControlCount; ++i) {
    index = (index + step + kControlCount) % kControlCount;
    if (focusable(*form, index)) {
      if (kControls[index].id == IDC_DEVICE_PATH && index != form->focus) list_offered(form);
      form->focus = index;
      return;
    }
  }
}

// Left/Right in the device field: the next or previous device present.
void offer_device(ConfigForm* form, int step) {
  if (form->offered.empty()) {
    list_offered(form);
    return;
  }
  const int count = static_cast<int>(form->offered.size());
  const std::string current = form->field;
  int at = -1;
  for (int i = 0; i < count; ++i) {
    if (form->offered[static_cast<std::size_t>(i)] == current) at = i;
  }
  const int next = at < 0 ? (step > 0 ? 0 : count - 1) : (at + step + count) % count;
  choose_device(form, form->offered[static_cast<std::size_t>(next)]);
}

void change_list(ConfigForm* form, int id, int step) {
  if (id == IDC_DEVICE_PORT) {
    show_device_port(form, (form->device_port - 1 + step + 4) % 4 + 1);
    return;
  }
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

// Keys typed into the device field; false for a key the field does not take.
bool edit_field(ConfigForm* form, int key) {
  if (key == KEY_BACKSPACE || key == 127 || key == 8) {
    if (!form->field.empty()) {
      // Remove a whole UTF-8 character.
      std::size_t n = form->field.size() - 1;
      while (n > 0 && (static_cast<unsigned char>(form->field[n]) & 0xC0) == 0x80) --n;
      form->field.erase(n);
    }
  } else if (key == 21) {  // Ctrl-U
    form->field.clear();
  } else if (key >= 0x20 && key <= 0xFF && key != 0x7F) {
    // Typing is not cut at the stored size: the whole text is judged when the
    // field is left, and a path that does not fit is refused there. Past the
    // longest path the system takes it is already refused, so keys are dropped.
    if (form->field.size() >= static_cast<std::size_t>(PATH_MAX)) return true;
    form->field += static_cast<char>(key);
  } else {
    return false;
  }
  form->field_edited = true;
  return true;
}

// ---------------------------------------------------------------- open file

constexpr const char* kFilterNames[4] = {"System File(*.sys)", "Pcm File(*.pcm)", "User File(*.usr)",
                                         "Development File(*.b_*)"};
constexpr const char* kFilterPatterns[4] = {"*.sys", "*.pcm", "*.usr", "*.b_*"};
constexpr int kMaxEntries = 4000;
constexpr const char* kNameOverflowNote =
    "The name is longer than a path can be here; Ctrl-U clears it.";
constexpr int kOpenWidth = 76;

struct OpenForm {
  std::string folder;   // the folder being shown
  std::string name;     // the "File name" field
  bool name_overflow = false;  // typing went past the longest path the system takes
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
  std::memcpy(form.device_path, com_device_path, sizeof form.device_path);
  std::memcpy(form.device_opens, comm_status, sizeof form.device_opens);
  show_device_port(&form, form.state.l_port >= 1 && form.state.l_port <= 4 ? form.state.l_port : 1);
  form.offered = serial_device_candidates("/dev");
  form.focus = index_of(IDC_CFG_OK);
  Overlay overlay(draw_config, &form);
  for (;;) {
    const int key = loop_wait_key();
    const Control& c = kControls[form.focus];
    int command = 0;
    if (c.kind == kField && (key == KEY_RIGHT || key == KEY_NPAGE)) {
      offer_device(&form, 1);
    } else if (c.kind == kField && (key == KEY_LEFT || key == KEY_PPAGE)) {
      offer_device(&form, -1);
    } else if (c.kind == kField && is_enter(key)) {
      move_focus(&form, 1);  // takes what was typed
    } else if (c.kind == kField && edit_field(&form, key)) {
      // typed into the field
    } else if (key == '\t' || key == KEY_DOWN || ((key == KEY_RIGHT) && c.kind != kList)) {
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
        std::memcpy(com_device_path, form.device_path, sizeof form.device_path);
        std::memcpy(comm_status, form.device_opens, sizeof form.device_opens);
        screen_cursor(0, 0, 0);
        return;
      }
      if (result == kConfigCancel) {
        screen_cursor(0, 0, 0);
        return;
      }
      // Choosing a port shows its device in the field.
      if (command >= IDC_COM1 && command <= IDC_COM4) show_device_port(&form, form.state.l_port);
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
        form.name_overflow = false;
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
      form.name_overflow = false;
    } else if (is_enter(key)) {
      if (form.name.empty()) continue;
      if (form.name_overflow) {
        form.note = kNameOverflowNote;  // what was typed is no longer whole
        loop_invalidate();
        continue;
      }
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
      if (leaf.empty()) {
        form.note = "Type a file name.";
        loop_invalidate();
        continue;
      }
      // A path that does not fit is refused whole: a shortened one could name another file.
      if (static_cast<int>(full.size()) >= size) {
        form.note = "Not sent: the full path has " + std::to_string(full.size()) + " characters; " +
                    std::to_string(size - 1) + " at most can be sent.";
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
      if (form.name.size() < static_cast<std::size_t>(PATH_MAX - 1)) {
        form.name += static_cast<char>(key);
      } else {
        form.name_overflow = true;
      }
    }
    if (form.name.empty()) form.name_overflow = false;
    if (form.name_overflow) form.note = kNameOverflowNote;
    loop_invalidate();
  }
  screen_cursor(0, 0, 0);
  return result;
}
