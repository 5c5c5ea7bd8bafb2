#pragma once
// xrsim's options: the simulated instrument's faults and versions, and how the
// tool serves it. One parser for the tool on a pseudo-terminal and for the
// browser stand-in that serves the same instrument to the page's tests.

#include <string>

#include "sim/instrument.h"

struct SimOptions {
  SimConfig config;
  const char* tty = nullptr;   // --tty PATH
  int baud = 38400;            // --baud N
  const char* midi = nullptr;  // --midi hw:C,D[,S]
  int slow_size = 0;           // --slow-input SIZE:RATE
  int slow_rate = 0;
  bool exit_on_complete = false;
  bool trace = false;
  bool help = false;           // --help (or -h): nothing else is read
  bool version = false;        // --version (or -V)
};

// The tool's usage text.
extern const char* const kSimUsage;

// Reads argv[1..argc-1] into *options. Returns 1; 0 with the offending option
// in *bad when an option is unknown or its value is not valid.
int sim_parse_options(int argc, const char* const* argv, SimOptions* options, std::string* bad);
