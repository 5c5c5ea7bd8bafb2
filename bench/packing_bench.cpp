// encode_midi on one 8192-byte block of the file, beside memcpy of the same
// block: both report bytes per second of source data.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/seven_bit.h"
#include "engine/update_file.h"

namespace {

std::vector<unsigned char> block() {
  std::vector<unsigned char> data(kFileBufSize);
  std::mt19937 rng(1);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  return data;
}

void BM_EncodeMidi(benchmark::State& state) {
  const std::vector<unsigned char> source = block();
  std::vector<unsigned char> dest(static_cast<size_t>(packed_length(kFileBufSize)));
  unsigned char checksum = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.data());
    const int length = encode_midi(source.data(), dest.data(), kFileBufSize, &checksum);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(checksum);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileBufSize);
}
BENCHMARK(BM_EncodeMidi);

void BM_Memcpy(benchmark::State& state) {
  const std::vector<unsigned char> source = block();
  std::vector<unsigned char> dest(kFileBufSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.data());
    std::memcpy(dest.data(), source.data(), kFileBufSize);
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileBufSize);
}
BENCHMARK(BM_Memcpy);

}  // namespace
