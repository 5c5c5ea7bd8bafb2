// Where the Linux program keeps its settings file: --ini, a portable copy
// beside the program, the user's config folder; and what it says about a place
// that cannot hold the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "support/settings.h"
#include "support/settings_path.h"
#include "tests/fake_midi_devices.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

struct Choice {
  int result;
  std::string path;
  int place;
};

Choice choose(const char* ini, const char* cwd, const char* program_dir, const char* xdg, const char* home) {
  const SettingsPathInputs inputs{ini, cwd, program_dir, xdg, home};
  char out[kIniPathSize];
  std::memset(out, 'x', sizeof out);
  int place = 0;
  const int result = settings_path_choose(inputs, out, sizeof out, &place);
  return Choice{result, result ? std::string(out) : std::string(), place};
}

// Runs `body` in a child process as the user "nobody", where a file's mode
// bits count (they do not for root). The child's exit status: 0 when `body`
// returned true.
int as_nobody(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

class SettingsPath : public ::testing::Test {
 protected:
  TempDir dir;
  std::string program_dir = dir.file("bin");
  void SetUp() override { fs::create_directory(program_dir); }
};

// ---- The order of choice ----

TEST_F(SettingsPath, GivenPathIsTakenAsItIs) {
  const Choice c = choose("/etc/other.ini", "/tmp", program_dir.c_str(), "/xdg", "/home/u");
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.path, "/etc/other.ini");
  EXPECT_EQ(c.place, kSettingsGiven);
}

TEST_F(SettingsPath, GivenRelativePathIsMadeAbsoluteAgainstTheStartFolder) {
  const Choice c = choose("conf/x.ini", "/srv/work", program_dir.c_str(), "/xdg", "/home/u");
  EXPECT_EQ(c.path, "/srv/work/conf/x.ini");
  EXPECT_EQ(choose("x.ini", "/", nullptr, nullptr, "/home/u").path, "/x.ini");
}

TEST_F(SettingsPath, GivenPathWinsOverAPortableCopy) {
  write_file_bytes(program_dir + "/xrupdate.ini", "");
  EXPECT_EQ(choose("/a.ini", "/", program_dir.c_str(), nullptr, "/home/u").path, "/a.ini");
}

TEST_F(SettingsPath, XdgConfigHomeWhenAbsolute) {
  const Choice c = choose(nullptr, "/", program_dir.c_str(), "/home/u/conf", "/home/u");
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.path, "/home/u/conf/xrupdate/xrupdate.ini");
  EXPECT_EQ(c.place, kSettingsConfig);
  EXPECT_EQ(choose(nullptr, "/", nullptr, "/home/u/conf/", "/home/u").path, "/home/u/conf/xrupdate/xrupdate.ini");
}

TEST_F(SettingsPath, HomeConfigWhenXdgIsUnsetEmptyOrRelative) {
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "conf", "./conf", "~/conf"}) {
    const Choice c = choose(nullptr, "/", program_dir.c_str(), xdg, "/home/u");
    EXPECT_EQ(c.path, "/home/u/.config/xrupdate/xrupdate.ini") << (xdg ? xdg : "(unset)");
    EXPECT_EQ(c.place, kSettingsConfig);
  }
}

TEST_F(SettingsPath, NoHomeAndNoXdgChoosesNothing) {
  EXPECT_EQ(choose(nullptr, "/", program_dir.c_str(), nullptr, nullptr).result, 0);
  EXPECT_EQ(choose(nullptr, "/", program_dir.c_str(), "rel", "also-rel").result, 0);
}

TEST_F(SettingsPath, PathThatDoesNotFitIsRefused) {
  const std::string home = "/" + std::string(240, 'h');
  EXPECT_EQ(choose(nullptr, "/", nullptr, nullptr, home.c_str()).result, 0);
  const std::string given = "/" + std::string(255, 'g');
  EXPECT_EQ(choose(given.c_str(), "/", nullptr, nullptr, "/h").result, 0);
  const std::string just = "/" + std::string(254, 'g');  // 255 characters fit
  EXPECT_EQ(choose(just.c_str(), "/", nullptr, nullptr, "/h").path, just);
}

TEST_F(SettingsPath, WritablePortableCopyBesideTheProgramIsUsed) {
  write_file_bytes(program_dir + "/xrupdate.ini", "[XR3300/R SystemUpdate Utility]\r\n");
  const Choice c = choose(nullptr, "/", program_dir.c_str(), "/xdg", "/home/u");
  EXPECT_EQ(c.path, program_dir + "/xrupdate.ini");
  EXPECT_EQ(c.place, kSettingsPortable);
}

TEST_F(SettingsPath, NoPortableCopyMeansTheConfigFolder) {
  EXPECT_EQ(choose(nullptr, "/", program_dir.c_str(), "/xdg", "/home/u").path, "/xdg/xrupdate/xrupdate.ini");
  // A folder of that name is no settings file.
  fs::create_directory(program_dir + "/xrupdate.ini");
  EXPECT_EQ(choose(nullptr, "/", program_dir.c_str(), "/xdg", "/home/u").place, kSettingsConfig);
}

TEST_F(SettingsPath, ReadOnlyPortableCopyIsPassedOver) {
  write_file_bytes(program_dir + "/xrupdate.ini", "[XR3300/R SystemUpdate Utility]\r\n");
  ::chmod(program_dir.c_str(), 0755);
  ::chmod(dir.path().c_str(), 0755);
  ::chmod((program_dir + "/xrupdate.ini").c_str(), 0444);
  const std::string folder = program_dir;
  EXPECT_EQ(as_nobody([&] {
              const Choice c = choose(nullptr, "/", folder.c_str(), "/xdg", "/home/u");
              return c.place == kSettingsConfig && c.path == "/xdg/xrupdate/xrupdate.ini";
            }),
            0);
  // Writable by its user, it is the portable copy again.
  ::chmod((program_dir + "/xrupdate.ini").c_str(), 0666);
  EXPECT_EQ(as_nobody([&] { return choose(nullptr, "/", folder.c_str(), "/xdg", "/h").place == kSettingsPortable; }),
            0);
}

TEST_F(SettingsPath, InputsComeFromTheEnvironment) {
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "";
  ::setenv("XDG_CONFIG_HOME", "/some/where", 1);
  SettingsPathInputs inputs;
  settings_path_inputs("given.ini", &inputs);
  EXPECT_STREQ(inputs.ini_override, "given.ini");
  EXPECT_STREQ(inputs.xdg_config_home, "/some/where");
  ASSERT_NE(inputs.program_dir, nullptr);
  EXPECT_TRUE(fs::exists(std::string(inputs.program_dir) + "/xr_tests")) << inputs.program_dir;
  EXPECT_TRUE(fs::equivalent(inputs.working_dir, dir.path()));
  ASSERT_NE(inputs.home, nullptr);
  EXPECT_EQ(inputs.home[0], '/');
  if (old_xdg) {
    ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

// ---- Making the config folder ----

TEST_F(SettingsPath, MissingFoldersAreMadeForTheUserOnly) {
  const std::string file = dir.file("home/.config/xrupdate/xrupdate.ini");
  char why[256] = "";
  ASSERT_EQ(settings_folder_make(file.c_str(), why, sizeof why), 1) << why;
  for (const char* folder : {"home", "home/.config", "home/.config/xrupdate"}) {
    struct stat st;
    ASSERT_EQ(::stat(dir.file(folder).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
  // Once made, again is no error, and a folder that exists keeps its mode.
  ::chmod(dir.file("home/.config").c_str(), 0755);
  EXPECT_EQ(settings_folder_make(file.c_str(), why, sizeof why), 1);
  struct stat st;
  ::stat(dir.file("home/.config").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(SettingsPath, FolderThatCannotBeMadeSaysWhich) {
  write_file_bytes(dir.file("plain"), "not a folder");
  const std::string file = dir.file("plain/xrupdate/xrupdate.ini");
  char why[512] = "";
  EXPECT_EQ(settings_folder_make(file.c_str(), why, sizeof why), 0);
  EXPECT_NE(std::string(why).find(dir.file("plain")), std::string::npos) << why;
  // A folder its user may not write in.
  fs::create_directory(dir.file("locked"));
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(dir.file("locked").c_str(), 0555);
  const std::string locked = dir.file("locked/xrupdate/xrupdate.ini");
  EXPECT_EQ(as_nobody([&] {
              char text[512] = "";
              return settings_folder_make(locked.c_str(), text, sizeof text) == 0 &&
                     std::string(text).find("cannot be made (Permission denied)") != std::string::npos;
            }),
            0);
}

// ---- A settings file that cannot be read or kept ----

std::string problem(const std::string& file, int for_saving) {
  char why[512] = "";
  return settings_file_problem(file.c_str(), for_saving, why, sizeof why) ? std::string(why) : "";
}

TEST_F(SettingsPath, MissingFileInAFolderIsNoProblem) {
  EXPECT_EQ(problem(dir.file("xrupdate.ini"), 0), "");
  EXPECT_EQ(problem(dir.file("xrupdate.ini"), 1), "");
  write_file_bytes(dir.file("xrupdate.ini"), "");
  EXPECT_EQ(problem(dir.file("xrupdate.ini"), 1), "");
}

TEST_F(SettingsPath, FolderInPlaceOfTheFile) {
  fs::create_directory(dir.file("xrupdate.ini"));
  EXPECT_EQ(problem(dir.file("xrupdate.ini"), 0), "it is a folder");
  EXPECT_EQ(problem(dir.file("xrupdate.ini"), 1), "it is a folder");
}

TEST_F(SettingsPath, DanglingLinkIsTroubleOnlyWhenItsFolderIsMissing) {
  fs::create_symlink(dir.file("later.ini"), dir.file("a.ini"));
  EXPECT_EQ(problem(dir.file("a.ini"), 0), "");
  EXPECT_EQ(problem(dir.file("a.ini"), 1), "");  // saving makes the file it names
  fs::create_symlink(dir.file("gone/x.ini"), dir.file("b.ini"));
  EXPECT_EQ(problem(dir.file("b.ini"), 0), "");
  EXPECT_EQ(problem(dir.file("b.ini"), 1),
            "it is a link to " + dir.file("gone/x.ini") + ", whose folder " + dir.file("gone") + " does not exist");
  fs::create_symlink("c.ini", dir.file("c.ini"));
  EXPECT_NE(problem(dir.file("c.ini"), 0).find("loop"), std::string::npos);
}

TEST_F(SettingsPath, LinkToAFolder) {
  fs::create_directory(dir.file("folder"));
  fs::create_symlink("folder", dir.file("x.ini"));
  EXPECT_EQ(problem(dir.file("x.ini"), 0), "it is a link to " + dir.file("folder") + ", which is a folder");
}

TEST_F(SettingsPath, SpecialFileAndMissingFolder) {
  ASSERT_EQ(::mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);
  EXPECT_EQ(problem(dir.file("fifo.ini"), 0), "it is not a plain file");
  EXPECT_EQ(problem(dir.file("none/x.ini"), 0), "");
  EXPECT_EQ(problem(dir.file("none/x.ini"), 1), "its folder " + dir.file("none") + " does not exist");
}

TEST_F(SettingsPath, FilesItsUserMayNotReadOrWrite) {
  ::chmod(dir.path().c_str(), 0755);
  write_file_bytes(dir.file("ro.ini"), "");
  ::chmod(dir.file("ro.ini").c_str(), 0444);
  write_file_bytes(dir.file("secret.ini"), "");
  ::chmod(dir.file("secret.ini").c_str(), 0200);
  const std::string ro = dir.file("ro.ini"), secret = dir.file("secret.ini");
  const std::string folder_file = dir.file("new.ini");
  EXPECT_EQ(as_nobody([&] {
              return problem(ro, 0).empty() && problem(ro, 1) == "it cannot be written (Permission denied)" &&
                     problem(secret, 0) == "it cannot be read (Permission denied)" &&
                     problem(folder_file, 1).find("its folder " + std::string(fs::path(folder_file).parent_path()) +
                                                  " cannot be written") == 0;
            }),
            0);
}

// ---- The whole round in a config folder with blanks and other bytes ----

TEST_F(SettingsPath, ConfigFolderWithBlanksAndNonAsciiBytes) {
  const std::string xdg = dir.file("my conf \xC3\xA9\xFF");
  const Choice c = choose(nullptr, "/", nullptr, xdg.c_str(), "/home/u");
  ASSERT_EQ(c.result, 1);
  EXPECT_EQ(c.path, xdg + "/xrupdate/xrupdate.ini");
  char why[256] = "";
  ASSERT_EQ(settings_folder_make(c.path.c_str(), why, sizeof why), 1) << why;

  HostRecorder host;
  FakeMidiDevices devices{{{"Out A"}}, {{"In A"}}};
  std::snprintf(inifile, sizeof inifile, "%s", c.path.c_str());
  xsize = 400;
  ysize = 150;
  get_initial();
  skipver = 1;
  std::snprintf(com_device_path[1], kComDevicePathSize, "%s", "/dev/serial/by-id/usb-Caf\xC3\xA9 Adapter-if00");
  set_initial(nullptr);
  skipver = 0;
  std::snprintf(com_device_path[1], kComDevicePathSize, "%s", "/dev/ttyS1");
  get_initial();
  EXPECT_EQ(skipver, 1);
  EXPECT_STREQ(com_device_path[1], "/dev/serial/by-id/usb-Caf\xC3\xA9 Adapter-if00");
  EXPECT_TRUE(host.boxes().empty());
  std::snprintf(com_device_path[1], kComDevicePathSize, "%s", "/dev/ttyS1");
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
}

}  // namespace
