// "Open File": a path typed or picked from the files of a folder that match
// one of the four filters.
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

#include "ui/term/term_forms.h"
#include "ui/term/form_parts.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"

namespace {

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

// Up, Down, Page Up and Page Down: the entry picked is the file name.
void move_selection(OpenForm* form, int key) {
  const int count = static_cast<int>(form->entries.size());
  if (count == 0) return;
  const int step = key == KEY_DOWN    ? 1
                   : key == KEY_UP    ? -1
                   : key == KEY_NPAGE ? open_list_rows()
                                      : -open_list_rows();
  form->selected = std::max(0, std::min(count - 1, form->selected + step));
  keep_selection_visible(form);
  form->name = form->entries[static_cast<std::size_t>(form->selected)];
  form->name_overflow = false;
}

// The form stays open with a note.
void stay_with_note(OpenForm* form, const std::string& note) {
  form->note = note;
  loop_invalidate();
}

// `target` names a file (which need not exist): its full path into `out`, and
// its folder made the current one. False, with a note, when there is no name
// or the full path does not fit in `size`.
bool choose_file(OpenForm* form, const std::string& target, char* out, int size) {
  // The name need not exist; its folder is made absolute.
  const std::size_t slash = target.rfind('/');
  const std::string folder = absolute_folder(slash == 0 ? "/" : target.substr(0, slash));
  const std::string leaf = target.substr(slash + 1);
  std::string full = folder == "/" ? "/" + leaf : folder + "/" + leaf;
  if (leaf.empty()) {
    stay_with_note(form, "Type a file name.");
    return false;
  }
  // A path that does not fit is refused whole: a shortened one could name another file.
  if (static_cast<int>(full.size()) >= size) {
    stay_with_note(form, "Not sent: the full path has " + std::to_string(full.size()) + " characters; " +
                             std::to_string(size - 1) + " at most can be sent.");
    return false;
  }
  std::memcpy(out, full.c_str(), full.size() + 1);
  // The chosen file's folder becomes the current directory.
  if (chdir(folder.c_str()) != 0) {
    // The transfer reports a file it cannot open; nothing more to do here.
  }
  return true;
}

// Enter: a pattern lists what matches it, a folder is opened, a file is chosen
// (true, its full path in `out`).
bool enter_name(OpenForm* form, char* out, int size) {
  if (form->name.empty()) return false;
  if (form->name_overflow) {
    stay_with_note(form, kNameOverflowNote);  // what was typed is no longer whole
    return false;
  }
  std::string target = form->name[0] == '/' ? form->name : form->folder + "/" + form->name;
  const bool pattern = form->name.find_first_of("*?") != std::string::npos && form->name.find('/') == std::string::npos;
  if (pattern || is_folder(target)) {
    if (pattern) {
      form->pattern = form->name;
    } else {
      form->folder = absolute_folder(target);
    }
    form->name.clear();
    list_folder(form);
    loop_invalidate();
    return false;
  }
  return choose_file(form, target, out, size);
}

}  // namespace

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
    if (is_enter(key)) {
      if (enter_name(&form, out, size)) {
        result = 1;
        break;
      }
      continue;  // enter_name has redrawn what changed
    }
    if (key == '\t' || key == KEY_BTAB) {
      form.filter = (form.filter + (key == '\t' ? 1 : 3)) % 4;
      form.pattern.clear();
      list_folder(&form);
    } else if (key == KEY_DOWN || key == KEY_UP || key == KEY_NPAGE || key == KEY_PPAGE) {
      move_selection(&form, key);
    } else if (edit_text_field(&form.name, key, PATH_MAX - 1) == kFieldFull) {
      form.name_overflow = true;
    }
    if (form.name.empty()) form.name_overflow = false;
    if (form.name_overflow) form.note = kNameOverflowNote;
    loop_invalidate();
  }
  screen_cursor(0, 0, 0);
  return result;
}
