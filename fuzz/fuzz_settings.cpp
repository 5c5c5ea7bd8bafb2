// The settings reader with a load-save-load round trip: whatever the file
// holds, saving what was loaded as the settings save writes it (numbers in
// decimal, names and paths quoted where the reader would change them) and
// loading again gives every key back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/profile.h"

namespace {

constexpr const char* kSection = "XR3300/R SystemUpdate Utility";
// The keys the settings save writes, as it writes them: numbers in decimal,
// names and paths as text. "Warning" is read and never written.
enum class Kind { kNumber, kText, kNeverWritten };
struct Key {
  const char* name;
  Kind kind;
};
constexpr Key kKeys[] = {{"OutputMidiDevice", Kind::kText}, {"InputMidiDevice", Kind::kText},
                         {"Xpos", Kind::kNumber},           {"Ypos", Kind::kNumber},
                         {"ComPortNum", Kind::kNumber},     {"ComBaudRate", Kind::kNumber},
                         {"DeviceType", Kind::kNumber},     {"SkipVersionCheck", Kind::kNumber},
                         {"TransferRate", Kind::kNumber},   {"CurrentPath", Kind::kText},
                         {"Warning", Kind::kNeverWritten},  {"Com1Device", Kind::kText},
                         {"Com2Device", Kind::kText},       {"Com3Device", Kind::kText},
                         {"Com4Device", Kind::kText}};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];
constexpr int kTextSize = 256;  // as the settings read a name or path

struct Loaded {
  std::string text[kKeyCount];
  int number[kKeyCount];
};

Loaded load(const char* file) {
  Loaded loaded;
  for (int i = 0; i < kKeyCount; ++i) {
    char value[kTextSize];
    profile_get_string(kSection, kKeys[i].name, value, sizeof value, file);
    loaded.text[i] = value;
    loaded.number[i] = profile_get_int(kSection, kKeys[i].name, -12345, file);
  }
  return loaded;
}

std::string g_folder;

void remove_folder() {
  const std::string file = g_folder + "/xrupdate.ini";
  ::unlink(file.c_str());
  ::rmdir(g_folder.c_str());
}

const std::string& scratch_file() {
  static const std::string path = [] {
    // Memory-backed where there is such a folder: every save syncs the file.
    char folder[] = "/dev/shm/fuzz_settings.XXXXXX";
    char fallback[] = "/tmp/fuzz_settings.XXXXXX";
    const char* made = ::mkdtemp(folder);
    if (made == nullptr) made = ::mkdtemp(fallback);
    if (made == nullptr) std::abort();
    g_folder = made;
    std::atexit(remove_folder);
    return g_folder + "/xrupdate.ini";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& file = scratch_file();
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);

  const Loaded first = load(file.c_str());
  // The save: a value that cannot be stored (a line break) is refused by the writer.
  std::vector<ProfileEntry> save;
  for (int i = 0; i < kKeyCount; ++i) {
    char stored[kTextSize + 2];
    if (kKeys[i].kind == Kind::kNeverWritten) continue;
    if (kKeys[i].kind == Kind::kNumber) {
      std::snprintf(stored, sizeof stored, "%d", first.number[i]);
    } else if (!quoted_for_reading(first.text[i].c_str(), stored, sizeof stored)) {
      std::abort();  // a value read always fits quoted
    }
    save.push_back(ProfileEntry{kKeys[i].name, stored});
  }
  profile_write_strings(kSection, save, file.c_str());

  const Loaded second = load(file.c_str());
  for (int i = 0; i < kKeyCount; ++i) {
    const bool text_same = second.text[i] == first.text[i];
    const bool number_same = second.number[i] == first.number[i];
    const bool same = kKeys[i].kind == Kind::kNumber ? number_same
                      : kKeys[i].kind == Kind::kText ? text_same
                                                     : text_same && number_same;
    if (!same) {
      std::fprintf(stderr, "key %s: [%s] %d became [%s] %d\n", kKeys[i].name, first.text[i].c_str(),
                   first.number[i], second.text[i].c_str(), second.number[i]);
      std::abort();
    }
  }
  ::unlink(file.c_str());
  return 0;
}
