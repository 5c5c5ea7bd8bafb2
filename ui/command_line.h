#pragma once
// The command line: update-file paths and the switch "/h".

constexpr int kCmdPathSize = 260;

struct CmdLine {
  char path[kCmdPathSize];  // full path of the last argument that names an existing file; empty if none
  int no_foreground;        // 1 when "/h" (or "/H...") was given
};

// Fills `record` from argv[1] onward.
void analyze_cmdline(CmdLine* record, int argc, const char* const* argv);

// Resolves one argument to a full path spelled as the file system stores it.
// 1 with the path in out (kCmdPathSize bytes); 0 when it names nothing that exists
// or does not fit. One OS file each.
int resolve_path_argument(const char* argument, char* out);
