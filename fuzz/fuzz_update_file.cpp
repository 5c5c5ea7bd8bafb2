// The header check of an update file, against the file rules: the header at
// offset 0, else at 2048; its tag, Product_ID, Attr_Code and the total size the
// code requires, checked in that order. The file is a real (memory) file whose
// first bytes are the input and whose size the input's first bytes choose.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "engine/update_file.h"
#include "fuzz/fuzz_host.h"

namespace {

constexpr long long kSizes[4] = {0x40000, 0x60000, 0x60000, 0x100000};

// The size: one of the required sizes, a byte off, or the content's own length.
long long pick_size(uint8_t selector, size_t content) {
  switch (selector % 8) {
    case 0: return static_cast<long long>(content);
    case 1: return kSizes[(selector >> 3) & 3];
    case 2: return kSizes[(selector >> 3) & 3] + 1;
    case 3: return kSizes[(selector >> 3) & 3] - 1;
    case 4: return 2063 + ((selector >> 3) & 3);  // about the second header's end
    default: return kSizes[(selector >> 3) & 3];
  }
}

// What the file rules say of a file: "" when it passes, else the box's text.
std::string expected(const unsigned char* file, long long size, int* attr) {
  unsigned char header[16] = {};
  std::memcpy(header, file, static_cast<size_t>(size < 16 ? size : 16));
  if (std::memcmp(header, "PELD", 4) != 0) {
    if (size < 2048 + 16) return "Illegal File Size(Read -0x80f)";
    std::memcpy(header, file + 2048, 16);
    if (std::memcmp(header, "PELD", 4) != 0) return "Illegal File_ID";
  }
  if (header[6] != 0x58) return "Illegal Product_ID";
  if (header[7] > 3) return "Illegal Attr_Code";
  *attr = header[7];
  if (size != kSizes[header[7]]) return "Illegal File Size(total)";
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = (fuzz_host_install(), true);
  (void)installed;
  if (size < 1) return 0;
  const uint8_t* content = data + 1;
  const size_t length = size - 1;
  const long long total = pick_size(data[0], length);

  const int fd = memfd_create("update", MFD_CLOEXEC);
  if (fd < 0) fuzz_fail("a memory file can be made");
  const size_t written = static_cast<size_t>(total) < length ? static_cast<size_t>(total) : length;
  if (written > 0 && write(fd, content, written) != static_cast<ssize_t>(written))
    fuzz_fail("the memory file takes the input");
  if (ftruncate(fd, total) != 0) fuzz_fail("the memory file takes its size");

  // The model reads the same bytes: the content, then zeros up to the size.
  std::string file(static_cast<size_t>(total > 4096 ? 4096 : total), '\0');
  std::memcpy(&file[0], content, written < file.size() ? written : file.size());
  int attr = -1;
  const std::string want = expected(reinterpret_cast<const unsigned char*>(file.data()), total, &attr);

  fuzz_host().clear();
  const int got = get_file_ver(nullptr, fd);
  if (want.empty()) {
    if (got != 1 || fuzz_host().boxes != 0) fuzz_fail("a file that passes every check is taken without a box");
    if (datafile.attr_code != attr || datafile.size != kSizes[attr])
      fuzz_fail("the type and required size are those of the header");
    if (lseek(fd, 0, SEEK_CUR) != 0) fuzz_fail("the file is left at offset 0 for the transfer");
  } else {
    if (got != 0 || fuzz_host().boxes != 1 || fuzz_host().box != want)
      fuzz_fail("a refused file shows one box, that of the first check that fails");
  }
  close(fd);
  return 0;
}
