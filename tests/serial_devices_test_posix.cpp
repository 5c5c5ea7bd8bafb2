// The serial devices the configuration form offers, and the check of a device
// chosen there: real pseudo-terminals, files and folders.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "support/settings.h"
#include "tests/test_support.h"
#include "link/serial_devices.h"

namespace fs = std::filesystem;

namespace {

// A pseudo-terminal pair; `path` names the side a program opens as a serial line.
struct Pty {
  int master = -1;
  std::string path;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) path = ::ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

std::string probe(const std::string& path, int* opened = nullptr) {
  char why[256];
  std::memset(why, 'x', sizeof why);
  const int result = serial_device_probe(path.c_str(), why, sizeof why);
  if (opened != nullptr) *opened = result;
  return result ? "opens" : why;
}

class SerialDevices : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override {
    for (int i = 0; i < 4; ++i) std::snprintf(com_device_path[i], kComDevicePathSize, "/dev/ttyS%d", i);
  }
  void TearDown() override { SetUp(); }
};

TEST_F(SerialDevices, OfferedUsbFirstThenAcmThenBuiltInEachByNumber) {
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyACM0", "ttyUSB0", "ttyS0", "ttyUSB12", "ttyUSB3"})
    write_file_bytes(dir.file(name), "");
  const std::vector<std::string> offered = serial_device_candidates(dir.path().c_str());
  const std::vector<std::string> expected = {
      dir.file("ttyUSB0"), dir.file("ttyUSB1"), dir.file("ttyUSB3"), dir.file("ttyUSB12"),
      dir.file("ttyACM0"), dir.file("ttyS0"),   dir.file("ttyS2"),   dir.file("ttyS10")};
  EXPECT_EQ(offered, expected);
}

TEST_F(SerialDevices, OtherNamesAndFoldersAreNotOffered) {
  for (const char* name : {"tty0", "tty", "ttyS", "ttyUSB", "ttyS1x", "ttyusb0", "ttySAC0", "xttyS0", "ttyS-1"})
    write_file_bytes(dir.file(name), "");
  fs::create_directory(dir.file("ttyS5"));
  write_file_bytes(dir.file("ttyACM7"), "");
  EXPECT_EQ(serial_device_candidates(dir.path().c_str()), std::vector<std::string>{dir.file("ttyACM7")});
  EXPECT_TRUE(serial_device_candidates(dir.file("no-such-folder").c_str()).empty());
}

TEST_F(SerialDevices, ManyDevicesAreCutToTheListsSize) {
  for (int i = 0; i < kSerialDeviceMax + 10; ++i) write_file_bytes(dir.file("ttyS" + std::to_string(i)), "");
  const std::vector<std::string> offered = serial_device_candidates(dir.path().c_str());
  ASSERT_EQ(static_cast<int>(offered.size()), kSerialDeviceMax);
  EXPECT_EQ(offered.back(), dir.file("ttyS" + std::to_string(kSerialDeviceMax - 1)));
}

TEST_F(SerialDevices, APseudoTerminalOpensAndThePortKeepsItsPath) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  EXPECT_EQ(probe(pty.path), "opens");
  EXPECT_STREQ(com_device_path[1], "/dev/ttyS1");  // trying a device changes no setting
  // Closed again: the port can be opened right after.
  std::snprintf(com_device_path[1], kComDevicePathSize, "%s", pty.path.c_str());
  const PortHandle port = port_open(2);
  EXPECT_NE(port, kInvalidPort);
  port_close(port);
}

TEST_F(SerialDevices, ADeviceInUseElsewhereDoesNotOpen) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  std::snprintf(com_device_path[0], kComDevicePathSize, "%s", pty.path.c_str());
  const PortHandle held = port_open(1);  // held as a running transfer holds it
  ASSERT_NE(held, kInvalidPort);
  EXPECT_EQ(probe(pty.path), "is in use by another program");
  port_close(held);
  EXPECT_EQ(probe(pty.path), "opens");
}

TEST_F(SerialDevices, ThingsThatAreNoSerialLine) {
  int opened = -1;
  EXPECT_EQ(probe(dir.file("ttyUSB9"), &opened), "does not exist");
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(probe(dir.file("missing/ttyUSB0")), "does not exist");
  write_file_bytes(dir.file("plain"), "data");
  EXPECT_EQ(probe(dir.file("plain")), "is not a terminal");
  fs::create_directory(dir.file("folder"));
  EXPECT_EQ(probe(dir.file("folder")), "is not a terminal");
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(probe(dir.file("fifo")), "is not a terminal");
  EXPECT_EQ(probe("/dev/null"), "is not a terminal");
  EXPECT_EQ(probe(""), "names no device");
  EXPECT_EQ(probe(std::string(300, 'a')), "cannot be reached (File name too long)");
  EXPECT_STREQ(com_device_path[0], "/dev/ttyS0");
}

TEST_F(SerialDevices, TheProgramsOwnTerminalIsRefused) {
  EXPECT_EQ(probe("/dev/tty"), "is the terminal this program runs in");
  // A terminal on a standard stream: a pseudo-terminal made this process's stdin.
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  const int saved = ::dup(0);
  const int slave = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ASSERT_EQ(::dup2(slave, 0), 0);
  const std::string result = probe(pty.path);
  ::dup2(saved, 0);
  ::close(saved);
  ::close(slave);
  EXPECT_EQ(result, "is the terminal this program runs in");
  EXPECT_EQ(probe(pty.path), "opens");
}

TEST_F(SerialDevices, LinkToATerminalWithBlanksAndOtherBytesInItsName) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  const std::string link = dir.file("usb adapter \xC3\xA9\xFE");
  fs::create_symlink(pty.path, link);
  EXPECT_EQ(probe(link), "opens");
  fs::create_symlink(dir.file("gone"), dir.file("dangling"));
  EXPECT_EQ(probe(dir.file("dangling")), "does not exist");
}

}  // namespace
