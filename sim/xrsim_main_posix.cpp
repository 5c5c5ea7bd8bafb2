// xrsim: the simulated XR3300 on a pseudo-terminal, a serial device or a raw
// MIDI device.
// Prints the path to open as the COM port (one line on stdout), then answers
// the program's device messages until SIGTERM/SIGINT (or the end of an update
// with --exit-on-complete, or the line closed by --close).

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/instrument.h"
#include "sim/pty_server.h"
#include "sim/sim_options.h"
#include "support/program_info.h"

namespace {

PtyServer g_server;
bool g_trace = false;

void on_signal(int) { pty_server_stop(g_server); }

void trace(char direction, const unsigned char* bytes, int n) {
  if (!g_trace) return;
  std::fprintf(stderr, "%c", direction);
  for (int i = 0; i < n; ++i) std::fprintf(stderr, " %02X", bytes[i]);
  std::fprintf(stderr, "\n");
}

int usage_error(const char* option) {
  std::fprintf(stderr, "xrsim: bad or incomplete option: %s (see --help)\n", option);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string bad;
  if (!sim_parse_options(argc, argv, &options, &bad)) return usage_error(bad.c_str());
  if (options.help) {
    std::fputs(kSimUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("xrsim v%s\n", kProgramVersion);
    return 0;
  }
  g_trace = options.trace;
  // One write per traced line, not per byte: a traced packet stays quick.
  static char trace_buffer[4096];
  if (g_trace) std::setvbuf(stderr, trace_buffer, _IOLBF, sizeof trace_buffer);
  const SimConfig& config = options.config;

  std::string error;
  const int opened = options.midi != nullptr ? pty_server_open_midi(g_server, options.midi, &error)
                                             : pty_server_open(g_server, options.tty, options.baud, &error);
  g_server.slow_size = options.slow_size;
  g_server.slow_rate = options.slow_rate;
  if (!opened) {
    std::fprintf(stderr, "xrsim: %s\n", error.c_str());
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", g_server.path.c_str());
  std::fflush(stdout);

  SimInstrument sim;
  sim_reset(sim, config);
  PtyServeEnd end = pty_server_run(g_server, sim, options.exit_on_complete, trace);
  pty_server_close(g_server);

  const SimRecord& r = sim.record;
  char lost[64] = "";
  if (g_server.slow_size > 0) std::snprintf(lost, sizeof lost, "; %ld bytes lost to a full input buffer",
                                            g_server.overruns.load());
  std::fprintf(stderr, "xrsim: %d messages, %d of %d packets, %d update(s) completed%s%s%s%s\n",
               r.messages, r.packets, r.expected_packets, r.updates_completed,
               r.last_error.empty() ? "" : "; last error: ", r.last_error.c_str(),
               r.image_written ? "; image written" : "", lost);
  if (end == kServeFailed) return 2;
  if (end == kServeClosed) return 3;
  return 0;
}
