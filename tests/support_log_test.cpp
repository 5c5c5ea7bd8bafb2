// The support log: the exact bytes on disk, runs appended one after another,
// entries from two threads, and the operating-system text of the banner.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/program_info.h"
#include "support/support_log.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

std::string banner() {
  return std::string("\r\n****************\r\n** XR3300/R SystemUpdate Utility v1.3 started on ") +
         get_win_ver() + "\r\n****************\r\n";
}

std::string log_bytes() { return read_file_bytes(kLogFileName); }

// Every test starts and ends with the log closed.
class SupportLog : public ::testing::Test {
 protected:
  void SetUp() override { close_log(); }
  void TearDown() override { close_log(); }
  TempDir dir_;
};

}  // namespace

TEST_F(SupportLog, FirstStartWritesTheBannerOnly) {
  ASSERT_EQ(open_log(), 1);
  close_log();
  EXPECT_EQ(log_bytes(), banner());
  EXPECT_EQ(banner().find("\r\n****************\r\n"), 0u);
  EXPECT_EQ(std::string(kProgramTitle), "XR3300/R SystemUpdate Utility");
  EXPECT_EQ(std::string(kProgramVersion), "1.3");
}

TEST_F(SupportLog, BannerIsOnDiskBeforeTheFirstEntryAfterItsFlush) {
  ASSERT_EQ(open_log(), 1);
  write_log("one");
  // Flushed: readable by anyone before the log is closed.
  EXPECT_EQ(log_bytes(), banner() + "one\r\n\r\n");
  close_log();
}

TEST_F(SupportLog, TwoRunsAppendInOrder) {
  ASSERT_EQ(open_log(), 1);
  write_log("Update started");
  write_log("Sent packet %d of %d...", 3, 10);
  close_log();
  const std::string first = log_bytes();
  ASSERT_EQ(open_log(), 1);
  write_log("second run %s %02x %3d %ld", "x", 0xA, 7, 123456L);
  close_log();
  const std::string expected = banner() + "Update started\r\n\r\n" + "Sent packet 3 of 10...\r\n\r\n" +
                               banner() + "second run x 0a   7 123456\r\n\r\n";
  EXPECT_EQ(log_bytes(), expected);
  EXPECT_EQ(log_bytes().substr(0, first.size()), first);
  // The new banner is set off from the previous blank line by one more empty line.
  EXPECT_NE(log_bytes().find("\r\n\r\n\r\n****************\r\n"), std::string::npos);
}

TEST_F(SupportLog, SentPacketEntryIs22CharactersThenTwoLineBreaks) {
  ASSERT_EQ(open_log(), 1);
  // The banner is not flushed on its own: it reaches the disk with this entry.
  write_log("Sent packet %d of %d...", 3, 10);
  const size_t before = banner().size();
  const std::string added = log_bytes().substr(before);
  EXPECT_EQ(added, "Sent packet 3 of 10...\r\n\r\n");
  EXPECT_EQ(added.size(), 22u + 4u);
}

TEST_F(SupportLog, MultiLineEntryGetsCrLfAtEveryBreak) {
  ASSERT_EQ(open_log(), 1);
  write_log("File : %s\nDevice : %s\nPort : COM%d", "a.sys", "Serial", 2);
  close_log();
  EXPECT_EQ(log_bytes(), banner() + "File : a.sys\r\nDevice : Serial\r\nPort : COM2\r\n\r\n");
}

TEST_F(SupportLog, OnlyLineBreaksAreTranslated) {
  ASSERT_EQ(open_log(), 1);
  write_log("%s", "tab\there \r cr \x80\xFF high");
  close_log();
  EXPECT_EQ(log_bytes(), banner() + "tab\there \r cr \x80\xFF high\r\n\r\n");
}

TEST_F(SupportLog, ComposedTextWithPercentIsLoggedVerbatim) {
  ASSERT_EQ(open_log(), 1);
  write_log_text("C:\\100%s\\%n.sys");
  write_log_text("100% done %d %x %%");
  write_log("%s", "C:\\100%s\\%n.sys");
  close_log();
  EXPECT_EQ(log_bytes(), banner() + "C:\\100%s\\%n.sys\r\n\r\n" + "100% done %d %x %%\r\n\r\n" +
                             "C:\\100%s\\%n.sys\r\n\r\n");
}

TEST_F(SupportLog, LongEntriesAreWrittenWhole) {
  ASSERT_EQ(open_log(), 1);
  std::string expected = banner();
  for (const size_t length : {size_t{2046}, size_t{2047}, size_t{2048}, size_t{2049}, size_t{10000}}) {
    std::string text(length, 'L');
    text[length / 2] = '\n';
    text.back() = 'E';
    write_log("%s", text.c_str());
    write_log_text(text.c_str());
    std::string on_disk = text;
    on_disk.replace(length / 2, 1, "\r\n");
    expected += on_disk + "\r\n\r\n" + on_disk + "\r\n\r\n";
  }
  // A long text built by the format itself.
  write_log("%05000d|%s", 42, "end");
  expected += std::string(4998, '0') + "42|end\r\n\r\n";
  close_log();
  EXPECT_EQ(log_bytes(), expected);
}

TEST_F(SupportLog, EmptyEntryIsABlankLine) {
  ASSERT_EQ(open_log(), 1);
  write_log_text("");
  close_log();
  EXPECT_EQ(log_bytes(), banner() + "\r\n\r\n");
}

TEST_F(SupportLog, NothingHappensWhileClosed) {
  write_log("not open %d", 1);
  write_log_text("not open");
  close_log();
  EXPECT_FALSE(fs::exists(kLogFileName));

  ASSERT_EQ(open_log(), 1);
  close_log();
  const std::string after_run = log_bytes();
  write_log("after close");
  write_log_text("after close");
  close_log();
  EXPECT_EQ(log_bytes(), after_run);
}

TEST_F(SupportLog, OpenFailureLeavesTheLogClosed) {
  // A folder in the file's place: the file cannot be opened.
  fs::create_directory(kLogFileName);
  EXPECT_EQ(open_log(), 0);
  write_log("lost %d", 1);
  write_log_text("lost");
  close_log();
  close_log();
  EXPECT_TRUE(fs::is_directory(kLogFileName));
  EXPECT_TRUE(fs::is_empty(kLogFileName));

  // Once the way is clear a later start logs again.
  fs::remove(kLogFileName);
  ASSERT_EQ(open_log(), 1);
  write_log("back");
  close_log();
  EXPECT_EQ(log_bytes(), banner() + "back\r\n\r\n");
}

TEST_F(SupportLog, FileNameHasNoFolderPart) {
  EXPECT_STREQ(kLogFileName, "vup_log.txt");
  ASSERT_EQ(open_log(), 1);
  close_log();
  EXPECT_TRUE(fs::exists(dir_.file("vup_log.txt")));
}

// ---- two threads writing at once ----

TEST_F(SupportLog, LogThreadsNeverInterleaveAnEntry) {
  ASSERT_EQ(open_log(), 1);
  constexpr int kEntries = 300;
  std::atomic<int> ready{0};
  auto writer = [&](char who) {
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    for (int i = 0; i < kEntries; ++i) {
      if (i % 2 == 0) {
        write_log("thread %c entry %d\nsecond line %c %d", who, i, who, i);
      } else {
        const std::string text = std::string("thread ") + who + " entry " + std::to_string(i) +
                                 "\nsecond line " + who + " " + std::to_string(i);
        write_log_text(text.c_str());
      }
    }
  };
  std::thread a(writer, 'A');
  std::thread b(writer, 'B');
  a.join();
  b.join();
  close_log();

  const std::string bytes = log_bytes();
  const std::string head = banner();
  ASSERT_EQ(bytes.substr(0, head.size()), head);
  // Split the rest into entries, each ending in CR LF CR LF.
  std::map<char, int> next = {{'A', 0}, {'B', 0}};
  size_t at = head.size();
  int count = 0;
  while (at < bytes.size()) {
    const size_t end = bytes.find("\r\n\r\n", at);
    ASSERT_NE(end, std::string::npos) << "an entry without its blank line at " << at;
    const std::string entry = bytes.substr(at, end - at);
    ASSERT_GE(entry.size(), 8u) << entry;
    const char who = entry[7];
    ASSERT_TRUE(who == 'A' || who == 'B') << entry;
    const int i = next[who]++;  // each thread's entries stay in its order
    const std::string expected = std::string("thread ") + who + " entry " + std::to_string(i) +
                                 "\r\nsecond line " + who + " " + std::to_string(i);
    ASSERT_EQ(entry, expected);
    at = end + 4;
    ++count;
  }
  EXPECT_EQ(count, 2 * kEntries);
  EXPECT_EQ(next['A'], kEntries);
  EXPECT_EQ(next['B'], kEntries);
}

// ---- the operating-system text ----

namespace {

std::string classify(int ok, unsigned platform, unsigned major, unsigned minor, const char* csd) {
  char out[256];
  std::memset(out, '#', sizeof out);
  classify_win_ver(ok, platform, major, minor, csd, out, sizeof out);
  return out;
}

}  // namespace

TEST(WinVersionText, EveryRowOfTheTable) {
  struct Row {
    unsigned platform, major, minor;
    const char* text;
  };
  const Row rows[] = {
      {1, 4, 0, "Microsoft Windows 95 (SP)"},
      {1, 4, 3, "Microsoft Windows 95 (SP)"},
      {1, 4, 9, "Microsoft Windows 95 (SP)"},
      {1, 4, 10, "Microsoft Windows 98 (SP)"},
      {1, 4, 11, "Microsoft Windows ME (SP)"},
      {1, 4, 90, "Microsoft Windows ME (SP)"},
      {1, 4, 0xFFFFFFFFu, "Microsoft Windows ME (SP)"},
      {1, 3, 0, "Microsoft Windows 9x variant (SP)"},
      {1, 5, 10, "Microsoft Windows 9x variant (SP)"},
      {1, 0, 0, "Microsoft Windows 9x variant (SP)"},
      {2, 4, 0, "Microsoft Windows NT 4.0 (SP)"},
      {2, 4, 10, "Microsoft Windows NT 4.0 (SP)"},
      {2, 5, 0, "Microsoft Windows 2000 (SP)"},
      {2, 5, 1, "Microsoft Windows XP (SP)"},
      {2, 5, 2, "Microsoft Windows XP (SP)"},
      {2, 6, 0, "Microsoft Windows NT variant (SP)"},
      {2, 3, 51, "Microsoft Windows NT variant (SP)"},
      {2, 10, 0, "Microsoft Windows NT variant (SP)"},
      {0, 4, 10, "Unknown Windows Version"},
      {3, 5, 1, "Unknown Windows Version"},
      {0xFFFFFFFFu, 5, 1, "Unknown Windows Version"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(classify(1, row.platform, row.major, row.minor, "SP"), row.text)
        << row.platform << " " << row.major << "." << row.minor;
  }
}

TEST(WinVersionText, ServicePackTextGoesBetweenTheParentheses) {
  EXPECT_EQ(classify(1, 2, 5, 1, "Service Pack 3"), "Microsoft Windows XP (Service Pack 3)");
  EXPECT_EQ(classify(1, 2, 5, 1, ""), "Microsoft Windows XP ()");
  EXPECT_EQ(classify(1, 1, 4, 10, " A "), "Microsoft Windows 98 ( A )");
  // Taken as text, never as a format.
  EXPECT_EQ(classify(1, 2, 4, 0, "%s%n%d"), "Microsoft Windows NT 4.0 (%s%n%d)");
  // The longest service-pack text fits.
  const std::string csd(127, 'c');
  EXPECT_EQ(classify(1, 2, 6, 1, csd.c_str()), "Microsoft Windows NT variant (" + csd + ")");
}

TEST(WinVersionText, NoVersionRecordIsUnknown) {
  EXPECT_EQ(classify(0, 2, 5, 1, "Service Pack 1"), "Unknown Windows Version");
  EXPECT_EQ(classify(0, 1, 4, 10, ""), "Unknown Windows Version");
}

TEST(WinVersionText, TextIsCutToTheBuffer) {
  char out[12];
  std::memset(out, '#', sizeof out);
  classify_win_ver(1, 2, 5, 1, "SP", out, 8);
  EXPECT_STREQ(out, "Microso");
  EXPECT_EQ(out[8], '#');
}

TEST(WinVersionText, GetWinVerFollowsThePlatformRecord) {
  unsigned platform = 0, major = 0, minor = 0;
  char csd[129] = {};
  const int ok = platform_version_info(&platform, &major, &minor, csd, sizeof csd);
  const char* text = get_win_ver();
  EXPECT_EQ(std::string(text), classify(ok, platform, major, minor, csd));
  // The same static buffer each time.
  EXPECT_EQ(get_win_ver(), text);
}
