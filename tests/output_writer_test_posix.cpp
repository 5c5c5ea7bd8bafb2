// The command line's output threads, with stderr on a pipe that is read only
// after the writer has been kept waiting on it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "cli/output_writer.h"

namespace {

// The pipe's reader, started once the output has been queued.
struct StderrOnPipe {
  int saved = -1;
  int fds[2] = {-1, -1};
  std::string read;
  std::thread reader;

  bool open() {
    if (::pipe(fds) != 0) return false;
    saved = ::dup(2);
    return saved >= 0 && ::dup2(fds[1], 2) == 2;
  }
  void start_reading() {
    reader = std::thread([this] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) read.append(buffer, static_cast<size_t>(n));
    });
  }
  // stderr back, and everything the pipe got.
  std::string close() {
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fds[1]);
    if (reader.joinable()) reader.join();
    ::close(fds[0]);
    return read;
  }
};

// A reader far behind: repeated display lines may be left out, but every
// other line and the last of each display line arrive, in order.
TEST(OutputWriter, AReaderFarBehindLosesOnlyRepeatedDisplayLines) {
  StderrOnPipe err;
  ASSERT_TRUE(err.open());
  output_start();
  output_line(kStderr, std::string(200000, 'x'));  // the writer waits in this line's write
  for (int i = 0; i < 3000; ++i) output_display_line(kStderr, i % 2 == 0 ? 1 : 2, "line " + std::to_string(i));
  output_line(kStderr, "Box: kept");
  output_display_line(kStderr, 3, "three");
  output_line(kStderr, "the outcome");
  err.start_reading();
  EXPECT_TRUE(output_finish(nullptr));
  const std::string text = err.close();
  const std::string tail = text.substr(200001);
  EXPECT_LT(tail.size(), 3000u * 10);  // some lines were left out
  EXPECT_NE(tail.find("display lines were left out here"), std::string::npos);
  const std::size_t last1 = tail.find("line 2998\n"), last2 = tail.find("line 2999\n");
  const std::size_t box = tail.find("Box: kept\n"), three = tail.find("three\n");
  ASSERT_NE(last1, std::string::npos);
  ASSERT_NE(last2, std::string::npos);
  ASSERT_NE(box, std::string::npos);
  EXPECT_TRUE(last1 < last2 && last2 < box && box < three);
  EXPECT_EQ(tail.substr(tail.size() - 12), "the outcome\n");
}

// Far behind with nothing that may be left out: every line arrives whole.
TEST(OutputWriter, AReaderFarBehindGetsEveryLineThatMayNotBeLeftOut) {
  StderrOnPipe err;
  ASSERT_TRUE(err.open());
  output_start();
  output_line(kStderr, std::string(200000, 'x'));
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    output_line(kStderr, "kept " + std::to_string(i));
    expected += "kept " + std::to_string(i) + "\n";
  }
  err.start_reading();
  EXPECT_TRUE(output_finish(nullptr));
  EXPECT_EQ(err.close().substr(200001), expected);
}

TEST(OutputWriter, TheLastProgressTextOffATerminalIsNotLostToTheClearAtTheEnd) {
  StderrOnPipe err;
  ASSERT_TRUE(err.open());
  output_start();
  // More than the pipe holds: the writer waits in this line's write.
  const std::string long_line(200000, 'x');
  output_line(kStderr, long_line);
  output_progress("Packet 31 of 32, about 0:01 left");
  output_progress("Packet 32 of 32, about 0:00 left");
  output_progress("");  // the end of the run clears the progress
  err.start_reading();
  const bool finished = output_finish(nullptr);
  const std::string text = err.close();
  EXPECT_TRUE(finished);
  // The line first; "Packet 31" may come in between when the writer was slow
  // to take the line; the last text is written, once, at the end.
  ASSERT_EQ(text.compare(0, long_line.size() + 1, long_line + "\n"), 0);
  const std::string rest = text.substr(long_line.size() + 1);
  EXPECT_TRUE(rest == "Packet 32 of 32, about 0:00 left\n" ||
              rest == "Packet 31 of 32, about 0:01 left\nPacket 32 of 32, about 0:00 left\n")
      << rest;
}

}  // namespace
