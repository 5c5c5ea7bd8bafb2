// A whole SYSTEM update into the simulated instrument over a pseudo-terminal at
// unlimited line speed. Reports, per packet, the time beyond the fixed 20 ms
// wait (wall time, which includes the simulated instrument and the line, and
// the transfer thread's own CPU time), median and worst, and the heap
// allocations made on the transfer thread while it runs (there should be none).
// XR_BENCH_NO_LOG=1 runs without the support log and its commit per entry.

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/transfer.h"
#include "engine/update_file.h"
#include "link/serial_link.h"
#include "sim/instrument.h"
#include "sim/pty_server.h"
#include "support/command_ids.h"
#include "support/settings.h"
#include "support/support_log.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && defined(__GLIBC__)
#define XR_COUNT_ALLOCATIONS 1
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_counting{false};
std::atomic<pthread_t> g_transfer_thread{};
std::atomic<bool> g_have_thread{false};
std::atomic<long> g_allocations{0};

[[maybe_unused]] void count_allocation() {
  if (g_counting.load(std::memory_order_relaxed) && g_have_thread.load(std::memory_order_relaxed) &&
      pthread_equal(pthread_self(), g_transfer_thread.load(std::memory_order_relaxed))) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Clock::time_point> g_packet_times;
std::vector<double> g_packet_cpu_ms;  // the transfer thread's own CPU time at each reply line
bool g_ended = false;
intptr_t g_completed = 0;

// The display: the time each packet's reply line is written.
void on_textout(int line, const char* text) {
  if (!g_have_thread.load()) {
    g_transfer_thread.store(pthread_self());
    g_have_thread.store(true);
  }
  if (line == 2 && std::strncmp(text, "Tx Packet:", 10) == 0) {
    const auto now = Clock::now();
    timespec cpu;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_packet_times.push_back(now);
    g_packet_cpu_ms.push_back(cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6);
  }
}

void on_post(WindowHandle, int id, intptr_t lparam) {
  if (id != IDM_TFR_END) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_ended = true;
  g_completed = lparam;
  g_changed.notify_all();
}

void BM_SystemUpdateOverSerial(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("xrbench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path previous = fs::current_path();
  fs::current_path(dir);

  std::string image(262144, '\0');
  std::mt19937 rng(3);
  for (auto& c : image) c = static_cast<char>(rng());
  std::memcpy(&image[0], "PELD\x02\x00\x58\x00", 8);
  std::ofstream(dir / "bench.sys", std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

  HostSinks sinks = {};
  sinks.textout = on_textout;
  sinks.post_command = on_post;
  host_install(sinks);
  if (std::getenv("XR_BENCH_NO_LOG") == nullptr) open_log();
  init_tfr();

  std::vector<double> extra_ms;
  std::vector<double> cpu_ms;
  for (auto _ : state) {
    PtyServer server;
    std::string error;
    if (!pty_server_open(server, nullptr, 38400, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    SimInstrument sim;
    sim_reset(sim, SimConfig{});
    std::thread serving([&] { pty_server_run(server, sim, false); });
    std::snprintf(com_device_path[0], kComDevicePathSize, "%s", server.path.c_str());
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_packet_times.clear();
      g_packet_cpu_ms.clear();
      g_ended = false;
    }
    g_have_thread.store(false);
    g_allocations.store(0);
    set_comm(nullptr, 1, 38400);
    const auto start = Clock::now();
    g_counting.store(true);
    tfr_main(nullptr, (dir / "bench.sys").c_str(), 0, 0, 0);
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_changed.wait_for(lock, std::chrono::seconds(60), [] { return g_ended; });
    }
    g_counting.store(false);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    free_comm();
    tfr_end();
    pty_server_stop(server);
    serving.join();
    pty_server_close(server);
    if (g_completed != 1) {
      state.SkipWithError("the update did not complete");
      break;
    }
    // Between two reply lines lie the 20 ms wait after a reply and the next
    // packet's building, sending and reply.
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 1; i < g_packet_times.size(); ++i) {
      const double ms = std::chrono::duration<double, std::milli>(g_packet_times[i] - g_packet_times[i - 1]).count();
      extra_ms.push_back(ms - 20.0);
      cpu_ms.push_back(g_packet_cpu_ms[i] - g_packet_cpu_ms[i - 1]);
    }
  }
  // Wall time includes the simulated instrument's own work and the line;
  // the thread's CPU time is the host's alone.
  std::sort(extra_ms.begin(), extra_ms.end());
  std::sort(cpu_ms.begin(), cpu_ms.end());
  if (!extra_ms.empty()) {
    state.counters["wall_extra_ms_median"] = extra_ms[extra_ms.size() / 2];
    state.counters["wall_extra_ms_worst"] = extra_ms.back();
    state.counters["host_cpu_ms_median"] = cpu_ms[cpu_ms.size() / 2];
    state.counters["host_cpu_ms_worst"] = cpu_ms.back();
  }
#if defined(XR_COUNT_ALLOCATIONS)
  state.counters["allocations"] = static_cast<double>(g_allocations.load());
#else
  state.counters["allocations"] = -1;  // not counted under a sanitizer
#endif

  free_tfr();
  close_log();
  host_reset();
  fs::current_path(previous);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

BENCHMARK(BM_SystemUpdateOverSerial)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

// Allocations on the transfer thread are counted through operator new and
// malloc. Under a sanitizer, which owns the allocator, they are not counted.
#if defined(XR_COUNT_ALLOCATIONS)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  count_allocation();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t size) {
  count_allocation();
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  count_allocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  count_allocation();
  return __libc_realloc(p, size);
}
}
#endif
