// The compact and canonical writers, over the parsed strategy and candles.
#include <benchmark/benchmark.h>

#include <string>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "workload.hpp"

namespace {

using namespace orvane;

template <class Write>
void write_loop(benchmark::State& state, const std::string& text, Write write) {
  auto doc = json::parse(text);
  if (!doc) {
    state.SkipWithError(doc.error().message.c_str());
    return;
  }
  std::size_t out_size = 0;
  for (auto _ : state) {
    std::string out = write(doc->value());
    out_size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(out_size));
  state.counters["out_bytes"] = double(out_size);
}

auto compact = [](json::Value v) { return json::compact_json(v); };
auto canonical = [](json::Value v) { return json::canonical_json(v); };

void BM_CompactStrategy(benchmark::State& state) {
  write_loop(state, bench::strategy_text(), compact);
}
BENCHMARK(BM_CompactStrategy);

void BM_CanonicalStrategy(benchmark::State& state) {
  write_loop(state, bench::strategy_text(), canonical);
}
BENCHMARK(BM_CanonicalStrategy);

void BM_CompactCandles10MB(benchmark::State& state) {
  write_loop(state, bench::candles_text(10 * bench::kMB), compact);
}
BENCHMARK(BM_CompactCandles10MB)->Unit(benchmark::kMillisecond);

void BM_CanonicalCandles10MB(benchmark::State& state) {
  write_loop(state, bench::candles_text(10 * bench::kMB), canonical);
}
BENCHMARK(BM_CanonicalCandles10MB)->Unit(benchmark::kMillisecond);

}  // namespace
