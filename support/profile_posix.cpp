// A private-profile file read and written the way Windows does it: "[section]"
// lines, then "key=value" lines; names compared without regard to letter case;
// blanks around names and values dropped; a value in matching quotes loses
// them; integers read as the platform reads them; a line ends at LF, CR LF or
// a lone CR; only the first section of a name and the first key of a name in
// it count, and a key line without "=" is that key without a value. Any other
// line (comments, blank lines, text that is neither) is kept byte for byte,
// and so are other sections.
//
// Saving writes the whole file into a temporary file beside it, with the old
// file's owner, group and mode (a new file gets the mode the umask leaves),
// and renames it over the old one, so the file is always either the old or the
// new one. A symbolic link is written through to the file it names, also when
// that file does not exist yet, unless another user planted it (a link of
// theirs in a folder others can write): such a file is neither read nor saved.
// Where a rename would change what users rely on
// (a file with other hard links, an owner this process cannot give the new
// file) or the folder cannot take a temporary file, the file is rewritten in
// place instead.
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

#include "support/path_links.h"
#include "support/profile.h"

namespace {

// A settings file larger than this is not read (its values are the defaults)
// and not rewritten (it stays as it is).
constexpr size_t kMaxProfileSize = size_t{16} << 20;

enum class ReadResult { kRead, kMissing, kUnusable };

// *error (when given) is the errno of a file that could not be read.
ReadResult read_whole(const char* file, std::string* content, int* error = nullptr) {
  content->clear();
  if (error != nullptr) *error = 0;
  if (file == nullptr || file[0] == '\0') return ReadResult::kMissing;
  // The links are followed here, so that one another user planted is refused;
  // the end itself must then not be a link.
  std::string end;
  if (!path_link_end(file, &end)) return ReadResult::kUnusable;
  const int fd = ::open(end.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kUnusable;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxProfileSize) {
    if (error != nullptr) *error = EINVAL;  // not a plain file, or larger than any settings file
    ::close(fd);
    return ReadResult::kUnusable;
  }
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error != nullptr) *error = errno;
      ::close(fd);
      return ReadResult::kUnusable;
    }
    if (n == 0) break;
    content->append(chunk, static_cast<size_t>(n));
    if (content->size() > kMaxProfileSize) {  // grew while being read
      if (error != nullptr) *error = EFBIG;
      ::close(fd);
      content->clear();
      return ReadResult::kUnusable;
    }
  }
  ::close(fd);
  return ReadResult::kRead;
}

// Blanks as Windows counts them: space, tab to carriage return, and ^Z.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

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
  bool has_value;                 // a key line with "="
};

Line parse_line(const std::string& text, size_t begin, size_t content_end, size_t end) {
  Line line{begin, content_end, end, LineKind::kOther, 0, 0, 0, 0, false};
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
  if (equals == last) {
    // As Windows reads it: the key named by the whole line, without a value.
    line.kind = LineKind::kKey;
    line.name_begin = first;
    line.name_end = last;
    return line;
  }
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
  line.has_value = true;
  return line;
}

// Calls visit(line) for each line of text in order, until it returns false.
// Nothing is kept per line: the time is linear in the text and the memory
// does not grow with the number of lines.
template <typename Visit>
void for_each_line(const std::string& text, Visit visit) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t brk = text.find_first_of("\r\n", begin);
    size_t content_end, end;
    if (brk == std::string::npos) {
      content_end = end = text.size();
    } else {
      content_end = brk;
      end = (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n') ? brk + 2 : brk + 1;
    }
    if (!visit(parse_line(text, begin, content_end, end))) return;
    begin = end;
  }
}

// Where a key is, and where the section that should hold it ends.
struct Place {
  bool key_found = false;      // `key` is the key's line
  bool section_found = false;  // the section exists; `section_last` is its last non-blank line
  Line key{};
  Line section_last{};         // the header when the section is empty
};

Place find_place(const std::string& text, const char* section, const char* key) {
  // Windows reads and writes only the first section of a name; a later one of
  // the same name is kept as it stands.
  Place place;
  bool inside = false;
  for_each_line(text, [&](const Line& line) {
    if (line.kind == LineKind::kSection) {
      if (place.section_found) return false;  // the first section of the name has ended
      inside = same_name(text.data() + line.name_begin, line.name_end - line.name_begin, section);
      if (inside) {
        place.section_found = true;
        place.section_last = line;
      }
      return true;
    }
    if (!inside) return true;
    size_t p = line.begin;
    while (p < line.content_end && is_blank(text[p])) ++p;
    if (p < line.content_end) place.section_last = line;
    if (line.kind == LineKind::kKey && !place.key_found &&
        same_name(text.data() + line.name_begin, line.name_end - line.name_begin, key)) {
      place.key_found = true;
      place.key = line;
    }
    return true;
  });
  return place;
}

// The key's value as Windows gives it; false when the file, section or key is missing.
bool lookup(const char* section, const char* key, const char* file, std::string* value) {
  value->clear();
  if (section == nullptr || key == nullptr) return false;
  std::string text;
  if (read_whole(file, &text) != ReadResult::kRead) return false;
  const Place place = find_place(text, section, key);
  if (!place.key_found) return false;
  const Line& line = place.key;
  if (!line.has_value) return false;  // the key without "=" gives the default
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
  const size_t brk = text.find_first_of("\r\n");
  if (brk == std::string::npos) return "\r\n";
  if (text[brk] == '\n') return "\n";
  return (brk + 1 < text.size() && text[brk + 1] == '\n') ? "\r\n" : "\r";
}

// The whole text at `offset`; false with errno set when it cannot be written.
bool write_all_at(int fd, const std::string& text, off_t offset) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// False with *error set from errno, for the steps of a write that fail.
bool noted(bool ok, int* error) {
  if (!ok && *error == 0) *error = errno != 0 ? errno : EIO;
  return ok;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is made durable with the folder's own entry.
void sync_folder(const std::string& path) {
  const int fd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Gives back what lies past `size`; a failure leaves a longer file with the same text first.
void cut_to(int fd, size_t size) {
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return;
}

// Rewrites the existing file in place: its inode, links, owner and mode stay.
// It is written whole or left as it was: the space for the new text is taken
// before a byte of the old one changes, and a write that fails all the same
// (an input/output error) puts the old text back.
bool rewrite_in_place(const std::string& target, const std::string& text, int* error) {
  const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (!noted(fd >= 0, error)) return false;
  struct stat st;
  std::string old;
  bool ok = noted(::fstat(fd, &st) == 0, error) && S_ISREG(st.st_mode);
  if (ok) {
    old.resize(static_cast<size_t>(st.st_size));
    const ssize_t n = old.empty() ? 0 : ::pread(fd, &old[0], old.size(), 0);
    ok = noted(n == static_cast<ssize_t>(old.size()), error);
  }
  if (ok && text.size() > old.size()) {
    // fallocate gives its error as its result; a file system without it
    // has the space taken by writing the new text only.
    const int taken = ::posix_fallocate(fd, 0, static_cast<off_t>(text.size()));
    if (taken != 0 && taken != EOPNOTSUPP && taken != EINVAL) {
      *error = taken;
      ok = false;
      cut_to(fd, old.size());  // the old text is whole; only the size taken is given back
    }
  }
  const bool wrote = ok && noted(write_all_at(fd, text, 0), error) &&
                     noted(::ftruncate(fd, static_cast<off_t>(text.size())) == 0, error);
  if (ok && !wrote) {
    // Best effort: the old text again, as it stood.
    if (write_all_at(fd, old, 0)) cut_to(fd, old.size());
  }
  ok = wrote && noted(::fsync(fd) == 0, error);
  ok = noted(::close(fd) == 0, error) && ok;
  return ok;
}

enum class TempResult { kDone, kFailed, kNoTemporary, kKeepOwner };

// Writes text into a new file beside target and renames it over target.
TempResult replace_through_temporary(const std::string& target, const std::string& text,
                                     const struct stat* old, int* error) {
  static unsigned counter = 0;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    // A new file takes the mode the umask leaves, as any file the user makes;
    // the old file's mode replaces it below.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                old != nullptr ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) return TempResult::kNoTemporary;
  }
  if (fd < 0) return TempResult::kNoTemporary;
  if (old != nullptr) {
    // Owner and group first (that may clear set-id bits), then the mode.
    const bool same_owner = ::fchown(fd, old->st_uid, old->st_gid) == 0;
    if (!same_owner || ::fchmod(fd, old->st_mode & 07777) != 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      return TempResult::kKeepOwner;
    }
  }
  bool ok = noted(write_all_at(fd, text, 0), error) && noted(::fsync(fd) == 0, error);
  ok = noted(::close(fd) == 0, error) && ok;
  if (ok && noted(::rename(temp.c_str(), target.c_str()) == 0, error)) {
    sync_folder(target);
    return TempResult::kDone;
  }
  ::unlink(temp.c_str());  // the old file is as it was
  return TempResult::kFailed;
}

// *error is the errno of a write that failed (0 when it was refused for
// another reason, a planted link or a file that is not plain).
bool replace_file(const char* file, const std::string& text, int* error) {
  *error = 0;
  std::string target;
  if (!path_link_end(file, &target)) return false;
  struct stat st;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;
  // A rename would leave the file's other names with the old text.
  if (exists && st.st_nlink > 1) return rewrite_in_place(target, text, error);
  switch (replace_through_temporary(target, text, exists ? &st : nullptr, error)) {
    case TempResult::kDone: return true;
    case TempResult::kFailed: return false;
    case TempResult::kNoTemporary:  // e.g. a folder that is not writable
    case TempResult::kKeepOwner:
      *error = 0;
      return exists && rewrite_in_place(target, text, error);
  }
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

namespace {

// The file's text with key set to value, as one write of the key would leave it.
std::string with_entry(const std::string& text, const char* section, const char* key, const char* value) {
  const Place place = find_place(text, section, key);
  const std::string eol = line_break_of(text);

  std::string updated;
  if (place.key_found) {
    // Same line, same key spelling, new value; the line break stays.
    const Line& line = place.key;
    updated.reserve(text.size() + std::strlen(value));
    updated.append(text, 0, line.name_end);
    updated.append("=").append(value);
    updated.append(text, line.content_end, std::string::npos);
  } else if (place.section_found) {
    // At the end of the section, after its last line that is not blank.
    const Line& line = place.section_last;
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
  return updated;
}

}  // namespace

int profile_write_strings(const char* section, const std::vector<ProfileEntry>& entries, const char* file,
                          std::vector<std::string>* unwritten, int* write_error) {
  std::vector<std::string> left;
  std::vector<std::string> applied;
  std::string text;
  int error = 0;
  const bool usable = section != nullptr && file != nullptr && file[0] != '\0' && !has_line_break(section) &&
                      read_whole(file, &text, &error) != ReadResult::kUnusable;
  if (usable) error = 0;
  for (const ProfileEntry& entry : entries) {
    // A line break would split the entry into lines of its own.
    if (!usable || entry.key.empty() || std::strlen(entry.key.c_str()) != entry.key.size() ||
        std::strlen(entry.value.c_str()) != entry.value.size() || has_line_break(entry.key.c_str()) ||
        has_line_break(entry.value.c_str())) {
      left.push_back(entry.key);
      continue;
    }
    // Every key goes into the text first; the file is then written once.
    text = with_entry(text, section, entry.key.c_str(), entry.value.c_str());
    applied.push_back(entry.key);
  }
  if (!applied.empty() && !replace_file(file, text, &error)) left.insert(left.end(), applied.begin(), applied.end());
  if (write_error != nullptr) *write_error = left.empty() ? 0 : error;
  if (unwritten != nullptr) unwritten->insert(unwritten->end(), left.begin(), left.end());
  return static_cast<int>(left.size());
}

int profile_write_string(const char* section, const char* key, const char* value, const char* file) {
  if (key == nullptr || value == nullptr) return 0;
  return profile_write_strings(section, {ProfileEntry{key, value}}, file) == 0 ? 1 : 0;
}
