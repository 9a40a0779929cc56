// Whole commands through the dispatcher, as the binding calls it (without Python).
#include <benchmark/benchmark.h>

#include <string>

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

void BM_CompileDryRunInline10MB(benchmark::State& state) {
  command_loop(state, bench::inline_request(10 * bench::kMB));
}
BENCHMARK(BM_CompileDryRunInline10MB)->Unit(benchmark::kMillisecond);

}  // namespace
