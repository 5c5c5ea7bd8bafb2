#include "engine/update_file.h"

#include <cstdlib>
#include <cstring>

#include "engine/transfer_outcome.h"

Datafile datafile = {0, 0, 0};

const char DispFiletype[4][8] = {"SYSTEM", "PCM", "USER", "ALL"};

unsigned char* file_buf = nullptr;
unsigned char* tfr_buf = nullptr;

namespace {

constexpr char kMakerTag[4] = {'P', 'E', 'L', 'D'};
constexpr int kRequiredSize[4] = {0x40000, 0x60000, 0x60000, 0x100000};
static_assert(kRequiredSize[3] == kImageBufSize, "the largest file fits the image buffer");

// The header the last check accepted, and where it stood in the file.
unsigned char checked_header[kHeaderSize];
long long checked_offset = -1;

int refuse(WindowHandle window, const char* text) {
  tfr_fail_box(window, kOutcomeFileRefused, kFaultFileHeader, text);
  return 0;
}

void alloc_error() {
  message_box(nullptr, "Memory Alloc Error", "SystemUpdate Utility Setting..", kMbOk | kMbSetForeground);
}

}  // namespace

int required_file_size(int attr_code) {
  return attr_code >= 0 && attr_code <= 3 ? kRequiredSize[attr_code] : 0;
}

int init_tfr() {
  file_buf = static_cast<unsigned char*>(std::malloc(kImageBufSize));
  if (file_buf == nullptr) {
    alloc_error();
    return 0;
  }
  tfr_buf = static_cast<unsigned char*>(std::malloc(kTfrBufSize));
  if (tfr_buf == nullptr) {
    alloc_error();
    std::free(file_buf);
    file_buf = nullptr;
    return 0;
  }
  return 1;
}

void free_tfr() {
  std::free(tfr_buf);
  tfr_buf = nullptr;
  std::free(file_buf);
  file_buf = nullptr;
}

int strcmp_n(const void* first, const void* second, int n) {
  const auto* a = static_cast<const signed char*>(first);
  const auto* b = static_cast<const signed char*>(second);
  for (int i = 0; i < n; ++i) {
    if (a[i] < b[i]) return -1;
    if (a[i] > b[i]) return 1;
  }
  return 0;
}

int get_file_ver(WindowHandle window, FileHandle file) {
  unsigned char header[kHeaderSize] = {};  // bytes a short read leaves are zero
  long long offset = 0;

  checked_offset = -1;
  file_seek(file, 0);
  file_read(file, header, kHeaderSize);
  if (strcmp_n(header, kMakerTag, 4) != 0) {
    // No tag at the start: the header stands at offset 2048.
    if (file_seek(file, kSecondHeaderOffset) != kSecondHeaderOffset) {
      return refuse(window, "Illegal File Size(Seek 0x800)");
    }
    std::memset(header, 0, sizeof header);
    if (file_read(file, header, kHeaderSize) != kHeaderSize) {
      return refuse(window, "Illegal File Size(Read -0x80f)");
    }
    if (strcmp_n(header, kMakerTag, 4) != 0) return refuse(window, "Illegal File_ID");
    offset = kSecondHeaderOffset;
  }

  datafile.version = header[4] * 256 + header[5];
  if (header[6] != kProductId) return refuse(window, "Illegal Product_ID");

  datafile.attr_code = header[7];
  if (header[7] > 3) return refuse(window, "Illegal Attr_Code");
  datafile.size = kRequiredSize[header[7]];

  // The whole 64-bit size: a file 4 GiB larger than the required size is no match.
  if (file_size(file) != datafile.size) return refuse(window, "Illegal File Size(total)");

  std::memcpy(checked_header, header, sizeof checked_header);
  checked_offset = offset;
  file_seek(file, 0);
  return 1;
}

int take_file_image(FileHandle file) {
  if (checked_offset < 0 || file_buf == nullptr || datafile.size <= 0 || datafile.size > kImageBufSize) return 0;
  const long long stamp = file_stamp(file);
  if (stamp == -1 || file_seek(file, 0) != 0) return 0;
  if (file_read(file, file_buf, datafile.size) != datafile.size) return 0;
  unsigned char past_end = 0;
  if (file_read(file, &past_end, 1) != 0) return 0;
  if (file_stamp(file) != stamp || file_size(file) != datafile.size) return 0;
  // The same header where the check found it: at 2048 only while the start holds no tag.
  const bool tag_at_start = strcmp_n(file_buf, kMakerTag, 4) == 0;
  if (tag_at_start != (checked_offset == 0)) return 0;
  return std::memcmp(file_buf + checked_offset, checked_header, kHeaderSize) == 0 ? 1 : 0;
}
