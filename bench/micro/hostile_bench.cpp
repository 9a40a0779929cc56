// Documents made to be expensive: many faults or warnings in one request, many undeclared
// names against many declared ones, very long names, a long key on the path of many warnings,
// and keys made to share a bucket of the hash the reader's duplicate check once used. Each is
// diagnosed as the binding's diagnose() does (protocol::diagnose, then diagnostics_json), or
// answered by protocol::command where the reader is what is measured. Every one of them should
// cost about what its size does (bench/RESULTS.md has the figures before and after).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"
#include "workload.hpp"

namespace {

using namespace orvane;
using orvane::bench::Rng;

// `n` letters a to z drawn from `rng`: the same names on every run.
std::string letters(Rng& rng, std::size_t n) {
  std::string s(n, 'a');
  for (char& c : s) c = char('a' + rng.below(26));
  return s;
}

std::string numbered(std::string_view prefix, std::size_t k, std::string_view suffix = {}) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%05zu", k);
  return std::string(prefix) + digits + std::string(suffix);
}

// A strategy in a dry-run compile request. `indicators` are the members of `indicators`,
// `extra` members before it (each followed by a comma).
std::string request(const std::string& indicators, const std::string& extra = {},
                    const std::string& entry = R"({"gt":["f",1]})",
                    const std::string& exit = R"({"lt":["f",1]})") {
  return R"({"cmd":"compile","dry_run":true,"spec":{"strategy":{"symbol":"BTC","timeframe":"1h",)" +
         extra + R"("indicators":{)" + indicators + R"(},"entry":)" + entry + R"(,"exit":)" + exit +
         R"(,"sizing":{"type":"fixed_qty","qty":1}},"target":{"kind":"wasm"}}})";
}

// 16,000 indicators whose type is a number, one to a line: one fault each.
const std::string& faults_doc() {
  static const std::string text = [] {
    std::string members;
    for (std::size_t k = 0; k < 16000; ++k) {
      members += (k ? ",\n" : "") + numbered("\"i", k, "\":{\"type\":0}");
    }
    return request(members);
  }();
  return text;
}

// 16,000 members the strategy does not declare, one to a line: a warning each, with a
// did-you-mean against the strategy's fields.
const std::string& unknown_keys_doc() {
  static const std::string text = [] {
    std::string extra;
    for (std::size_t k = 0; k < 16000; ++k) extra += numbered("\"unknown_key_", k, "\":0,\n");
    return request(R"("f":{"type":"ema","params":[3]})", extra);
  }();
  return text;
}

// 4,000 declared indicators and 4,000 operands naming undeclared ones. `near`: each operand a
// slip of a declared name (every one gets a suggestion); otherwise none is within reach.
std::string undeclared_doc(bool near) {
  std::string indicators, operands;
  for (std::size_t k = 0; k < 4000; ++k) {
    if (k) indicators += ',', operands += ',';
    indicators += numbered("\"ind_", k, "_a\":{\"type\":\"ema\",\"params\":[1]}");
    operands +=
        numbered(near ? "{\"gt\":[\"ind_" : "{\"gt\":[\"zeta_", k, near ? "_b\",1]}" : "_zz\",1]}");
  }
  return request(indicators, {}, R"({"all":[)" + operands + "]}");
}
const std::string& undeclared_near_doc() {
  static const std::string text = undeclared_doc(true);
  return text;
}
const std::string& undeclared_far_doc() {
  static const std::string text = undeclared_doc(false);
  return text;
}

// One declared indicator of 40,000 letters, and operands naming another of 40,000 in the entry
// and the exit. `near`: a slip every 4 letters (within the distance allowed, a third of the
// length), so the whole band of the table is within reach; otherwise random letters.
std::string long_name_doc(bool near) {
  Rng rng{7};
  const std::string declared = letters(rng, 40000);
  std::string named = near ? declared : letters(rng, 40000);
  if (near) {
    for (std::size_t i = 0; i < named.size(); i += 4)
      named[i] = char('a' + (named[i] - 'a' + 1) % 26);
  }
  const std::string operand = "\"" + named + "\"";
  return request("\"" + declared + R"(":{"type":"ema","params":[3]})", {},
                 R"({"gt":[)" + operand + ",1]}", R"({"lt":[)" + operand + ",1]}");
}
const std::string& long_name_far_doc() {
  static const std::string text = long_name_doc(false);
  return text;
}
const std::string& long_name_near_doc() {
  static const std::string text = long_name_doc(true);
  return text;
}

// An indicator with a 100 KB name holding 2,000 members it does not declare: 2,000 warnings
// whose paths all pass the long name.
const std::string& long_key_on_path_doc() {
  static const std::string text = [] {
    const std::string name(100000, 'n');
    std::string members = "\"" + name + R"(":{"type":"ema","params":[3])";
    for (std::size_t k = 0; k < 2000; ++k) members += numbered(",\"k", k, "\":0");
    members += '}';
    const std::string operand = "\"" + name + "\"";
    return request(members, {}, R"({"gt":[)" + operand + ",1]}", R"({"lt":[)" + operand + ",1]}");
  }();
  return text;
}

// {"cmd":"version","keys":{...}} with `keys` as the members of one object.
std::string version_with(const std::vector<std::string>& keys) {
  std::string text = R"({"cmd":"version","keys":{)";
  for (std::size_t k = 0; k < keys.size(); ++k) text += (k ? ",\"" : "\"") + keys[k] + "\":0";
  return text + "}}";
}

constexpr std::size_t kManyKeys = 20000;

// 20,000 keys that std::hash<std::string_view> puts into one bucket of a table reserved for
// 20,000 (what the reader's duplicate check used before it sorted). Found by trying names in
// turn, a few seconds once per run.
const std::string& colliding_keys_doc() {
  static const std::string text = [] {
    std::unordered_map<std::string_view, std::uint32_t> table;
    table.reserve(kManyKeys);
    const std::size_t buckets = table.bucket_count();
    const std::hash<std::string_view> hash;
    std::vector<std::string> keys;
    static constexpr char kDigits[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string key;
    for (std::uint64_t n = 0; keys.size() < kManyKeys; ++n) {
      key.clear();
      for (std::uint64_t v = n; v; v /= 62) key += kDigits[v % 62];
      if (hash(key) % buckets == 0) keys.push_back(key);
    }
    return version_with(keys);
  }();
  return text;
}

const std::string& ordinary_keys_doc() {
  static const std::string text = [] {
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < kManyKeys; ++k) keys.push_back(numbered("k", k));
    return version_with(keys);
  }();
  return text;
}

// ---- the measurements ----

// What the binding's diagnose() does with a request: its diagnostics, written out.
struct Diagnosed {
  std::size_t count = 0, out_bytes = 0;
};
Diagnosed diagnose_once(const std::string& text) {
  const auto found = protocol::diagnose(text);
  const std::string out = protocol::diagnostics_json(found, text);
  benchmark::DoNotOptimize(out.data());
  return {found.size(), out.size()};
}

void report(benchmark::State& state, const std::string& text, Diagnosed d) {
  if (d.count == 0) state.SkipWithError("no diagnostics: the document is not hostile");
  state.counters["diagnostics"] = double(d.count);
  state.counters["text_KB"] = double(text.size()) / 1e3;
  state.counters["out_MB"] = double(d.out_bytes) / 1e6;
}

void diagnose_loop(benchmark::State& state, const std::string& text) {
  Diagnosed d;
  for (auto _ : state) d = diagnose_once(text);
  report(state, text, d);
}

void BM_Diagnose16kFaults(benchmark::State& state) { diagnose_loop(state, faults_doc()); }
BENCHMARK(BM_Diagnose16kFaults)->Unit(benchmark::kMillisecond);

void BM_Diagnose16kUnknownKeys(benchmark::State& state) {
  diagnose_loop(state, unknown_keys_doc());
}
BENCHMARK(BM_Diagnose16kUnknownKeys)->Unit(benchmark::kMillisecond);

void BM_Diagnose4kUndeclaredNear(benchmark::State& state) {
  diagnose_loop(state, undeclared_near_doc());
}
BENCHMARK(BM_Diagnose4kUndeclaredNear)->Unit(benchmark::kMillisecond);

void BM_Diagnose4kUndeclaredFar(benchmark::State& state) {
  diagnose_loop(state, undeclared_far_doc());
}
BENCHMARK(BM_Diagnose4kUndeclaredFar)->Unit(benchmark::kMillisecond);

void BM_Diagnose40kNameFar(benchmark::State& state) { diagnose_loop(state, long_name_far_doc()); }
BENCHMARK(BM_Diagnose40kNameFar)->Unit(benchmark::kMillisecond);

void BM_Diagnose40kNameNear(benchmark::State& state) { diagnose_loop(state, long_name_near_doc()); }
BENCHMARK(BM_Diagnose40kNameNear)->Unit(benchmark::kMillisecond);

// Peak resident memory while diagnosing, above what the process held before (reset through
// /proc/self/clear_refs, read from VmHWM).
std::size_t status_kb(std::string_view field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field)) return std::stoul(line.substr(field.size()));
  }
  return 0;
}

void BM_DiagnoseLongKeyOnPath(benchmark::State& state) {
  const std::string& text = long_key_on_path_doc();
  Diagnosed d;
  double peak_mb = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::size_t before = status_kb("VmRSS:");
    state.ResumeTiming();
    d = diagnose_once(text);
    state.PauseTiming();
    peak_mb = double(status_kb("VmHWM:") - before) * 1024 / 1e6;  // kB of 1024 bytes
    state.ResumeTiming();
  }
  report(state, text, d);
  state.counters["peak_MB"] = peak_mb;
}
BENCHMARK(BM_DiagnoseLongKeyOnPath)->Unit(benchmark::kMillisecond)->Iterations(3);

void command_loop(benchmark::State& state, const std::string& text) {
  protocol::HandleState compiler;
  for (auto _ : state) {
    std::string out = protocol::command(compiler, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["text_KB"] = double(text.size()) / 1e3;
}

void BM_Read20kCollidingKeys(benchmark::State& state) { command_loop(state, colliding_keys_doc()); }
BENCHMARK(BM_Read20kCollidingKeys)->Unit(benchmark::kMillisecond);

void BM_Read20kOrdinaryKeys(benchmark::State& state) { command_loop(state, ordinary_keys_doc()); }
BENCHMARK(BM_Read20kOrdinaryKeys)->Unit(benchmark::kMillisecond);

}  // namespace
