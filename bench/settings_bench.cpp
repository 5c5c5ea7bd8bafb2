// Reading the settings file: a whole load (every key the program reads) of a
// file made of line breaks only, the worst case for the line scanner, at
// sizes up to just under the 16 MiB limit. The time must grow linearly with
// the size (the reported complexity is O(N)) and the memory the load takes
// must stay a small multiple of the file (the "peak_MiB" counter: the growth
// of the process's peak resident size during the load).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/profile.h"

namespace {

constexpr const char* kSection = "XR3300/R SystemUpdate Utility";
constexpr const char* kKeys[] = {"Warning",          "Xpos",         "Ypos",           "ComPortNum",
                                 "DeviceType",       "ComBaudRate",  "OutputMidiDevice", "InputMidiDevice",
                                 "SkipVersionCheck", "TransferRate", "CurrentPath",    "Com1Device",
                                 "Com2Device",       "Com3Device",   "Com4Device"};

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string make_file(size_t size) {
  char name[] = "/tmp/xr-settings-bench.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) std::abort();
  close(fd);
  FILE* f = std::fopen(name, "wb");
  const std::string breaks(size, '\n');
  std::fwrite(breaks.data(), 1, breaks.size(), f);
  std::fclose(f);
  return name;
}

void BM_SettingsLoadOfLineBreaks(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const std::string file = make_file(size);
  const long before = peak_kib();
  for (auto _ : state) {
    char text[256];
    int total = 0;
    for (const char* key : kKeys) {
      total += profile_get_int(kSection, key, 1, file.c_str());
      total += profile_get_string(kSection, key, text, sizeof text, file.c_str());
    }
    benchmark::DoNotOptimize(total);
  }
  state.counters["peak_MiB"] = static_cast<double>(peak_kib() - before) / 1024.0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
  state.SetComplexityN(static_cast<int64_t>(size));
  std::remove(file.c_str());
}

}  // namespace

BENCHMARK(BM_SettingsLoadOfLineBreaks)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Arg((16 << 20) - 1)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
