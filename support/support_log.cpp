#include "support/support_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "support/program_info.h"

// Commits the stream's flushed data to disk (fsync, or _commit on Windows).
void log_commit(FILE* stream);
// Opens the log file for appending in binary mode; null when it cannot be.
FILE* log_open_stream(const char* name);

namespace {

FILE* fpLog = nullptr;
char ver[256];
std::mutex log_mutex;  // one entry is written whole, whichever thread writes it

constexpr const char kStars[] = "\n****************\n";

std::string g_tag;  // "[DEVICE] " before every entry of one of several runs, else ""
std::string g_banner;  // written with the first entry (or at the close)

// Text with every "\n" as CR LF, the same bytes on every platform.
void add_text(std::string* out, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      out->append("\r\n");
    } else {
      out->push_back(text[i]);
    }
  }
}

// One write of the whole text: several runs may append to one log, and each
// entry must land whole, never mixed with another's.
void put_whole(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), fpLog);
  std::fflush(fpLog);
}

void put_entry(const char* text, size_t length) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (fpLog == nullptr) return;
  std::string entry;
  entry.swap(g_banner);
  entry.reserve(entry.size() + g_tag.size() + length + 8);
  add_text(&entry, g_tag.data(), g_tag.size());
  add_text(&entry, text, length);
  add_text(&entry, "\n\n", 2);
  put_whole(entry);
  log_commit(fpLog);
}

}  // namespace

int open_log() {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (fpLog != nullptr) return 1;
  // Binary append: the line ends are written as CR LF by add_text itself.
  fpLog = log_open_stream(kLogFileName);
  if (fpLog == nullptr) return 0;
  char banner[512];
  std::snprintf(banner, sizeof banner, "** %s v%s started on %s", kProgramTitle, kProgramVersion,
                get_win_ver());
  g_banner.clear();
  add_text(&g_banner, kStars, sizeof kStars - 1);
  add_text(&g_banner, banner, std::strlen(banner));
  add_text(&g_banner, kStars, sizeof kStars - 1);
  return 1;
}

void write_log(const char* format, ...) {
  if (fpLog == nullptr) return;
  char text[2048];  // entries are short; a longer one goes to the heap
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof text) {
    put_entry(text, static_cast<size_t>(length));
  } else {
    std::string big(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), format, again);
    put_entry(big.data(), static_cast<size_t>(length));
  }
  va_end(again);
}

void write_log_text(const char* text) {
  if (fpLog == nullptr) return;
  put_entry(text, std::strlen(text));
}

void set_log_tag(const char* device) {
  std::lock_guard<std::mutex> lock(log_mutex);
  g_tag = device != nullptr && device[0] != '\0' ? std::string("[") + device + "] " : std::string();
}

void close_log() {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (fpLog == nullptr) return;
  if (!g_banner.empty()) put_whole(g_banner);
  g_banner.clear();
  std::fflush(fpLog);
  log_commit(fpLog);
  std::fclose(fpLog);
  fpLog = nullptr;
}

void classify_win_ver(int ok, unsigned platform_id, unsigned major, unsigned minor,
                      const char* csd_version, char* out, int size) {
  const char* format = nullptr;
  if (ok) {
    if (platform_id == 1) {
      if (major == 4) {
        format = minor <= 9 ? "Microsoft Windows 95 (%s)"
                 : minor == 10 ? "Microsoft Windows 98 (%s)"
                               : "Microsoft Windows ME (%s)";
      } else {
        format = "Microsoft Windows 9x variant (%s)";
      }
    } else if (platform_id == 2) {
      if (major == 4) {
        format = "Microsoft Windows NT 4.0 (%s)";
      } else if (major == 5) {
        format = minor == 0 ? "Microsoft Windows 2000 (%s)" : "Microsoft Windows XP (%s)";
      } else {
        format = "Microsoft Windows NT variant (%s)";
      }
    }
  }
  if (format == nullptr) {
    std::snprintf(out, static_cast<size_t>(size), "%s", "Unknown Windows Version");
  } else {
    std::snprintf(out, static_cast<size_t>(size), format, csd_version ? csd_version : "");
  }
}

const char* get_win_ver() {
  unsigned platform_id = 0, major = 0, minor = 0;
  char csd[129] = {};
  const int ok = platform_version_info(&platform_id, &major, &minor, csd, sizeof csd);
  classify_win_ver(ok, platform_id, major, minor, csd, ver, sizeof ver);
  return ver;
}
