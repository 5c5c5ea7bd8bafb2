// The update file's header check on real files, the byte comparison of the
// maker tag, the type-name table and the transfer buffers.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/file_io.h"
#include "engine/update_file.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

const WindowHandle kOwner = reinterpret_cast<WindowHandle>(static_cast<intptr_t>(0x4711));
const Datafile kUntouched = {-7, -8, -9};

struct CheckResult {
  int result;
  std::vector<RecordedBox> boxes;
  Datafile data;
  std::string first_bytes_after;  // 16 bytes read right after the check
};

// Writes `bytes` to a file in the temporary folder and runs the header check on it.
CheckResult check_bytes(const TempDir& dir, const std::string& bytes, const char* name = "update.sys") {
  const std::string path = dir.file(name);
  write_file_bytes(path, bytes);
  HostRecorder host;
  datafile = kUntouched;
  const FileHandle file = file_open_exclusive(path.c_str());
  EXPECT_NE(file, kInvalidFile) << path;
  CheckResult r{};
  r.result = get_file_ver(kOwner, file);
  r.boxes = host.boxes();
  r.data = datafile;
  char buf[kHeaderSize] = {};
  const long got = file_read(file, buf, kHeaderSize);
  if (got > 0) r.first_bytes_after.assign(buf, static_cast<size_t>(got));
  file_close(file);
  return r;
}

// Expects exactly one error box with `text`, owned by the window passed in.
void expect_one_box(const CheckResult& r, const char* text) {
  EXPECT_EQ(r.result, 0);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text, text);
  EXPECT_EQ(r.boxes[0].caption, "Error");
  EXPECT_EQ(r.boxes[0].style, static_cast<unsigned>(kMbOk | kMbSetForeground));
  EXPECT_EQ(r.boxes[0].style, 0x10000u);
  EXPECT_EQ(r.boxes[0].owner, kOwner);
}

void expect_data(const Datafile& d, int size, int version, int attr_code) {
  EXPECT_EQ(d.size, size);
  EXPECT_EQ(d.version, version);
  EXPECT_EQ(d.attr_code, attr_code);
}

std::string header(int major, int minor, int product, int attr) {
  std::string h = "PELD";
  h += static_cast<char>(major);
  h += static_cast<char>(minor);
  h += static_cast<char>(product);
  h += static_cast<char>(attr);
  h += std::string(8, '\x5A');
  return h;
}

}  // namespace

// ---- files that pass ----

TEST(UpdateFileCheck, EveryAttributeCodeWithItsSizePasses) {
  TempDir dir;
  const int sizes[4] = {262144, 393216, 393216, 1048576};
  for (int attr = 0; attr < 4; ++attr) {
    SCOPED_TRACE(attr);
    const std::string image = make_update_image(attr, 1, 5, false, 10u + attr);
    ASSERT_EQ(image.size(), static_cast<size_t>(sizes[attr]));
    const CheckResult r = check_bytes(dir, image);
    EXPECT_EQ(r.result, 1);
    EXPECT_TRUE(r.boxes.empty());
    expect_data(r.data, sizes[attr], 1 * 256 + 5, attr);
    // The file stands at offset 0 afterwards: the next read gives its first bytes.
    EXPECT_EQ(r.first_bytes_after, image.substr(0, kHeaderSize));
  }
}

TEST(UpdateFileCheck, VersionIsMajorTimes256PlusMinor) {
  TempDir dir;
  EXPECT_EQ(check_bytes(dir, make_update_image(0, 0, 0)).data.version, 0);
  EXPECT_EQ(check_bytes(dir, make_update_image(0, 255, 255)).data.version, 65535);
  EXPECT_EQ(check_bytes(dir, make_update_image(2, 2, 99)).data.version, 2 * 256 + 99);
  EXPECT_EQ(check_bytes(dir, make_update_image(1, 128, 1)).data.version, 128 * 256 + 1);
}

TEST(UpdateFileCheck, ValidHeaderAt2048Passes) {
  TempDir dir;
  const std::string image = make_update_image(0, 3, 7, true);
  ASSERT_NE(image.substr(0, 4), "PELD");
  const CheckResult r = check_bytes(dir, image);
  EXPECT_EQ(r.result, 1);
  EXPECT_TRUE(r.boxes.empty());
  expect_data(r.data, 262144, 3 * 256 + 7, 0);
  // Back at 0, not at the second header: the whole file is what is sent.
  EXPECT_EQ(r.first_bytes_after, image.substr(0, kHeaderSize));
}

TEST(UpdateFileCheck, TagAtZeroWinsOverHeaderAt2048) {
  TempDir dir;
  std::string image = make_update_image(0, 1, 2);
  image.replace(2048, 16, header(9, 9, kProductId, 3));
  CheckResult r = check_bytes(dir, image);
  EXPECT_EQ(r.result, 1);
  expect_data(r.data, 262144, 258, 0);

  // A bad header at 0 is not rescued by a good one at 2048.
  image.replace(0, 16, header(1, 2, 0x57, 0));
  image.replace(2048, 16, header(1, 2, kProductId, 0));
  r = check_bytes(dir, image);
  expect_one_box(r, "Illegal Product_ID");
}

TEST(UpdateFileCheck, HeaderBytes8To15MayHoldAnything) {
  TempDir dir;
  for (const char fill : {'\0', '\x7F', '\x80', '\xFF'}) {
    std::string image = make_update_image(1, 1, 0);
    for (int i = 8; i < 16; ++i) image[static_cast<size_t>(i)] = fill;
    const CheckResult r = check_bytes(dir, image);
    EXPECT_EQ(r.result, 1) << int(static_cast<unsigned char>(fill));
    EXPECT_TRUE(r.boxes.empty());
  }
  std::string image = make_update_image(3, 1, 0, true);
  image.replace(2048 + 8, 8, "PELDPELD");
  EXPECT_EQ(check_bytes(dir, image).result, 1);
}

// ---- each message, and the datafile fields left by each step ----

TEST(UpdateFileCheck, ShortFilesWithoutTagFailTheRead) {
  TempDir dir;
  for (const size_t size : {size_t{1}, size_t{4}, size_t{16}, size_t{2047}, size_t{2048},
                            size_t{2063}}) {
    SCOPED_TRACE(size);
    std::string bytes(size, 'x');
    // Even a header that starts at 2048 but is cut short counts as unreadable.
    if (size > 2052) bytes.replace(2048, 4, "PELD");
    const CheckResult r = check_bytes(dir, bytes);
    expect_one_box(r, "Illegal File Size(Read -0x80f)");
    expect_data(r.data, kUntouched.size, kUntouched.version, kUntouched.attr_code);
  }
}

TEST(UpdateFileCheck, EmptyFileFailsTheRead) {
  TempDir dir;
  const CheckResult r = check_bytes(dir, std::string());
  expect_one_box(r, "Illegal File Size(Read -0x80f)");
  expect_data(r.data, kUntouched.size, kUntouched.version, kUntouched.attr_code);
}

TEST(UpdateFileCheck, NoTagAt2048IsIllegalFileId) {
  TempDir dir;
  std::string bytes(2064, '\0');
  CheckResult r = check_bytes(dir, bytes);
  expect_one_box(r, "Illegal File_ID");
  expect_data(r.data, kUntouched.size, kUntouched.version, kUntouched.attr_code);

  // A full-size image whose tags are both damaged.
  std::string image = make_update_image(0, 1, 0, true);
  image[2048 + 3] = 'd';
  r = check_bytes(dir, image);
  expect_one_box(r, "Illegal File_ID");

  // Almost the tag: one byte differs in its top bit only.
  image = make_update_image(0, 1, 0, true);
  image[2048] = static_cast<char>('P' | 0x80);
  r = check_bytes(dir, image);
  expect_one_box(r, "Illegal File_ID");
}

TEST(UpdateFileCheck, Exactly2064BytesWithTagAt2048ReachesTheSizeCheck) {
  TempDir dir;
  std::string bytes(2064, 'y');
  bytes.replace(2048, 16, header(4, 1, kProductId, 2));
  const CheckResult r = check_bytes(dir, bytes);
  expect_one_box(r, "Illegal File Size(total)");
  expect_data(r.data, 393216, 4 * 256 + 1, 2);
}

TEST(UpdateFileCheck, WrongProductIdStoresOnlyTheVersion) {
  TempDir dir;
  for (const int product : {0x00, 0x57, 0x59, 0xD8}) {
    std::string image = make_update_image(0, 2, 3);
    image[6] = static_cast<char>(product);
    const CheckResult r = check_bytes(dir, image);
    expect_one_box(r, "Illegal Product_ID");
    expect_data(r.data, kUntouched.size, 2 * 256 + 3, kUntouched.attr_code);
  }
}

TEST(UpdateFileCheck, AttrCodeAbove3StoresVersionAndCode) {
  TempDir dir;
  for (const int attr : {4, 7, 0x80, 0xFF}) {
    std::string image = make_update_image(0, 1, 9);
    image[7] = static_cast<char>(attr);
    const CheckResult r = check_bytes(dir, image);
    expect_one_box(r, "Illegal Attr_Code");
    expect_data(r.data, kUntouched.size, 1 * 256 + 9, attr);
  }
}

TEST(UpdateFileCheck, OneByteTooLongOrTooShortIsIllegalTotalSize) {
  TempDir dir;
  for (int attr = 0; attr < 4; ++attr) {
    for (const int delta : {-1, 1}) {
      SCOPED_TRACE(testing::Message() << "attr " << attr << " delta " << delta);
      std::string image = make_update_image(attr, 1, 1);
      if (delta < 0) {
        image.pop_back();
      } else {
        image.push_back('\0');
      }
      const CheckResult r = check_bytes(dir, image);
      expect_one_box(r, "Illegal File Size(total)");
      // A failure at the size check has stored all three fields.
      expect_data(r.data, required_file_size(attr), 257, attr);
    }
  }
}

TEST(UpdateFileCheck, SizeOfAnotherTypeIsIllegalTotalSize) {
  TempDir dir;
  std::string image = make_update_image(1, 1, 1);  // PCM size...
  image[7] = 0;                                    // ...but a SYSTEM header
  const CheckResult r = check_bytes(dir, image);
  expect_one_box(r, "Illegal File Size(total)");
  expect_data(r.data, 262144, 257, 0);
}

TEST(UpdateFileCheck, TagOnlyFileHasZeroProductId) {
  // Bytes the first read does not fill count as zero.
  TempDir dir;
  CheckResult r = check_bytes(dir, std::string("PELD\x01\x05", 6));
  expect_one_box(r, "Illegal Product_ID");
  expect_data(r.data, kUntouched.size, 0x105, kUntouched.attr_code);

  r = check_bytes(dir, std::string("PELD\x01\x05\x58", 7));
  expect_one_box(r, "Illegal File Size(total)");
  expect_data(r.data, 262144, 0x105, 0);
}

TEST(UpdateFileCheck, ChecksRunInTheirFixedOrder) {
  TempDir dir;
  // Wrong Product_ID and wrong size: the Product_ID is reported.
  std::string image = make_update_image(0, 1, 0);
  image[6] = 0x11;
  image.resize(1000);
  expect_one_box(check_bytes(dir, image), "Illegal Product_ID");

  // Attribute code 4 and wrong size: the attribute code is reported.
  image = make_update_image(0, 1, 0);
  image[7] = 4;
  image.resize(5000);
  expect_one_box(check_bytes(dir, image), "Illegal Attr_Code");

  // Wrong Product_ID and attribute code 4: the Product_ID comes first.
  image = make_update_image(0, 1, 0);
  image[6] = 0;
  image[7] = 4;
  expect_one_box(check_bytes(dir, image), "Illegal Product_ID");

  // The same order for a header at 2048.
  image = make_update_image(0, 1, 0, true);
  image[2048 + 7] = 9;
  image.push_back('z');
  expect_one_box(check_bytes(dir, image), "Illegal Attr_Code");
}

TEST(UpdateFileCheck, EveryFailingFileShowsExactlyOneBox) {
  TempDir dir;
  std::vector<std::string> bad;
  bad.push_back(std::string());
  bad.push_back(std::string(3000, 'q'));
  std::string image = make_update_image(0, 1, 0);
  image[6] = 1;
  bad.push_back(image);
  image = make_update_image(0, 1, 0);
  image[7] = 5;
  bad.push_back(image);
  image = make_update_image(0, 1, 0);
  image.push_back('!');
  bad.push_back(image);

  HostRecorder host;
  for (size_t i = 0; i < bad.size(); ++i) {
    write_file_bytes(dir.file("bad.bin"), bad[i]);
    const FileHandle file = file_open_exclusive(dir.file("bad.bin").c_str());
    ASSERT_NE(file, kInvalidFile);
    EXPECT_EQ(get_file_ver(kOwner, file), 0);
    file_close(file);
    EXPECT_EQ(host.boxes().size(), i + 1);
  }
  // A good file after the bad ones adds no box.
  write_file_bytes(dir.file("good.sys"), make_update_image(0, 1, 0));
  const FileHandle file = file_open_exclusive(dir.file("good.sys").c_str());
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(get_file_ver(nullptr, file), 1);
  file_close(file);
  EXPECT_EQ(host.boxes().size(), bad.size());
  EXPECT_TRUE(host.line_history(0).empty());
  EXPECT_TRUE(host.notices().empty());
}

TEST(UpdateFileCheck, NullOwnerIsPassedOn) {
  TempDir dir;
  write_file_bytes(dir.file("a.sys"), std::string(10, '\0'));
  HostRecorder host;
  const FileHandle file = file_open_exclusive(dir.file("a.sys").c_str());
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(get_file_ver(nullptr, file), 0);
  file_close(file);
  ASSERT_EQ(host.boxes().size(), 1u);
  EXPECT_EQ(host.boxes()[0].owner, nullptr);
}

TEST(UpdateFileCheck, StartsFromOffsetZeroWhateverThePosition) {
  TempDir dir;
  const std::string image = make_update_image(2, 1, 0, true);
  write_file_bytes(dir.file("u.usr"), image);
  HostRecorder host;
  const FileHandle file = file_open_exclusive(dir.file("u.usr").c_str());
  ASSERT_NE(file, kInvalidFile);
  ASSERT_EQ(file_seek(file, 100000), 100000);
  EXPECT_EQ(get_file_ver(kOwner, file), 1);
  char buf[8] = {};
  EXPECT_EQ(file_read(file, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), image.substr(0, 8));
  // A second check of the same handle gives the same result.
  EXPECT_EQ(get_file_ver(kOwner, file), 1);
  file_close(file);
  EXPECT_TRUE(host.boxes().empty());
}

TEST(UpdateFileCheck, ExtensionPlaysNoPart) {
  TempDir dir;
  const std::string image = make_update_image(3, 1, 0);
  for (const char* name : {"x.sys", "x.pcm", "x.usr", "x.b_1", "x", "x.txt"}) {
    EXPECT_EQ(check_bytes(dir, image, name).result, 1) << name;
  }
}

// ---- the update file's exclusive handle ----

TEST(UpdateFileOpen, MissingFileAndFolderDoNotOpen) {
  TempDir dir;
  EXPECT_EQ(file_open_exclusive(dir.file("nothing.sys").c_str()), kInvalidFile);
  fs::create_directory(dir.file("folder.sys"));
  const FileHandle file = file_open_exclusive(dir.file("folder.sys").c_str());
  EXPECT_EQ(file, kInvalidFile);
  file_close(file);
}

TEST(UpdateFileOpen, HeldFileCannotBeOpenedAgain) {
  TempDir dir;
  write_file_bytes(dir.file("held.sys"), make_update_image(0, 1, 0));
  const FileHandle first = file_open_exclusive(dir.file("held.sys").c_str());
  ASSERT_NE(first, kInvalidFile);
  EXPECT_EQ(file_open_exclusive(dir.file("held.sys").c_str()), kInvalidFile);
  file_close(first);
  const FileHandle again = file_open_exclusive(dir.file("held.sys").c_str());
  EXPECT_NE(again, kInvalidFile);
  file_close(again);
}

TEST(UpdateFileOpen, UnreadableFileDoesNotOpen) {
  TempDir dir;
  const std::string path = dir.file("secret.sys");
  write_file_bytes(path, make_update_image(0, 1, 0));
  fs::permissions(path, fs::perms::none);
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe != nullptr) {
    std::fclose(probe);
    fs::permissions(path, fs::perms::owner_all);
    GTEST_SKIP() << "this user can read a file without read permission (root, or Windows)";
  }
  EXPECT_EQ(file_open_exclusive(path.c_str()), kInvalidFile);
  fs::permissions(path, fs::perms::owner_all);
}

TEST(UpdateFileOpen, ReadsAndSeeksTheWholeFile) {
  TempDir dir;
  const std::string image = make_update_image(3, 1, 0);
  write_file_bytes(dir.file("all.b_a"), image);
  const FileHandle file = file_open_exclusive(dir.file("all.b_a").c_str());
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(file_size(file), 1048576);
  std::string back;
  std::vector<char> block(kFileBufSize);
  long got;
  while ((got = file_read(file, block.data(), kFileBufSize)) > 0) {
    back.append(block.data(), static_cast<size_t>(got));
  }
  EXPECT_EQ(got, 0);
  EXPECT_EQ(back, image);
  EXPECT_EQ(file_seek(file, 2 * 1048576), 2 * 1048576);  // past the end succeeds
  EXPECT_EQ(file_read(file, block.data(), 16), 0);
  file_close(file);
}

// ---- the maker tag's comparison ----

TEST(StrcmpN, ComparesAsSignedBytes) {
  const unsigned char high[] = {0x80};
  const unsigned char low[] = {0x7F};
  // 0x80 is -128 as a signed byte, less than 0x7F.
  EXPECT_EQ(strcmp_n(high, low, 1), -1);
  EXPECT_EQ(strcmp_n(low, high, 1), 1);
  const unsigned char ff[] = {0xFF};
  const unsigned char zero[] = {0x00};
  EXPECT_EQ(strcmp_n(ff, zero, 1), -1);
  EXPECT_EQ(strcmp_n(zero, ff, 1), 1);
}

TEST(StrcmpN, FirstDifferenceDecides) {
  EXPECT_EQ(strcmp_n("PELD", "PELD", 4), 0);
  EXPECT_EQ(strcmp_n("PELA", "PELD", 4), -1);
  EXPECT_EQ(strcmp_n("PFLA", "PELZ", 4), 1);
  EXPECT_EQ(strcmp_n("PELDx", "PELDy", 4), 0);  // only n bytes count
  EXPECT_EQ(strcmp_n("PELDx", "PELDy", 5), -1);
  // No stop at a zero byte: all n bytes are compared.
  EXPECT_EQ(strcmp_n("a\0b", "a\0c", 3), -1);
  EXPECT_EQ(strcmp_n("a\0c", "a\0b", 3), 1);
}

TEST(StrcmpN, ZeroOrNegativeCountIsEqual) {
  EXPECT_EQ(strcmp_n("A", "B", 0), 0);
  EXPECT_EQ(strcmp_n("A", "B", -1), 0);
  EXPECT_EQ(strcmp_n("A", "B", -2147483647 - 1), 0);
  // No byte is read for a count of zero.
  EXPECT_EQ(strcmp_n(nullptr, nullptr, 0), 0);
}

// ---- the type names and the sizes ----

TEST(DispFiletypeTable, FourZeroPaddedFieldsOfEightBytes) {
  static_assert(sizeof(DispFiletype) == 32, "four fields of eight bytes");
  EXPECT_EQ(std::memcmp(DispFiletype[0], "SYSTEM\0\0", 8), 0);
  EXPECT_EQ(std::memcmp(DispFiletype[1], "PCM\0\0\0\0\0", 8), 0);
  EXPECT_EQ(std::memcmp(DispFiletype[2], "USER\0\0\0\0", 8), 0);
  EXPECT_EQ(std::memcmp(DispFiletype[3], "ALL\0\0\0\0\0", 8), 0);
  // Indexed by the attribute code's low two bits.
  EXPECT_STREQ(DispFiletype[7 & 3], "ALL");
}

TEST(DispFiletypeTable, RequiredSizes) {
  EXPECT_EQ(required_file_size(0), 0x40000);
  EXPECT_EQ(required_file_size(1), 0x60000);
  EXPECT_EQ(required_file_size(2), 0x60000);
  EXPECT_EQ(required_file_size(3), 0x100000);
  EXPECT_EQ(required_file_size(4), 0);
  EXPECT_EQ(required_file_size(-1), 0);
  // Blocks of 8192 bytes per type.
  EXPECT_EQ(required_file_size(0) / kFileBufSize, 32);
  EXPECT_EQ(required_file_size(1) / kFileBufSize, 48);
  EXPECT_EQ(required_file_size(3) / kFileBufSize, 128);
}

// ---- the transfer buffers ----

TEST(TransferBuffers, AllocatedWholeAndReleased) {
  HostRecorder host;
  ASSERT_EQ(init_tfr(), 1);
  ASSERT_NE(file_buf, nullptr);
  ASSERT_NE(tfr_buf, nullptr);
  // Every byte of both is usable (the address sanitizer checks the bounds).
  std::memset(file_buf, 0xA5, kFileBufSize);
  std::memset(tfr_buf, 0x5A, kTfrBufSize);
  EXPECT_EQ(file_buf[kFileBufSize - 1], 0xA5);
  EXPECT_EQ(tfr_buf[kTfrBufSize - 1], 0x5A);
  EXPECT_GE(kTfrBufSize, 9372);  // the largest message, a data packet
  free_tfr();
  EXPECT_EQ(file_buf, nullptr);
  EXPECT_EQ(tfr_buf, nullptr);
  EXPECT_TRUE(host.boxes().empty());
}
