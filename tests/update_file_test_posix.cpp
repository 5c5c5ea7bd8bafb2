// Linux-only cases of the header check: a handle that cannot be positioned.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/file_io.h"
#include "engine/update_file.h"
#include "tests/test_support.h"

namespace {

// Runs the header check on the read end of a pipe that holds `bytes`.
std::vector<RecordedBox> check_pipe(const std::string& bytes, int* result) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fds[1]);
  HostRecorder host;
  *result = get_file_ver(nullptr, static_cast<FileHandle>(fds[0]));
  ::close(fds[0]);
  return host.boxes();
}

}  // namespace

TEST(UpdateFileCheckPosix, FailingSeekTo2048IsReported) {
  // A pipe reads but cannot be positioned: without the tag at 0 the seek to
  // 2048 fails, which is the only way to this message.
  int result = -1;
  const auto boxes = check_pipe(std::string(4000, 'x'), &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Illegal File Size(Seek 0x800)");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].style, 0x10000u);
}

TEST(UpdateFileCheckPosix, UnpositionableFileWithTagFailsTheSizeCheck) {
  // With the tag at 0 no seek result is examined before the size check; a pipe's
  // size (0) matches no required size.
  int result = -1;
  std::string bytes = make_update_image(0, 1, 0).substr(0, 64);
  const auto boxes = check_pipe(bytes, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Illegal File Size(total)");
}

TEST(UpdateFileOpenPosix, FifoIsRefusedWithoutWaiting) {
  // A named pipe is no update file; opening it must not wait for a writer.
  TempDir dir;
  const std::string path = dir.file("fifo.sys");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(file_open_exclusive(path.c_str()), kInvalidFile);
}

// ---- the copy every packet is taken from: the file as the check accepted it

namespace {

struct CheckedFile {
  TempDir dir;
  HostRecorder host;
  std::string path;
  FileHandle file = kInvalidFile;

  explicit CheckedFile(const std::string& bytes) {
    EXPECT_EQ(init_tfr(), 1);
    path = dir.file("a.sys");
    write_file_bytes(path, bytes);
    file = file_open_exclusive(path.c_str());
    EXPECT_NE(file, kInvalidFile);
    EXPECT_EQ(get_file_ver(nullptr, file), 1);
  }
  ~CheckedFile() {
    file_close(file);
    free_tfr();
  }
  std::string image() const { return std::string(reinterpret_cast<char*>(file_buf), datafile.size); }
};

}  // namespace

TEST(UpdateFileImage, IsTheCheckedFileByteForByte) {
  for (bool at_2048 : {false, true}) {
    const std::string bytes = make_update_image(3, 2, 0, at_2048);
    CheckedFile checked(bytes);
    ASSERT_EQ(take_file_image(checked.file), 1);
    EXPECT_TRUE(checked.image() == bytes) << "header at 2048: " << at_2048;
  }
}

// Another program writes the file between the check and the read (the lock is
// advisory): what would be read is no longer the file the check accepted.
TEST(UpdateFileImage, IsRefusedWhenTheFileChangedAfterTheCheck) {
  {
    CheckedFile checked(make_update_image(0, 2, 0));
    write_file_bytes(checked.path, make_update_image(0, 1, 0));  // same size, another header
    EXPECT_EQ(take_file_image(checked.file), 0);
  }
  {
    CheckedFile checked(make_update_image(0, 2, 0, true));
    std::string tagged = make_update_image(0, 2, 0, true);
    tagged.replace(0, 4, "PELD");  // a tag at the start now: the check would read another header
    write_file_bytes(checked.path, tagged);
    EXPECT_EQ(take_file_image(checked.file), 0);
  }
  {
    CheckedFile checked(make_update_image(0, 2, 0));
    write_file_bytes(checked.path, make_update_image(0, 2, 0) + "x");  // grown
    EXPECT_EQ(take_file_image(checked.file), 0);
  }
  {
    CheckedFile checked(make_update_image(0, 2, 0));
    ASSERT_EQ(::truncate(checked.path.c_str(), 8192 * 5), 0);  // shrunk
    EXPECT_EQ(take_file_image(checked.file), 0);
  }
}

TEST(UpdateFileImage, IsRefusedWithoutACheckThatPassed) {
  CheckedFile checked(make_update_image(0, 2, 0));
  const std::string bad = make_update_image(0, 2, 0).substr(0, 100);
  write_file_bytes(checked.path, bad);
  file_seek(checked.file, 0);
  EXPECT_EQ(get_file_ver(nullptr, checked.file), 0);
  EXPECT_EQ(take_file_image(checked.file), 0);
}
