// The serial device survey (--list, --find) on a private device folder made
// from the input: ttyUSB/ttyACM/ttyS names of every form (files, folders,
// links to files, links to folders, broken links, FIFOs), other names, and up
// to 100 links in serial/by-id (the survey once dropped those past 64). The
// rules: every candidate (a device name with a number of one to six digits
// whose entry, links followed, is not a folder) is listed exactly once, ttyUSB
// before ttyACM before ttyS and each kind by number; then every entry of
// serial/by-id whose name does not begin with "." exactly once, by name, with
// the device it leads to or "(broken link)".
//
// The input: the number of device entries, the number of by-id entries, a
// byte of flags (bit 0: no serial/by-id folder), then three bytes per device
// entry (kind and form, a 16-bit number) and two per by-id entry (what it
// leads to, the first byte of its name).
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_rule.h"
#include "link/serial_devices.h"

namespace {

std::string g_dev;        // the private device folder, as the survey is given it
std::string g_real_dev;   // the same, with no link in it

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void remove_folder() {
  if (!g_dev.empty()) ::nftw(g_dev.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void make_folder() {
  if (g_dev.empty()) {
    // In memory where it can be (every input makes and removes a hundred entries).
    const char* tmp = std::getenv("TMPDIR");
    const char* base = tmp != nullptr && tmp[0] == '/' ? tmp : ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/xr-fuzz-serial-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) fuzz_rule_broken("the private device folder can be made", pattern);
    g_dev = pattern;
    char real[PATH_MAX];
    if (::realpath(g_dev.c_str(), real) == nullptr) fuzz_rule_broken("the private device folder resolves", g_dev);
    g_real_dev = real;
    std::atexit(remove_folder);
    fuzz_rule_cleanup = remove_folder;
  } else {
    remove_folder();
    ::mkdir(g_dev.c_str(), 0700);
  }
}

// How a device entry is made.
enum Form { kFile, kFolder, kLinkToFile, kLinkToFolder, kBrokenLink, kFifo, kFormCount };

constexpr const char* kKinds[] = {"ttyUSB", "ttyACM", "ttyS"};

struct Device {
  std::string name;
  Form form;
  int kind = -1;      // 0..2 for a candidate's name, -1 for any other
  long number = 0;
  std::string leads_to;  // where the entry leads, links followed; "" for a broken link
};

// The device entry's name: a candidate's, or one that only looks like it.
Device device_from(const uint8_t* b) {
  Device d;
  d.form = static_cast<Form>((b[0] >> 3) % kFormCount);
  const unsigned number = b[1] | (b[2] << 8);
  const int kind = b[0] & 7;
  const std::string digits = std::string((b[0] & 0x40) != 0 ? "0" : "") + std::to_string(number);
  switch (kind) {
    case 0:
    case 1:
    case 2:
    case 3:
      d.kind = kind % 3;
      d.name = kKinds[d.kind] + digits;
      d.number = std::stol(digits);
      if (d.name.size() - std::strlen(kKinds[d.kind]) > 6) d.kind = -1;  // too many digits
      break;
    case 4: d.name = "ttyS" + digits + "0000000"; break;  // more than six digits
    case 5: d.name = std::string(kKinds[number % 3]) + digits + "x"; break;
    case 6: d.name = kKinds[number % 3]; break;  // no number
    default: d.name = "tty" + digits; break;
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  make_folder();
  const size_t device_count = data[0] % 33;
  const size_t link_count = data[1] % 101;
  const bool no_by_id = (data[2] & 1) != 0;
  size_t k = 3;

  // The device entries, and what each leads to.
  std::vector<Device> devices;
  std::set<std::string> names;
  const std::string real_folder = g_real_dev + "/real-folder";
  ::mkdir((g_dev + "/real-folder").c_str(), 0700);
  for (size_t i = 0; i < device_count && k + 3 <= size; ++i, k += 3) {
    Device d = device_from(data + k);
    if (!names.insert(d.name).second) continue;
    const std::string path = g_dev + "/" + d.name;
    const std::string file = "real-" + std::to_string(i);
    bool made = false;
    switch (d.form) {
      case kFile: made = ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600)) == 0; d.leads_to = g_real_dev + "/" + d.name; break;
      case kFolder: made = ::mkdir(path.c_str(), 0700) == 0; d.leads_to = g_real_dev + "/" + d.name; break;
      case kLinkToFile:
        made = ::close(::open((g_dev + "/" + file).c_str(), O_CREAT | O_WRONLY, 0600)) == 0 &&
               ::symlink(file.c_str(), path.c_str()) == 0;
        d.leads_to = g_real_dev + "/" + file;
        break;
      case kLinkToFolder: made = ::symlink("real-folder", path.c_str()) == 0; d.leads_to = real_folder; break;
      case kBrokenLink: made = ::symlink("missing", path.c_str()) == 0; break;
      default: made = ::mkfifo(path.c_str(), 0600) == 0; d.leads_to = g_real_dev + "/" + d.name; break;
    }
    if (!made) fuzz_rule_broken("the device entry can be made", path);
    devices.push_back(d);
  }

  // The by-id entries: links to the device entries (as udev makes them, or by
  // their full path), broken links, a plain file, a hidden one.
  std::map<std::string, std::string> listed_links;  // name -> what the survey should say it leads to
  const std::string by_id = g_dev + "/serial/by-id";
  if (!no_by_id) {
    ::mkdir((g_dev + "/serial").c_str(), 0700);
    ::mkdir(by_id.c_str(), 0700);
  }
  for (size_t i = 0; i < link_count && !no_by_id; ++i) {
    const uint8_t what = k < size ? data[k++] : static_cast<uint8_t>(i);
    const uint8_t first = k < size ? data[k++] : static_cast<uint8_t>('u');
    // Names sort in their first byte's order; "/" cannot be in one.
    const std::string name = std::string(1, static_cast<char>(first == '/' || first == 0 ? '_' : first)) +
                             "-port" + std::to_string(i);
    const std::string path = by_id + "/" + name;
    std::string leads_to;
    bool made = false;
    if (what % 8 == 7 || devices.empty()) {
      made = ::symlink("../../missing", path.c_str()) == 0;
      leads_to = "(broken link)";
    } else if (what % 8 == 6) {
      made = ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600)) == 0;
      leads_to = g_real_dev + "/serial/by-id/" + name;
    } else {
      const Device& d = devices[(what / 8) % devices.size()];
      const std::string target = (what & 1) != 0 ? g_dev + "/" + d.name : "../../" + d.name;
      made = ::symlink(target.c_str(), path.c_str()) == 0;
      leads_to = d.leads_to.empty() ? "(broken link)" : d.leads_to;
    }
    if (!made) fuzz_rule_broken("the by-id entry can be made", path);
    if (name[0] != '.') listed_links[name] = leads_to;
  }

  // What the survey must list: the candidates, then the links.
  std::multiset<std::string> candidates;
  for (const Device& d : devices) {
    if (d.kind >= 0 && d.form != kFolder && d.form != kLinkToFolder && d.form != kBrokenLink)
      candidates.insert(g_dev + "/" + d.name);
  }

  const std::vector<SerialPresent> found = serial_devices_present(g_dev.c_str());
  size_t at = 0;
  std::multiset<std::string> seen;
  int last_kind = -1;
  long last_number = -1;
  for (; at < found.size() && found[at].target.empty(); ++at) {
    const std::string& path = found[at].path;
    if (candidates.count(path) == 0 || seen.count(path) != 0)
      fuzz_rule_broken("only candidates are listed before the links, each once", fuzz_shown(path));
    seen.insert(path);
    const std::string name = path.substr(g_dev.size() + 1);
    int kind = 0;
    while (name.compare(0, std::strlen(kKinds[kind]), kKinds[kind]) != 0 ||
           name.find_first_not_of("0123456789", std::strlen(kKinds[kind])) != std::string::npos)
      ++kind;
    const long number = std::stol(name.substr(std::strlen(kKinds[kind])));
    if (kind < last_kind || (kind == last_kind && number < last_number))
      fuzz_rule_broken("candidates come ttyUSB, ttyACM, ttyS, each kind by number", fuzz_shown(path));
    last_kind = kind;
    last_number = number;
  }
  if (seen != candidates)
    fuzz_rule_broken("every candidate is listed", std::to_string(seen.size()) + " of " +
                                                      std::to_string(candidates.size()));
  auto expected = listed_links.begin();
  for (; at < found.size(); ++at, ++expected) {
    if (expected == listed_links.end())
      fuzz_rule_broken("nothing but the candidates and the by-id entries is listed", fuzz_shown(found[at].path));
    if (found[at].path != by_id + "/" + expected->first)
      fuzz_rule_broken("every by-id entry is listed once, by name",
                       fuzz_shown(found[at].path) + " where " + fuzz_shown(expected->first) + " was due");
    if (found[at].target != expected->second)
      fuzz_rule_broken("a by-id entry names the device it leads to",
                       fuzz_shown(found[at].target) + " for " + fuzz_shown(expected->second));
  }
  if (expected != listed_links.end())
    fuzz_rule_broken("every by-id entry is listed (none dropped)",
                     std::to_string(found.size() - seen.size()) + " of " + std::to_string(listed_links.size()));
  return 0;
}
