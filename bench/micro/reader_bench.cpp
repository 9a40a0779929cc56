// The JSON reader: the ~2 KB strategy and a 10 MB candle array.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "json/reader.hpp"
#include "workload.hpp"

namespace {

using namespace orvane;

void parse_loop(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto doc = json::parse(text);
    if (!doc) {
      state.SkipWithError(doc.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(doc->root);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void BM_ParseStrategy(benchmark::State& state) { parse_loop(state, bench::strategy_text()); }
BENCHMARK(BM_ParseStrategy);

void BM_ParseSmallRequest(benchmark::State& state) { parse_loop(state, bench::small_request()); }
BENCHMARK(BM_ParseSmallRequest);

void BM_ParseCandles10MB(benchmark::State& state) {
  parse_loop(state, bench::candles_text(10 * bench::kMB));
}
BENCHMARK(BM_ParseCandles10MB)->Unit(benchmark::kMillisecond);

}  // namespace
