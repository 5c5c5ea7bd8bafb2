// A private-profile file read and written the way Windows does it: "[section]"
// lines, then "key=value" lines; names compared without regard to letter case;
// blanks around names and values dropped; a value in matching quotes loses
// them; integers read as the platform reads them. Any other line (comments, blank lines, text that is neither) is kept
// byte for byte, and so are other sections. Saving rewrites the whole file into
// a temporary file beside it and renames that over the old one, so the file is
// always either the old or the new one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/profile.h"

namespace {

// A settings file larger than this is not read (its values are the defaults)
// and not rewritten (it stays as it is).
constexpr size_t kMaxProfileSize = size_t{16} << 20;

enum class ReadResult { kRead, kMissing, kUnusable };

ReadResult read_whole(const char* file, std::string* content) {
  content->clear();
  if (file == nullptr || file[0] == '\0') return ReadResult::kMissing;
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kUnusable;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxProfileSize) {
    ::close(fd);
    return ReadResult::kUnusable;
  }
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return ReadResult::kUnusable;
    }
    if (n == 0) break;
    content->append(chunk, static_cast<size_t>(n));
    if (content->size() > kMaxProfileSize) {  // grew while being read
      ::close(fd);
      content->clear();
      return ReadResult::kUnusable;
    }
  }
  ::close(fd);
  return ReadResult::kRead;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const char* a, size_t a_length, const char* b) {
  const size_t b_length = std::strlen(b);
  if (a_length != b_length) return false;
  for (size_t i = 0; i < a_length; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

enum class LineKind { kOther, kSection, kKey };

// One line of the file: [begin, content_end) is its text, [content_end, end)
// its line break (CR LF, LF or nothing at the end of the file).
struct Line {
  size_t begin, content_end, end;
  LineKind kind;
  size_t name_begin, name_end;    // section or key name, blanks dropped
  size_t value_begin, value_end;  // key value, blanks dropped
};

Line parse_line(const std::string& text, size_t begin, size_t content_end, size_t end) {
  Line line{begin, content_end, end, LineKind::kOther, 0, 0, 0, 0};
  size_t first = begin, last = content_end;
  // A UTF-8 byte order mark, as Windows editors write it, opens the file.
  if (begin == 0 && last >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) first = 3;
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  if (first == last || text[first] == ';') return line;
  if (text[first] == '[') {
    size_t close = last;
    while (close > first + 1 && text[close - 1] != ']') --close;
    if (close <= first + 1) return line;  // no closing bracket
    size_t name_begin = first + 1, name_end = close - 1;
    while (name_begin < name_end && is_blank(text[name_begin])) ++name_begin;
    while (name_end > name_begin && is_blank(text[name_end - 1])) --name_end;
    line.kind = LineKind::kSection;
    line.name_begin = name_begin;
    line.name_end = name_end;
    return line;
  }
  size_t equals = first;
  while (equals < last && text[equals] != '=') ++equals;
  if (equals == last) return line;
  size_t name_end = equals;
  while (name_end > first && is_blank(text[name_end - 1])) --name_end;
  if (name_end == first) return line;  // no name
  size_t value_begin = equals + 1;
  while (value_begin < last && is_blank(text[value_begin])) ++value_begin;
  line.kind = LineKind::kKey;
  line.name_begin = first;
  line.name_end = name_end;
  line.value_begin = value_begin;
  line.value_end = last;
  return line;
}

std::vector<Line> split_lines(const std::string& text) {
  std::vector<Line> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t newline = text.find('\n', begin);
    size_t content_end, end;
    if (newline == std::string::npos) {
      content_end = end = text.size();
    } else {
      end = newline + 1;
      content_end = (newline > begin && text[newline - 1] == '\r') ? newline - 1 : newline;
    }
    lines.push_back(parse_line(text, begin, content_end, end));
    begin = end;
  }
  return lines;
}

// Where a key is, and where the section that should hold it ends.
struct Place {
  int key = -1;           // line of the key, or -1
  int section = -1;       // header of the first section of that name, or -1
  int section_last = -1;  // last non-blank line of that section (the header when empty)
};

Place find_place(const std::string& text, const std::vector<Line>& lines, const char* section,
                 const char* key) {
  Place place;
  bool inside = false;
  bool inside_first = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::kSection) {
      inside = same_name(text.data() + line.name_begin, line.name_end - line.name_begin, section);
      inside_first = inside && place.section < 0;
      if (inside_first) {
        place.section = static_cast<int>(i);
        place.section_last = static_cast<int>(i);
      }
      continue;
    }
    if (!inside) continue;
    if (inside_first) {
      size_t p = line.begin;
      while (p < line.content_end && is_blank(text[p])) ++p;
      if (p < line.content_end) place.section_last = static_cast<int>(i);
    }
    if (line.kind == LineKind::kKey && place.key < 0 &&
        same_name(text.data() + line.name_begin, line.name_end - line.name_begin, key)) {
      place.key = static_cast<int>(i);
    }
  }
  return place;
}

// The key's value as Windows gives it; false when the file, section or key is missing.
bool lookup(const char* section, const char* key, const char* file, std::string* value) {
  value->clear();
  if (section == nullptr || key == nullptr) return false;
  std::string text;
  if (read_whole(file, &text) != ReadResult::kRead) return false;
  const std::vector<Line> lines = split_lines(text);
  const Place place = find_place(text, lines, section, key);
  if (place.key < 0) return false;
  const Line& line = lines[static_cast<size_t>(place.key)];
  size_t begin = line.value_begin, end = line.value_end;
  if (end - begin >= 2 && (text[begin] == '"' || text[begin] == '\'') && text[end - 1] == text[begin]) {
    ++begin;
    --end;
  }
  value->assign(text, begin, end - begin);
  return true;
}

// The integer at the start of text, read as Windows reads it: blanks, an
// optional sign, an optional base prefix ("0x" hex, "0o" octal, "0b" binary, in
// lower case only), then digits of that base up to the first other character;
// no digits give 0. The result wraps at 32 bits.
int parse_profile_int(const char* text) {
  const char* p = text;
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
    base = p[1] == 'x' ? 16 : (p[1] == 'o' ? 8 : 2);
    p += 2;
  }
  uint32_t total = 0;
  for (;; ++p) {
    uint32_t digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<uint32_t>(*p - '0');
    } else if (*p >= 'a' && *p <= 'z') {
      digit = static_cast<uint32_t>(*p - 'a' + 10);
    } else if (*p >= 'A' && *p <= 'Z') {
      digit = static_cast<uint32_t>(*p - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;
  }
  if (negative) total = 0u - total;
  // Two's complement reading of the 32-bit result, without relying on a narrowing cast.
  return total <= static_cast<uint32_t>(INT_MAX) ? static_cast<int>(total)
                                                 : -static_cast<int>(~total) - 1;
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// The line break the file already uses (its first one); CR LF for a new file.
const char* line_break_of(const std::string& text) {
  const size_t newline = text.find('\n');
  if (newline == std::string::npos) return "\r\n";
  return (newline > 0 && text[newline - 1] == '\r') ? "\r\n" : "\n";
}

// The path to replace: the file a symbolic link points at, else the name itself.
std::string target_of(const char* file) {
  struct stat st;
  if (::lstat(file, &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(file, nullptr);
    if (resolved != nullptr) {
      std::string target(resolved);
      std::free(resolved);
      return target;
    }
  }
  return file;
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes text to a temporary file beside `file` and renames it over `file`.
bool replace_file(const char* file, const std::string& text) {
  const std::string target = target_of(file);
  std::string temp = target + ".XXXXXX";
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) return false;
  struct stat st;
  const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = write_all(fd, text);
  ok = ::fchmod(fd, mode) == 0 && ok;
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

}  // namespace

int profile_get_int(const char* section, const char* key, int default_value, const char* file) {
  std::string value;
  if (!lookup(section, key, file, &value) || value.empty()) return default_value;
  return parse_profile_int(value.c_str());
}

int profile_get_string(const char* section, const char* key, char* out, int size, const char* file) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = '\0';
  std::string value;
  if (!lookup(section, key, file, &value)) return 0;
  // Cut at a zero byte of a damaged file, and to the buffer.
  size_t length = std::strlen(value.c_str());
  if (length > static_cast<size_t>(size) - 1) length = static_cast<size_t>(size) - 1;
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
  return static_cast<int>(length);
}

int profile_write_string(const char* section, const char* key, const char* value, const char* file) {
  if (section == nullptr || key == nullptr || value == nullptr || file == nullptr || file[0] == '\0')
    return 0;
  // A line break would split the entry into lines of its own.
  if (has_line_break(section) || has_line_break(key) || has_line_break(value)) return 0;
  std::string text;
  if (read_whole(file, &text) == ReadResult::kUnusable) return 0;
  const std::vector<Line> lines = split_lines(text);
  const Place place = find_place(text, lines, section, key);
  const std::string eol = line_break_of(text);

  std::string updated;
  if (place.key >= 0) {
    // Same line, same key spelling, new value; the line break stays.
    const Line& line = lines[static_cast<size_t>(place.key)];
    updated.reserve(text.size() + std::strlen(value));
    updated.append(text, 0, line.name_end);
    updated.append("=").append(value);
    updated.append(text, line.content_end, std::string::npos);
  } else if (place.section >= 0) {
    // At the end of the section, after its last line that is not blank.
    const Line& line = lines[static_cast<size_t>(place.section_last)];
    std::string entry;
    if (line.end == line.content_end) entry += eol;  // that line ended the file without a break
    entry.append(key).append("=").append(value).append(eol);
    updated = text;
    updated.insert(line.end, entry);
  } else {
    updated = text;
    if (!updated.empty() && updated.back() != '\n') updated += eol;
    updated.append("[").append(section).append("]").append(eol);
    updated.append(key).append("=").append(value).append(eol);
  }
  return replace_file(file, updated) ? 1 : 0;
}
