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
