#pragma once
// The Linux program's command line, read once with getopt_long: one command,
// the link chosen for this run, and the operands. Options come in any order,
// also after the files and whatever POSIXLY_CORRECT says; "--" ends them.

#include <cstdio>
#include <string>
#include <vector>

enum RunCommand : int {
  kRunFrontEnd = 0,  // the default
  kRunBatch,
  kRunInfo,
  kRunEmitSyx,
  kRunList,
  kRunQuery,
  kRunFind,
  kRunDryRun,
  kRunHelp,
  kRunVersion,
};

struct RunOptions {
  RunCommand command = kRunFrontEnd;
  const char* ini = nullptr;
  // The link for this run only (never saved).
  std::vector<std::string> ports;  // --port, in the order given
  const char* midi_out = nullptr;  // the first --midi-out and --midi-in
  const char* midi_in = nullptr;
  // Every --midi-out and --midi-in, in the order given: --batch takes several
  // pairs, the Nth output with the Nth input.
  std::vector<const char*> midi_outs;
  std::vector<const char*> midi_ins;
  // The links in the order named: 'p' for each --port, 'o' for each --midi-out
  // (the pair's place), so several instruments keep the order they were given in.
  std::string link_order;
  bool all = false;  // --batch --all: every instrument --find finds
  bool verify = false;          // --batch --verify: the versions asked again after the update
  int verify_timeout_s = 60;    // --verify-timeout: how long the instrument has to answer
  int rate = -1;  // --rate 0..3, -1 when not given
  bool skip_version_check = false;
  bool json = false;
  bool quiet = false;
  int timeout_ms = 1000;  // --find: how long each device has to answer
  bool first = false;     // --find: stop at the first instrument
  std::vector<const char*> operands;  // files, "/h"
  // --member K (internal): this run is instrument K (from 1) of a --batch of
  // several; its stdout and stderr are the runner's pipe, and what it shows
  // goes there as records.
  int member = 0;
  // A usage error's line (without "xrupdate: "), for the JSON object of a run that asked for one.
  std::string usage_error;
};

// Reads argv[1..]. 0 when it is a command line the program can run; else the
// exit status of a usage error (2) after one line on `err` (options->command
// and options->json then say what was read). -h/--help and -V/--version answer
// whatever else is given.
int parse_run_options(int argc, char** argv, RunOptions* options, FILE* err);

// Why a file operand cannot be used as an update file: "no such file", "is a
// directory", "its full path is longer than 259 characters".
std::string file_operand_problem(const char* operand);
// The operands that name files: "/h" and other switches left out.
std::vector<const char*> file_operands(const RunOptions& options);
// How many instruments a --batch names: its --port devices and MIDI pairs.
int named_instruments(const RunOptions& options);
// Whether this --batch updates several instruments (or every one found).
bool several_instruments(const RunOptions& options);
// The instrument a run with one link names, as the user gave it: the --port
// device, or "MIDI OUT / IN" (printable).
std::string instrument_label(const RunOptions& options);
