// Where the single-copy socket lives: a folder of this user that no one else
// may write, whatever another user made first or the environment names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"
#include "ui/single_copy.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSocketName = "/XR3300_R_SystemUpdate_Utility.sock";

class SocketPlace : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(temp);
    fs::create_directory(runtime);
    ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
  }

  // The socket's path and the note, from these inputs.
  int choose(const char* runtime_dir) {
    const SocketPlaceInputs inputs = {runtime_dir, temp.c_str(), cache.c_str(), nullptr};
    note[0] = '\0';
    path[0] = '\0';
    return single_copy_socket_path_in(inputs, path, sizeof path, note, sizeof note);
  }

  TempDir dir;
  std::string temp = dir.file("tmp");
  std::string runtime = dir.file("run");
  std::string cache = dir.file("cache");
  std::string own_temp = temp + "/xrupdate-" + std::to_string(::geteuid());
  char path[256];
  char note[1024];
};

TEST_F(SocketPlace, PrivateRuntimeFolderIsUsedSilently) {
  ASSERT_EQ(choose(runtime.c_str()), 1);
  EXPECT_EQ(std::string(path), runtime + kSocketName);
  EXPECT_STREQ(note, "");
  // Unset: the private folder in the temporary folder, made for this user.
  ASSERT_EQ(choose(nullptr), 1);
  EXPECT_EQ(std::string(path), own_temp + kSocketName);
  EXPECT_STREQ(note, "");
  struct stat st;
  ASSERT_EQ(::lstat(own_temp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A runtime folder that others may write, or too long for a socket's address,
// is told and passed over for the private folder.
TEST_F(SocketPlace, RuntimeFolderOthersMayWriteOrTooLongIsToldAndPassedOver) {
  ASSERT_EQ(::chmod(runtime.c_str(), 0777), 0);
  ASSERT_EQ(choose(runtime.c_str()), 1);
  EXPECT_EQ(std::string(path), own_temp + kSocketName);
  EXPECT_NE(std::string(note).find("The folder " + runtime + " cannot hold the socket"), std::string::npos) << note;
  EXPECT_NE(std::string(note).find("other users may write to it"), std::string::npos) << note;
  EXPECT_NE(std::string(note).find(own_temp + " is used instead."), std::string::npos) << note;

  std::string deep = dir.path();
  while (deep.size() < 120) deep += "/" + std::string(30, 'd');
  fs::create_directories(deep);
  ASSERT_EQ(::chmod(deep.c_str(), 0700), 0);
  ASSERT_EQ(choose(deep.c_str()), 1);
  EXPECT_EQ(std::string(path), own_temp + kSocketName);
  EXPECT_NE(std::string(note).find("too long"), std::string::npos) << note;
}

// Another user made this user's folder in the temporary folder first (or the
// runtime folder is theirs): the user's cache folder holds the socket instead,
// and both copies find it there.
TEST_F(SocketPlace, FolderAnotherUserMadeFirstIsToldAndPassedOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  ASSERT_EQ(::chmod(temp.c_str(), 01777), 0);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && ::mkdir(own_temp.c_str(), 0700) == 0 ? 0 : 1);
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  ASSERT_EQ(choose(nullptr), 1);
  EXPECT_EQ(std::string(path), cache + "/xrupdate" + kSocketName);
  EXPECT_NE(std::string(note).find("The folder " + own_temp + " cannot hold the socket"), std::string::npos) << note;
  EXPECT_NE(std::string(note).find("it belongs to another user"), std::string::npos) << note;
  EXPECT_NE(std::string(note).find(cache + "/xrupdate is used instead."), std::string::npos) << note;
  struct stat st;
  ASSERT_EQ(::lstat((cache + "/xrupdate").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const std::string first = path;
  ASSERT_EQ(choose(nullptr), 1);
  EXPECT_EQ(std::string(path), first);  // a second start looks in the same place

  ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
  ASSERT_EQ(choose(runtime.c_str()), 1);
  EXPECT_EQ(std::string(path), first);
  EXPECT_NE(std::string(note).find("The folder " + runtime + " cannot hold the socket through which a second "
                                    "start hands its file to this copy: it belongs to another user."),
            std::string::npos)
      << note;

  // With no folder left, that is told too.
  const SocketPlaceInputs none = {runtime.c_str(), temp.c_str(), nullptr, nullptr};
  EXPECT_EQ(single_copy_socket_path_in(none, path, sizeof path, note, sizeof note), 0);
  EXPECT_NE(std::string(note).find("a second start runs beside this copy"), std::string::npos) << note;
}

}  // namespace
