// The Windows console's `xrinfo FILE...`, run as its own process.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/test_support.h"

namespace {

struct ProgramRun {
  int status;
  std::string output;
};

// xrinfo.exe stands in the build folder, one level above the test program.
std::string xrinfo_path() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path = self;
  path.erase(path.find_last_of("\\/"));
  path.erase(path.find_last_of("\\/") + 1);
  return path + "xrinfo.exe";
}

// Runs xrinfo with `args`, its standard output and error going to a file.
ProgramRun run_xrinfo(const TempDir& dir, const std::string& args) {
  ProgramRun run{-1, {}};
  const std::string out_path = dir.file("xrinfo-output.txt");
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return run;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi = {};
  std::string command = "\"" + xrinfo_path() + "\" " + args;
  if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      run.status = static_cast<int>(code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(out);
  run.output = read_file_bytes(out_path);
  return run;
}

}  // namespace

TEST(InfoProgramWin32, XrinfoOnGoodAndBadFiles) {
  if (GetFileAttributesA(xrinfo_path().c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no xrinfo.exe";
  TempDir dir;
  write_file_bytes(dir.file("good.sys"), make_update_image(3, 2, 1));
  write_file_bytes(dir.file("bad.usr"), std::string(3000, '\0'));

  ProgramRun run = run_xrinfo(dir, "good.sys");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "good.sys: Type=ALL, Version=2.01, Size=1048576 bytes, Packets=128\r\n");

  run = run_xrinfo(dir, "good.sys bad.usr");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "good.sys: Type=ALL, Version=2.01, Size=1048576 bytes, Packets=128\r\n"
            "bad.usr: Illegal File_ID\r\n");

  run = run_xrinfo(dir, "");
  EXPECT_EQ(run.status, 2);
}
