// "Config": the link, the serial port and the device behind it, the MIDI
// devices and transfer rate, and the version check.
#include <curses.h>
#include <limits.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/midi_driver.h"
#include "link/serial_devices.h"
#include "support/settings.h"
#include "ui/config_dialog_logic.h"
#include "ui/term/term_forms.h"
#include "ui/term/form_parts.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"

namespace {

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
  form->device_opens[n - 1] = serial_device_probe(path.c_str(), why, sizeof why) ? 1 : 0;
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
  // Typing is not cut at the stored size: the whole text is judged when the
  // field is left, and a path that does not fit is refused there. Past the
  // longest path the system takes it is already refused, so keys are dropped.
  const FieldEdit edit = edit_text_field(&form->field, key, PATH_MAX);
  if (edit == kFieldNotTaken) return false;
  if (edit == kFieldEdited) form->field_edited = true;
  return true;
}

}  // namespace

int form_config_dialog() {
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
        return 1;
      }
      if (result == kConfigCancel) {
        screen_cursor(0, 0, 0);
        return 0;
      }
      // Choosing a port shows its device in the field.
      if (command >= IDC_COM1 && command <= IDC_COM4) show_device_port(&form, form.state.l_port);
    }
    if (!focusable(form, form.focus)) move_focus(&form, 1);
    loop_invalidate();
  }
}
