// Whole commands through the dispatcher, as the binding calls it (without Python).
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"
#include "workload.hpp"

namespace {

using namespace orvane;

void command_loop(benchmark::State& state, const std::string& text) {
  protocol::HandleState compiler;
  std::string first = protocol::command(compiler, text);
  if (first.starts_with("{\"ok\":false")) {
    state.SkipWithError(first.c_str());
    return;
  }
  for (auto _ : state) {
    std::string out = protocol::command(compiler, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void BM_CommandVersion(benchmark::State& state) { command_loop(state, "{\"cmd\":\"version\"}"); }
BENCHMARK(BM_CommandVersion);

void BM_CompileDryRunSmall(benchmark::State& state) {
  command_loop(state, bench::small_request());
}
BENCHMARK(BM_CompileDryRunSmall);

// What the typed API asks for the same request: the answer and the diagnostics, in one call.
void exchange_loop(benchmark::State& state, const std::string& text) {
  protocol::HandleState compiler;
  for (auto _ : state) {
    auto out = protocol::exchange(compiler, text, {}, {});
    std::string diagnostics = protocol::diagnostics_json(out.diagnostics, text);
    benchmark::DoNotOptimize(diagnostics.data());
  }
}
void BM_ExchangeDryRunSmall(benchmark::State& state) { exchange_loop(state, bench::small_request()); }
BENCHMARK(BM_ExchangeDryRunSmall);

// The same strategy without the member that draws its warning.
void BM_CompileDryRunSmallClean(benchmark::State& state) {
  command_loop(state, bench::small_clean_request());
}
BENCHMARK(BM_CompileDryRunSmallClean);
void BM_ExchangeDryRunSmallClean(benchmark::State& state) {
  exchange_loop(state, bench::small_clean_request());
}
BENCHMARK(BM_ExchangeDryRunSmallClean);

// A strategy of a few hundred bytes that draws no warning, raw and as the typed API asks.
const std::string kTiny =
    R"({"cmd":"compile","dry_run":true,"spec":{"target":{"kind":"wasm"},"strategy":)"
    R"({"symbol":"BTCUSDT","timeframe":"1h","indicators":{"fast":{"type":"ema","params":[12]},)"
    R"("slow":{"type":"ema","params":[26]}},"entry":{"cross_above":["fast","slow"]},)"
    R"("exit":{"cross_below":["fast","slow"]},"sizing":{"type":"fixed_fraction","fraction":0.5}}}})";
void BM_CompileDryRunTiny(benchmark::State& state) { command_loop(state, kTiny); }
BENCHMARK(BM_CompileDryRunTiny);
void BM_ExchangeDryRunTiny(benchmark::State& state) { exchange_loop(state, kTiny); }
BENCHMARK(BM_ExchangeDryRunTiny);

void BM_CompileDryRunInline10MB(benchmark::State& state) {
  command_loop(state, bench::inline_request(10 * bench::kMB));
}
BENCHMARK(BM_CompileDryRunInline10MB)->Unit(benchmark::kMillisecond);

}  // namespace
