// Where the built program reads and saves its settings when no --ini is
// given, and what it says when that place cannot hold them: the program run
// headless with an environment of the test's choosing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(XR_BINARY_DIR) + "/xrupdate";
constexpr const char* kHeader = "[XR3300/R SystemUpdate Utility]\r\n";
// No serial device opens and there is no MIDI device here: the run ends with
// status 4 (link not opened) after start-up, and saves on the way out.
constexpr const char* kNoPorts =
    "Com1Device=/nonexistent/a\r\nCom2Device=/nonexistent/b\r\nCom3Device=/nonexistent/c\r\n"
    "Com4Device=/nonexistent/d\r\n";

struct Outcome {
  int status = -1;
  std::string err;
};

class SettingsPlace : public ::testing::Test {
 protected:
  TempDir dir;
  std::string home = dir.file("home");
  std::string update = dir.file("a.sys");

  void SetUp() override {
    if (::geteuid() != 0) {
      for (const char* port : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3"}) {
        if (::access(port, R_OK | W_OK) == 0)
          GTEST_SKIP() << port << " is open to this user: a run without settings would send to it";
      }
    }
    fs::create_directory(home);
    write_file_bytes(update, make_update_image(0, 2, 0));
  }

  // Runs `program` --batch on the sample with exactly these environment
  // entries. Run by root, the program runs as the user "nobody", who owns the
  // test's folder: the built-in serial ports (a console, on some machines) are
  // then closed to it, as they are to most users, and nothing is sent to them.
  Outcome run(const std::vector<std::string>& environment, const std::string& program = kProgram) {
    std::vector<std::string> env = environment;
    env.push_back("XDG_RUNTIME_DIR=" + dir.path());
    env.push_back("ASAN_OPTIONS=detect_leaks=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = {program, "--batch", update};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string err_file = dir.file("err.txt");
    const bool as_root = ::geteuid() == 0;
    if (as_root) give_to_nobody(dir.path());
    const int err_fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    Outcome result;
    if (err_fd < 0 || null_fd < 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (as_root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(err_fd, 2);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(err_fd);
    ::close(null_fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = read_file_bytes(err_file);
    return result;
  }

  static void give_to_nobody(const std::string& folder) {
    ::chmod(folder.c_str(), 0755);
    if (::lchown(folder.c_str(), 65534, 65534) != 0) return;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (::lchown(entry.path().c_str(), 65534, 65534) != 0) return;
    }
  }

  static bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

TEST_F(SettingsPlace, XdgConfigHomeHoldsTheFileAndItsFolderIsMadeOnSave) {
  const std::string xdg = dir.file("xdg");
  const Outcome r = run({"HOME=" + home, "XDG_CONFIG_HOME=" + xdg});
  EXPECT_EQ(r.status, 4) << r.err;
  const std::string ini = xdg + "/xrupdate/xrupdate.ini";
  ASSERT_TRUE(fs::exists(ini)) << r.err;
  EXPECT_TRUE(has(read_file_bytes(ini), "ComBaudRate=38400\r\n"));
  struct stat st;
  ASSERT_EQ(::stat((xdg + "/xrupdate").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(home + "/.config"));
  EXPECT_FALSE(has(r.err, "settings file"));
}

TEST_F(SettingsPlace, HomeConfigWhenXdgIsUnsetOrRelative) {
  Outcome r = run({"HOME=" + home});
  EXPECT_EQ(r.status, 4) << r.err;
  const std::string ini = home + "/.config/xrupdate/xrupdate.ini";
  ASSERT_TRUE(fs::exists(ini)) << r.err;
  fs::remove(ini);
  r = run({"HOME=" + home, "XDG_CONFIG_HOME=relative/conf"});
  EXPECT_TRUE(fs::exists(ini)) << r.err;
  EXPECT_FALSE(fs::exists(dir.file("relative")));
}

TEST_F(SettingsPlace, SettingsAreReadFromTheConfigFolder) {
  const std::string xdg = dir.file("xdg");
  fs::create_directories(xdg + "/xrupdate");
  const std::string ini = xdg + "/xrupdate/xrupdate.ini";
  write_file_bytes(ini, "; mine\r\n" + std::string(kHeader) + "SkipVersionCheck=1\r\n" + kNoPorts +
                            "[Other]\r\nKeep=this\r\n");
  const Outcome r = run({"HOME=" + home, "XDG_CONFIG_HOME=" + xdg});
  EXPECT_EQ(r.status, 4) << r.err;
  const std::string text = read_file_bytes(ini);
  EXPECT_EQ(text.rfind("; mine\r\n[XR3300/R SystemUpdate Utility]\r\nSkipVersionCheck=1\r\n", 0), 0u) << text;
  EXPECT_TRUE(has(text, "Com1Device=/nonexistent/a\r\n"));
  // Saved by this run: --batch keeps the configured serial link when no port opens.
  EXPECT_TRUE(has(text, "DeviceType=0\r\n"));
  EXPECT_TRUE(has(text, "[Other]\r\nKeep=this\r\n"));
}

TEST_F(SettingsPlace, WritablePortableCopyBesideTheProgramIsUsed) {
  const std::string bin = dir.file("bin");
  fs::create_directory(bin);
  fs::copy_file(kProgram, bin + "/xrupdate");
  write_file_bytes(bin + "/xrupdate.ini", std::string(kHeader) + "SkipVersionCheck=1\r\n" + kNoPorts);
  const Outcome r = run({"HOME=" + home, "XDG_CONFIG_HOME=" + dir.file("xdg")}, bin + "/xrupdate");
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(has(read_file_bytes(bin + "/xrupdate.ini"), "DeviceType=0\r\n"));  // saved by this run
  EXPECT_FALSE(fs::exists(dir.file("xdg")));
  // A folder in its place is no portable copy: the config folder is used.
  fs::remove(bin + "/xrupdate.ini");
  fs::create_directory(bin + "/xrupdate.ini");
  run({"HOME=" + home, "XDG_CONFIG_HOME=" + dir.file("xdg")}, bin + "/xrupdate");
  EXPECT_TRUE(fs::exists(dir.file("xdg/xrupdate/xrupdate.ini")));
}

TEST_F(SettingsPlace, ConfigFolderThatCannotBeMadeIsToldAndTheRunGoesOn) {
  write_file_bytes(home + "/.config", "a file where the folder should be");
  const Outcome r = run({"HOME=" + home});
  EXPECT_EQ(r.status, 4) << r.err;  // the run itself is as without the problem
  EXPECT_TRUE(has(r.err, "The settings file\n" + home + "/.config/xrupdate/xrupdate.ini\ncannot be saved: " + home +
                             "/.config is not a folder.\nThe changes of this run are lost."))
      << r.err;
  EXPECT_FALSE(has(r.err, "cannot be read")) << r.err;  // a file not there yet reads as the defaults
  EXPECT_EQ(read_file_bytes(home + "/.config"), "a file where the folder should be");
}

TEST_F(SettingsPlace, FolderInPlaceOfTheFileIsToldOnReadAndOnSave) {
  fs::create_directories(home + "/.config/xrupdate/xrupdate.ini");
  const Outcome r = run({"HOME=" + home});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(has(r.err, "cannot be read: it is a folder.\nThe default settings are used.")) << r.err;
  EXPECT_TRUE(has(r.err, "cannot be saved: it is a folder.\nThe changes of this run are lost.")) << r.err;
  EXPECT_TRUE(fs::is_directory(home + "/.config/xrupdate/xrupdate.ini"));
}

TEST_F(SettingsPlace, DanglingLinks) {
  fs::create_directories(home + "/.config/xrupdate");
  const std::string ini = home + "/.config/xrupdate/xrupdate.ini";
  // A link to a file not made yet: the save makes it, and the link stays.
  fs::create_symlink(dir.file("kept.ini"), ini);
  Outcome r = run({"HOME=" + home});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_FALSE(has(r.err, "settings file")) << r.err;
  EXPECT_TRUE(fs::is_symlink(ini));
  EXPECT_TRUE(has(read_file_bytes(dir.file("kept.ini")), "ComPortNum="));
  // A link into a folder that does not exist: told, and the link stays as it was.
  fs::remove(ini);
  fs::create_symlink(dir.file("gone/x.ini"), ini);
  r = run({"HOME=" + home});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(has(r.err, "cannot be saved: it is a link to " + dir.file("gone/x.ini") + ", whose folder " +
                             dir.file("gone") + " does not exist."))
      << r.err;
  EXPECT_EQ(fs::read_symlink(ini), dir.file("gone/x.ini"));
}

TEST_F(SettingsPlace, HomeWithBlanksAndNonAsciiBytes) {
  const std::string odd = dir.file("h\xC3\xA9 me \xFF");
  fs::create_directory(odd);
  const Outcome r = run({"HOME=" + odd});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(fs::exists(odd + "/.config/xrupdate/xrupdate.ini")) << r.err;
}

}  // namespace
