#pragma once
// The command line: update-file paths and the switch "/h".

constexpr int kCmdPathSize = 260;

struct CmdLine {
  char path[kCmdPathSize];  // full path of the last argument that names an existing file; empty if none
  int no_foreground;        // 1 when "/h" (or "/H...") was given
  int refused_too_long;     // 1 when an argument was refused because its path does not fit
};

// Fills `record` from argv[1] onward.
void analyze_cmdline(CmdLine* record, int argc, const char* const* argv);

// What resolve_path_argument returns for a path that is too long to use whole:
// it is refused, never cut (a shortened path may name another file).
constexpr int kResolveTooLong = -1;

// Resolves one argument to a full path spelled as the file system stores it.
// 1 with the path in out (kCmdPathSize bytes); 0 when it names nothing that exists;
// 0 or kResolveTooLong when it does not fit. One OS file each.
int resolve_path_argument(const char* argument, char* out);
