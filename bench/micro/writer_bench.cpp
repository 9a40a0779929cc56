// The compact and canonical writers, over the parsed strategy and candles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "schema/strategy.hpp"
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

// The plain path of the pipeline's strategy step (decode the strategy, then write its canonical
// text) against the checked writer, which does both in one walk.
auto decode_then_canonical = [](json::Value v) {
  if (!schema::decode_strategy_spec(v)) return std::string();
  return json::canonical_json(v);
};
auto checked_writer = [](json::Value v) {
  std::string out;
  out.reserve(std::min<std::size_t>(v.document()->source().size(), std::size_t(1) << 16));
  if (!schema::write_checked_strategy(v, out)) out.clear();
  return out;
};

void BM_DecodeStrategy(benchmark::State& state) {
  auto doc = json::parse(bench::strategy_text());
  for (auto _ : state) {
    auto spec = schema::decode_strategy_spec(doc->value());
    benchmark::DoNotOptimize(spec.has_value());
  }
}
BENCHMARK(BM_DecodeStrategy);

void BM_DecodeThenCanonicalStrategy(benchmark::State& state) {
  write_loop(state, bench::strategy_text(), decode_then_canonical);
}
BENCHMARK(BM_DecodeThenCanonicalStrategy);

void BM_CheckedWriteStrategy(benchmark::State& state) {
  write_loop(state, bench::strategy_text(), checked_writer);
}
BENCHMARK(BM_CheckedWriteStrategy);

void BM_CompactCandles10MB(benchmark::State& state) {
  write_loop(state, bench::candles_text(10 * bench::kMB), compact);
}
BENCHMARK(BM_CompactCandles10MB)->Unit(benchmark::kMillisecond);

void BM_CanonicalCandles10MB(benchmark::State& state) {
  write_loop(state, bench::candles_text(10 * bench::kMB), canonical);
}
BENCHMARK(BM_CanonicalCandles10MB)->Unit(benchmark::kMillisecond);

}  // namespace
