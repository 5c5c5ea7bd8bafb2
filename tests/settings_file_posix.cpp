// The Linux settings file byte for byte: the program's own writer keeps every
// line it does not own exactly as it was (the Windows functions rewrite the
// whole file in their own layout), and the Linux-only serial device keys.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "support/current_dir.h"
#include "support/profile.h"
#include "support/settings.h"
#include "support/settings_path.h"
#include "tests/fake_midi_devices.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSec = "XR3300/R SystemUpdate Utility";

int write_key(const std::string& file, const char* key, const char* value) {
  return profile_write_string(kSec, key, value, file.c_str());
}

std::string get_text(const std::string& file, const char* key) {
  char value[256];
  profile_get_string(kSec, key, value, sizeof value, file.c_str());
  return value;
}

int file_count(const std::string& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  return count;
}

class ProfileLayout : public ::testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.file("xrupdate.ini");
};

TEST_F(ProfileLayout, NewFileIsWrittenWithCrLf) {
  ASSERT_EQ(write_key(ini, "Xpos", "1"), 1);
  ASSERT_EQ(write_key(ini, "Ypos", "2"), 1);
  EXPECT_EQ(read_file_bytes(ini), "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\nYpos=2\r\n");
}

TEST_F(ProfileLayout, LinesNotOwnedStayByteForByte) {
  const std::string before =
      "; written by hand\n"
      "[Other]\n"
      "A = 1\n"
      "\n"
      "[XR3300/R SystemUpdate Utility]\n"
      "  Xpos = 5   \n"
      "; note about the keys\n"
      "stray text\n"
      "\n"
      "[Last]\n"
      "B=2";
  write_file_bytes(ini, before);
  ASSERT_EQ(write_key(ini, "xpos", "6"), 1);
  ASSERT_EQ(write_key(ini, "New", "7"), 1);
  EXPECT_EQ(read_file_bytes(ini),
            "; written by hand\n"
            "[Other]\n"
            "A = 1\n"
            "\n"
            "[XR3300/R SystemUpdate Utility]\n"
            "  Xpos=6\n"
            "; note about the keys\n"
            "stray text\n"
            "New=7\n"
            "\n"
            "[Last]\n"
            "B=2");
}

TEST_F(ProfileLayout, CrLfFileStaysCrLf) {
  write_file_bytes(ini, "[Other]\r\nA=1\r\n");
  ASSERT_EQ(write_key(ini, "Xpos", "3"), 1);
  EXPECT_EQ(read_file_bytes(ini), "[Other]\r\nA=1\r\n[XR3300/R SystemUpdate Utility]\r\nXpos=3\r\n");
}

TEST_F(ProfileLayout, TruncatedLastLineGetsItsBreakBeforeNewLines) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpo");
  EXPECT_EQ(profile_get_int(kSec, "Xpos", 40, ini.c_str()), 40);
  ASSERT_EQ(write_key(ini, "Xpos", "4"), 1);
  EXPECT_EQ(read_file_bytes(ini), "[XR3300/R SystemUpdate Utility]\r\nXpo\r\nXpos=4\r\n");
  const std::string other = dir.file("other.ini");
  write_file_bytes(other, "[Other]\nA=1");
  ASSERT_EQ(write_key(other, "Xpos", "4"), 1);
  EXPECT_EQ(read_file_bytes(other), "[Other]\nA=1\n[XR3300/R SystemUpdate Utility]\nXpos=4\n");
}

TEST_F(ProfileLayout, BinaryBytesAroundTheKeysAreKept) {
  const std::string before = std::string("\x01\x02\xff\r\n[XR3300/R SystemUpdate Utility]\r\nA=x\0y\r\n", 45) +
                             "Xpos=1\r\n\xfe\xfd" + std::string(1, '\0') + "\x7f\r\n";
  write_file_bytes(ini, before);
  EXPECT_EQ(get_text(ini, "A"), "x");  // cut at the zero byte
  EXPECT_EQ(profile_get_int(kSec, "Xpos", 40, ini.c_str()), 1);
  ASSERT_EQ(write_key(ini, "Ypos", "6"), 1);
  const std::string after = read_file_bytes(ini);
  EXPECT_EQ(after, before + "Ypos=6\r\n");
  EXPECT_NE(after.find(std::string("A=x\0y\r\nXpos=1\r\n", 15)), std::string::npos);
}

TEST_F(ProfileLayout, HugeFileGivesDefaultsAndIsNotRewritten) {
  std::string huge = "[XR3300/R SystemUpdate Utility]\r\nXpos=5\r\n";
  huge.append(size_t{17} << 20, 'h');
  write_file_bytes(ini, huge);
  EXPECT_EQ(profile_get_int(kSec, "Xpos", 40, ini.c_str()), 40);
  EXPECT_EQ(write_key(ini, "Xpos", "6"), 0);
  EXPECT_EQ(fs::file_size(ini), huge.size());
  EXPECT_EQ(file_count(dir.path()), 1);
}

TEST_F(ProfileLayout, FolderInPlaceOfTheFileGivesDefaults) {
  fs::create_directory(ini);
  EXPECT_EQ(profile_get_int(kSec, "Xpos", 40, ini.c_str()), 40);
  EXPECT_EQ(get_text(ini, "Xpos"), "");
  EXPECT_EQ(write_key(ini, "Xpos", "6"), 0);
  EXPECT_TRUE(fs::is_directory(ini));
}

TEST_F(ProfileLayout, NoTemporaryFileIsLeftBehind) {
  for (int i = 0; i < 5; ++i) ASSERT_EQ(write_key(ini, "Xpos", std::to_string(i).c_str()), 1);
  EXPECT_EQ(file_count(dir.path()), 1);
}

constexpr uid_t kNobody = 65534;

// Runs `body` as a user without privileges (in a child process when this one
// is root, since root writes anywhere); its result, or -1.
int as_plain_user(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
    ::_exit(dropped ? body() : 99);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

uid_t plain_uid() { return ::geteuid() == 0 ? kNobody : ::geteuid(); }

// The settings of that run are not lost: the file is rewritten where it is.
TEST_F(ProfileLayout, WritableFileInAReadOnlyFolderIsRewrittenInPlace) {
  const std::string folder = dir.file("locked");
  fs::create_directory(folder);
  const std::string locked = folder + "/xrupdate.ini";
  write_file_bytes(locked, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\nCurrentPath=/a/long/folder\r\n");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(locked.c_str(), plain_uid(), static_cast<gid_t>(-1)), 0);
  }
  ::chmod(folder.c_str(), 0555);
  const int written = as_plain_user([&] { return write_key(locked, "CurrentPath", "/b"); });
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(read_file_bytes(locked), "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\nCurrentPath=/b\r\n");
  EXPECT_EQ(file_count(folder), 1);
}

// Another user's file that this user may write keeps its owner: a rename
// would hand it to this user.
TEST_F(ProfileLayout, FileOfAnotherOwnerIsRewrittenInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another owner";
  ::chmod(dir.path().c_str(), 0777);
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\n");
  ASSERT_EQ(::chown(ini.c_str(), 0, kNobody), 0);
  ASSERT_EQ(::chmod(ini.c_str(), 0664), 0);
  EXPECT_EQ(as_plain_user([&] { return write_key(ini, "Xpos", "2"); }), 1);
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  EXPECT_EQ(read_file_bytes(ini), "[XR3300/R SystemUpdate Utility]\r\nXpos=2\r\n");
  EXPECT_EQ(file_count(dir.path()), 1);
}

TEST_F(ProfileLayout, OwnerGroupAndModeAreKept) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\n");
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(ini.c_str(), 1234, 5678), 0);
  }
  ASSERT_EQ(::chmod(ini.c_str(), 0640), 0);
  ASSERT_EQ(write_key(ini, "Xpos", "2"), 1);
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  EXPECT_EQ(read_file_bytes(ini), "[XR3300/R SystemUpdate Utility]\r\nXpos=2\r\n");
}

TEST_F(ProfileLayout, NewFileTakesTheModeTheUmaskLeaves) {
  const mode_t previous = ::umask(027);
  const int written = write_key(ini, "Xpos", "1");
  ::umask(previous);
  ASSERT_EQ(written, 1);
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ProfileLayout, HardLinksStayOneFile) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\n");
  const std::string other = dir.file("other name.ini");
  ASSERT_EQ(::link(ini.c_str(), other.c_str()), 0);
  ASSERT_EQ(write_key(ini, "Xpos", "2"), 1);
  EXPECT_EQ(read_file_bytes(other), "[XR3300/R SystemUpdate Utility]\r\nXpos=2\r\n");
  EXPECT_TRUE(fs::equivalent(ini, other));
  EXPECT_EQ(file_count(dir.path()), 2);
}

TEST_F(ProfileLayout, DanglingLinkIsWrittenThroughToItsFile) {
  fs::create_directory(dir.file("real"));
  fs::create_symlink("real/settings.ini", ini);  // relative, to a file not there yet
  ASSERT_EQ(write_key(ini, "Xpos", "3"), 1);
  EXPECT_TRUE(fs::is_symlink(ini));
  EXPECT_EQ(read_file_bytes(dir.file("real/settings.ini")), "[XR3300/R SystemUpdate Utility]\r\nXpos=3\r\n");
  // A chain of links ends at the same file; a loop is refused.
  const std::string chain = dir.file("chain.ini");
  fs::create_symlink(ini, chain);
  ASSERT_EQ(write_key(chain, "Ypos", "4"), 1);
  EXPECT_EQ(read_file_bytes(dir.file("real/settings.ini")),
            "[XR3300/R SystemUpdate Utility]\r\nXpos=3\r\nYpos=4\r\n");
  fs::create_symlink(dir.file("loop2.ini"), dir.file("loop1.ini"));
  fs::create_symlink(dir.file("loop1.ini"), dir.file("loop2.ini"));
  EXPECT_EQ(write_key(dir.file("loop1.ini"), "Xpos", "5"), 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("loop1.ini")));
}

TEST_F(ProfileLayout, WindowsReadingRulesKeepTheFileByteForByte) {
  // A later section of the same name, a key line without "=", lone CR line ends.
  const std::string before =
      "[XR3300/R SystemUpdate Utility]\rXpos\r; note\r[Other]\rA=1\r[XR3300/R SystemUpdate Utility]\rYpos=9\r";
  write_file_bytes(ini, before);
  ASSERT_EQ(write_key(ini, "Xpos", "5"), 1);
  ASSERT_EQ(write_key(ini, "Ypos", "6"), 1);
  EXPECT_EQ(read_file_bytes(ini),
            "[XR3300/R SystemUpdate Utility]\rXpos=5\r; note\rYpos=6\r[Other]\rA=1\r"
            "[XR3300/R SystemUpdate Utility]\rYpos=9\r");
}

TEST_F(ProfileLayout, FileInAMissingFolderIsNotCreated) {
  const std::string nowhere = dir.file("no folder") + "/xrupdate.ini";
  EXPECT_EQ(write_key(nowhere, "Xpos", "2"), 0);
  EXPECT_FALSE(fs::exists(dir.file("no folder")));
}

TEST_F(ProfileLayout, SymbolicLinkStaysALinkAndItsFileIsUpdated) {
  const std::string real = dir.file("real.ini");
  write_file_bytes(real, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\n");
  fs::create_symlink(real, ini);
  ASSERT_EQ(write_key(ini, "Xpos", "2"), 1);
  EXPECT_TRUE(fs::is_symlink(ini));
  EXPECT_EQ(read_file_bytes(real), "[XR3300/R SystemUpdate Utility]\r\nXpos=2\r\n");
}

TEST_F(ProfileLayout, FilePermissionsAreKept) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nXpos=1\r\n");
  ::chmod(ini.c_str(), 0600);
  ASSERT_EQ(write_key(ini, "Xpos", "2"), 1);
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ProfileLayout, LineBreaksInAValueAreRefused) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nCurrentPath=/a\r\n");
  EXPECT_EQ(write_key(ini, "CurrentPath", "/a\n[Evil]\nXpos=1"), 0);
  EXPECT_EQ(write_key(ini, "Bad\rKey", "1"), 0);
  EXPECT_EQ(read_file_bytes(ini), "[XR3300/R SystemUpdate Utility]\r\nCurrentPath=/a\r\n");
}

TEST_F(ProfileLayout, WorkingDirectoryWithBlanksAtItsEdgesIsWrittenQuoted) {
  const fs::path odd = fs::path(dir.path()) / "\ttwo ends ";
  fs::create_directory(odd);
  std::snprintf(inifile, sizeof inifile, "%s", ini.c_str());
  HostRecorder host;
  get_initial();
  ASSERT_TRUE(set_current_dir(odd.string().c_str()));
  set_initial(nullptr);
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
  const std::string text = read_file_bytes(ini);
  EXPECT_NE(text.find("\r\nCurrentPath=\"" + fs::current_path().string() + "/\ttwo ends \"\r\n"),
            std::string::npos)
      << text;
  get_initial();
  EXPECT_TRUE(fs::equivalent(fs::current_path(), odd));
  EXPECT_TRUE(host.boxes().empty());
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
}

// ---- The serial device paths ----

class SettingsComDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(inifile, sizeof inifile, "%s", ini.c_str());
    for (int i = 0; i < 4; ++i) std::snprintf(com_device_path[i], kComDevicePathSize, "/dev/ttyS%d", i);
    xsize = 400;
    ysize = 150;
  }
  void TearDown() override {
    for (int i = 0; i < 4; ++i) std::snprintf(com_device_path[i], kComDevicePathSize, "/dev/ttyS%d", i);
  }

  TempDir dir;
  HostRecorder host;
  FakeMidiDevices devices{{{"Out A"}}, {{"In A"}}};
  std::string ini = dir.file("xrupdate.ini");
};

TEST_F(SettingsComDevices, DefaultsWithoutKeys) {
  get_initial();
  EXPECT_STREQ(com_device_path[0], "/dev/ttyS0");
  EXPECT_STREQ(com_device_path[3], "/dev/ttyS3");
}

TEST_F(SettingsComDevices, PathsAreLoadedWhenPresent) {
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\nCom1Device=/dev/ttyUSB0\nCom3Device=/dev/pts/7\n"
                        "Com4Device=\n");
  get_initial();
  EXPECT_STREQ(com_device_path[0], "/dev/ttyUSB0");
  EXPECT_STREQ(com_device_path[1], "/dev/ttyS1");
  EXPECT_STREQ(com_device_path[2], "/dev/pts/7");
  EXPECT_STREQ(com_device_path[3], "/dev/ttyS3");  // an empty value keeps the default
}

TEST_F(SettingsComDevices, PathsAreSavedAfterTheOtherKeys) {
  get_initial();
  std::snprintf(com_device_path[1], kComDevicePathSize, "%s", "/dev/ttyACM0");
  set_initial(nullptr);
  const std::string text = read_file_bytes(ini);
  const size_t current = text.find("CurrentPath=");
  ASSERT_NE(current, std::string::npos);
  const size_t com = text.find("\r\nCom1Device=/dev/ttyS0\r\nCom2Device=/dev/ttyACM0\r\n"
                               "Com3Device=/dev/ttyS2\r\nCom4Device=/dev/ttyS3\r\n");
  ASSERT_NE(com, std::string::npos) << text;
  EXPECT_LT(current, com);
  EXPECT_EQ(com + std::strlen("\r\nCom1Device=/dev/ttyS0\r\nCom2Device=/dev/ttyACM0\r\n"
                              "Com3Device=/dev/ttyS2\r\nCom4Device=/dev/ttyS3\r\n"),
            text.size());
}

// Device paths with blanks or quotes at their ends, or blanks and non-ASCII
// bytes inside, read back as they were saved.
TEST_F(SettingsComDevices, PathsWithBlanksQuotesAndNonAsciiBytesRoundTrip) {
  const char* const paths[4] = {"/dev/serial/by-id/usb adapter ", " /dev/ttyUSB1", "'/dev/ttyACM0'",
                                "/dev/ser\xc3\xa4l \"0\""};
  get_initial();
  for (int i = 0; i < 4; ++i) std::snprintf(com_device_path[i], kComDevicePathSize, "%s", paths[i]);
  set_initial(nullptr);
  for (auto& path : com_device_path) path[0] = '\0';
  get_initial();
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(com_device_path[i], paths[i]) << read_file_bytes(ini);
}

// The save says how many keys it could not write, so that a lost save can be told.
TEST_F(SettingsComDevices, SaveCountsTheKeysItCouldNotWrite) {
  get_initial();
  EXPECT_EQ(set_initial(nullptr), 0);
  fs::remove(ini);
  fs::create_directory(ini);  // a folder where the file should be: nothing can be written
  EXPECT_EQ(set_initial(nullptr), 14);  // ten common keys and Com1Device..Com4Device
  fs::remove(ini);
  EXPECT_EQ(set_initial(nullptr), 0);  // and the count starts again at every save
}

TEST_F(SettingsComDevices, PathsComeFromTheFileEvenWhenTheWorkingDirectoryMoves) {
  fs::create_directory(dir.file("elsewhere"));
  write_file_bytes(ini, "[XR3300/R SystemUpdate Utility]\r\nCurrentPath=" + dir.file("elsewhere") +
                            "\r\nCom1Device=/dev/ttyUSB3\r\n");
  std::snprintf(inifile, sizeof inifile, "%s", "xrupdate.ini");  // named relative to the start folder
  get_initial();
  EXPECT_STREQ(com_device_path[0], "/dev/ttyUSB3");
  EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.file("elsewhere")));
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
}

// One save writes the file once, whatever the number of keys: one new file
// beside it, written and renamed over it.
TEST_F(SettingsComDevices, SaveWritesTheFileOnce) {
  for (const bool exists : {false, true}) {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
    xferrate = exists ? 2 : 1;
    EXPECT_EQ(set_initial(nullptr), 0);
    int created = 0, written = 0, renamed = 0;
    alignas(inotify_event) char events[8192];
    ssize_t n;
    while ((n = ::read(watch, events, sizeof events)) > 0) {
      for (char* at = events; at < events + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        created += (event->mask & IN_CREATE) != 0;
        written += (event->mask & IN_CLOSE_WRITE) != 0;
        renamed += (event->mask & IN_MOVED_TO) != 0;
        at += sizeof(inotify_event) + event->len;
      }
    }
    ::close(watch);
    EXPECT_EQ(created, 1) << (exists ? "over a file" : "a new file");
    EXPECT_EQ(written, 1);
    EXPECT_EQ(renamed, 1);
    EXPECT_NE(read_file_bytes(ini).find(exists ? "\r\nTransferRate=2\r\n" : "\r\nTransferRate=1\r\n"),
              std::string::npos);
    EXPECT_NE(read_file_bytes(ini).find("\r\nCom4Device=/dev/ttyS3\r\n"), std::string::npos);
  }
}

// ---- Links another user planted ----

// A link that the user "nobody" makes in a folder everyone may write (as /tmp
// is) is not followed by another user's save, nor read; the message about the
// file names the link. The user's own link there is followed as before.
TEST_F(SettingsComDevices, LinkAnotherUserPlantedInASharedFolderIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  const std::string shared = dir.file("shared");
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string victim = dir.file("victim");
  const std::string victim_text = "[XR3300/R SystemUpdate Utility]\r\nComPortNum=3\r\nsecret\r\n";
  write_file_bytes(victim, victim_text);
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const std::string planted = shared + "/x.ini";
  ASSERT_EQ(as_plain_user([&] { return ::symlink(victim.c_str(), planted.c_str()) == 0 ? 0 : 1; }), 0);

  std::snprintf(inifile, sizeof inifile, "%s", planted.c_str());
  get_initial();
  EXPECT_EQ(port, 1);  // not read through the link
  EXPECT_EQ(set_initial(nullptr), 14);
  EXPECT_EQ(read_file_bytes(victim), victim_text);
  EXPECT_TRUE(fs::is_symlink(planted));
  char why[512];
  ASSERT_EQ(settings_file_problem(planted.c_str(), 1, why, sizeof why), 1);
  EXPECT_NE(std::string(why).find("the link " + planted + ", which another user made"), std::string::npos) << why;

  // The same chain with the user's own link in front still ends at the planted one.
  const std::string own = dir.file("own.ini");
  fs::create_symlink(planted, own);
  std::snprintf(inifile, sizeof inifile, "%s", own.c_str());
  EXPECT_EQ(set_initial(nullptr), 14);
  EXPECT_EQ(read_file_bytes(victim), victim_text);

  const std::string mine = shared + "/mine.ini";
  fs::create_symlink(victim, mine);
  std::snprintf(inifile, sizeof inifile, "%s", mine.c_str());
  get_initial();
  EXPECT_EQ(port, 3);
  EXPECT_EQ(set_initial(nullptr), 0);
  EXPECT_NE(read_file_bytes(victim).find("secret"), std::string::npos);
  EXPECT_EQ(settings_file_problem(mine.c_str(), 1, why, sizeof why), 0) << why;
}

// The rule holds for every link on the path, not only the last name: a folder
// link another user planted in a shared folder is not followed either. In a
// folder everyone may write that is not sticky, even the folder owner's link
// is not followed (anyone could have moved it there).
TEST_F(SettingsComDevices, EveryLinkOnThePathPassesTheRule) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  const std::string mine = dir.file("mine");
  fs::create_directory(mine);
  const std::string victim = mine + "/x.ini";
  const std::string victim_text = "[XR3300/R SystemUpdate Utility]\r\nComPortNum=3\r\n";
  write_file_bytes(victim, victim_text);

  const std::string shared = dir.file("shared");
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string folder_link = shared + "/cfg";
  ASSERT_EQ(as_plain_user([&] { return ::symlink(mine.c_str(), folder_link.c_str()) == 0 ? 0 : 1; }), 0);
  std::snprintf(inifile, sizeof inifile, "%s/x.ini", folder_link.c_str());
  get_initial();
  EXPECT_EQ(port, 1);  // not read through the folder link
  EXPECT_NE(set_initial(nullptr), 0);
  EXPECT_EQ(read_file_bytes(victim), victim_text);
  char why[512];
  ASSERT_EQ(settings_file_problem(inifile, 1, why, sizeof why), 1);
  EXPECT_NE(std::string(why).find("the link " + folder_link + ","), std::string::npos) << why;

  // A folder of "nobody" that everyone may write, not sticky, with nobody's link.
  const std::string open_folder = dir.file("open");
  fs::create_directory(open_folder);
  ASSERT_EQ(::chown(open_folder.c_str(), plain_uid(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(::chmod(open_folder.c_str(), 0777), 0);
  const std::string owners_link = open_folder + "/x.ini";
  ASSERT_EQ(as_plain_user([&] { return ::symlink(victim.c_str(), owners_link.c_str()) == 0 ? 0 : 1; }), 0);
  std::snprintf(inifile, sizeof inifile, "%s", owners_link.c_str());
  get_initial();
  EXPECT_EQ(port, 1);
  EXPECT_NE(set_initial(nullptr), 0);
  EXPECT_EQ(read_file_bytes(victim), victim_text);

  // Run as root: another user's link in that user's own folder, which nobody
  // else may write, is not followed either (HOME of another user, say).
  const std::string theirs = dir.file("theirs");
  fs::create_directory(theirs);
  ASSERT_EQ(::chmod(theirs.c_str(), 0755), 0);
  ASSERT_EQ(::chown(theirs.c_str(), plain_uid(), static_cast<gid_t>(-1)), 0);
  const std::string their_link = theirs + "/x.ini";
  ASSERT_EQ(as_plain_user([&] { return ::symlink(victim.c_str(), their_link.c_str()) == 0 ? 0 : 1; }), 0);
  std::snprintf(inifile, sizeof inifile, "%s", their_link.c_str());
  get_initial();
  EXPECT_EQ(port, 1);
  EXPECT_NE(set_initial(nullptr), 0);
  EXPECT_EQ(read_file_bytes(victim), victim_text);
  ASSERT_EQ(settings_file_problem(inifile, 1, why, sizeof why), 1);
  EXPECT_NE(std::string(why).find("a program run as root does not follow it"), std::string::npos) << why;

  // The user's own folder link in a folder only the user writes is followed.
  const std::string own_link = dir.file("own");
  fs::create_symlink(mine, own_link);
  std::snprintf(inifile, sizeof inifile, "%s/x.ini", own_link.c_str());
  get_initial();
  EXPECT_EQ(port, 3);
  EXPECT_EQ(set_initial(nullptr), 0);
  EXPECT_TRUE(fs::is_regular_file(victim));
  EXPECT_NE(read_file_bytes(victim).find("ComPortNum=3"), std::string::npos);
}

// ---- Working directories that cannot be stored ----

TEST_F(SettingsComDevices, WorkingDirectoryTooLongIsSavedEmpty) {
  fs::path deep = dir.path();
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  fs::create_directories(deep);
  get_initial();
  ASSERT_TRUE(set_current_dir(deep.string().c_str()));
  set_initial(nullptr);
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
  EXPECT_NE(read_file_bytes(ini).find("\r\nCurrentPath=\r\n"), std::string::npos);
}

TEST_F(SettingsComDevices, WorkingDirectoryWithLineBreakIsSavedEmpty) {
  const fs::path odd = fs::path(dir.path()) / "two\nlines";
  fs::create_directory(odd);
  get_initial();
  ASSERT_TRUE(set_current_dir(odd.string().c_str()));
  set_initial(nullptr);
  ASSERT_TRUE(set_current_dir(dir.path().c_str()));
  const std::string text = read_file_bytes(ini);
  EXPECT_NE(text.find("\r\nCurrentPath=\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("lines"), std::string::npos);
}

}  // namespace
