// sha256_hex over byte strings from 64 bytes to 64 MiB.
#include <benchmark/benchmark.h>

#include <string>

#include "json/sha256.hpp"

namespace {

void BM_Sha256Hex(benchmark::State& state) {
  std::string bytes(std::size_t(state.range(0)), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 131) ^ (i >> 7));
  for (auto _ : state) {
    std::string hex = orvane::json::sha256_hex(bytes);
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256Hex)->RangeMultiplier(32)->Range(64, 64 << 20);

// Two texts of a strategy's size (the strategy alone, and framed in the compile spec), side by
// side against one after the other.
std::string strategy_sized(std::size_t n, char seed) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = char((i * 131) ^ (i >> 7) ^ seed);
  return bytes;
}
void BM_Sha256Pair(benchmark::State& state) {
  const std::string a = strategy_sized(2300, 1), b = strategy_sized(2200, 2);
  for (auto _ : state) {
    auto pair = orvane::json::sha256_pair(a, b);
    benchmark::DoNotOptimize(pair.first.chars.data());
  }
}
BENCHMARK(BM_Sha256Pair);
void BM_Sha256TwoApart(benchmark::State& state) {
  const std::string a = strategy_sized(2300, 1), b = strategy_sized(2200, 2);
  for (auto _ : state) {
    auto pair = orvane::json::sha256_pair(a, b, false);
    benchmark::DoNotOptimize(pair.first.chars.data());
  }
}
BENCHMARK(BM_Sha256TwoApart);

}  // namespace
