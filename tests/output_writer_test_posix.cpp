// The command line's output thread, with stderr on a pipe that is read only
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
  const bool finished = output_finish(10000);
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
