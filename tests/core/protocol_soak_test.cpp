// One handle through 100,000 mixed commands: every command, every kind of error, cached
// artifacts, resets, and a few builds with stand-in cargo scripts. Every answer is checked.
// Under the sanitizer build (ORVANE_SANITIZE) LeakSanitizer checks at exit that nothing of it
// leaked.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "builder_test_support.hpp"
#include "json/sha256.hpp"
#include "json/writer.hpp"
#include "protocol/dispatch.hpp"
#include "schema_tables.hpp"

namespace orvane::protocol {
namespace {

using builder::testing::ScopedEnv;
using builder::testing::TempDir;
using builder::testing::write_file;
using builder::testing::write_script;

const std::string& kVersion = tables::kVersionAnswer;
const std::string kTargets = tables::targets_answer();
constexpr std::string_view kEnvelope =
    R"({"ok":false,"error":"invalid command envelope: expected {\"cmd\":...}"})";
constexpr std::string_view kStrategy =
    R"({"symbol":"BTC/USDT","timeframe":"1h","indicators":{},"entry":{"gt":["a",1]},)"
    R"("exit":{"lt":["a",1]},"sizing":{"type":"fixed_fraction","fraction":0.1}})";

std::string compile(std::string_view spec_rest, std::string_view after_spec = R"(,"dry_run":true)",
                    std::string_view strategy = kStrategy) {
  return std::string(R"({"cmd":"compile","spec":{"strategy":)") + std::string(strategy) +
         std::string(spec_rest) + "}" + std::string(after_spec) + "}";
}

std::string quoted(const std::string& s) {
  std::string out;
  json::append_string(out, s);
  return out;
}

std::string error(const std::string& message) {
  return R"({"ok":false,"error":)" + quoted(message) + "}";
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.starts_with(prefix); }

TEST(ProtocolSoak, HundredThousandMixedCommandsOnOneHandle) {
  TempDir tmp;
  const std::string dir = tmp.path().string();
  write_file(tmp / "artifact.bin", std::string("\x00\x01\x02\x03wasm", 8));
  write_file(tmp / "candles.csv", "ts,open,high,low,close,volume\n1,1,2,0.5,1.5,10\n");
  write_file(tmp / "bad.csv", "ts\n\xff\xfe\n");
  std::filesystem::create_directories(tmp / "a_directory");
  write_file(tmp / "blocker", "a regular file where the output directory has to go");
  // Stand-ins, alone on the PATH: one that succeeds, one that fails with a message.
  // The one that succeeds leaves the binary where a release build puts it.
  write_script(tmp / "ok-bin/cargo",
               "#!/bin/sh\nPATH=/usr/bin:/bin\nmkdir -p target/release && : > \"target/release/${PWD##*/}\"\n");
  write_script(tmp / "fail-bin/cargo", "#!/bin/sh\necho 'error: could not compile' >&2\nexit 101\n");

  const std::string artifact_ok = R"({"cmd":"artifact_bytes","path":)" + quoted(dir + "/artifact.bin") + "}";
  const std::string artifact_sha = json::sha256_hex(std::string("\x00\x01\x02\x03wasm", 8));

  struct Case {
    std::string request;
    // Checks the answer; `expected` is the first answer of this case (for cases compared
    // with themselves).
    std::function<bool(const std::string& answer, const std::string& first)> check;
  };
  auto exactly = [](std::string text) {
    return [text](const std::string& a, const std::string&) { return a == text; };
  };
  auto same_as_first_and = [](std::string_view prefix) {
    return [p = std::string(prefix)](const std::string& a, const std::string& first) {
      return a == first && starts_with(a, p);
    };
  };

  std::uint64_t next_handle = 0;
  const std::string build_binary =
      compile(R"(,"target":{"kind":"binary"},"crate_name":"soak")", ",\"out_dir\":" + quoted(dir + "/out"));
  std::vector<Case> cases = {
      {R"({"cmd":"version"})", exactly(std::string(kVersion))},
      {R"(["version"])", exactly(std::string(kVersion))},
      {R"({"cmd":"targets","x":[1,{"y":null}]})", exactly(std::string(kTargets))},
      {"not json", exactly(std::string(kEnvelope))},
      {"", exactly(std::string(kEnvelope))},
      {R"({"cmd":"version","cmd":"version"})", exactly(std::string(kEnvelope))},
      {R"({"cmd":7})", exactly(std::string(kEnvelope))},
      {R"({"cmd":"version"} x)", exactly(std::string(kEnvelope))},
      {std::string(200, '[') , exactly(std::string(kEnvelope))},
      {R"({"cmd":"Compile"})", exactly(error("unknown cmd: Compile"))},
      {R"({"cmd":"q\"\\"})", exactly(error("unknown cmd: q\"\\"))},
      {compile(R"(,"target":{"kind":"wasm"})"), same_as_first_and(R"({"target":{"kind":"wasm"},"manifest":)")},
      {compile(R"(,"target":{"kind":"no_std","mcu":"thumbv7em-none-eabihf"},"opt_level":"size")"),
       same_as_first_and(R"({"target":{"kind":"no_std","mcu":"thumbv7em-none-eabihf"},"manifest":)")},
      {compile(R"(,"target":{"kind":"binary"},"embed_data":{"kind":"inline","candles":[[1,2.5,3,1,2,10]]})"),
       same_as_first_and(R"({"target":{"kind":"binary"},"manifest":)")},
      {compile(R"(,"target":{"kind":"wasm"},"embed_data":{"kind":"csv","path":)" + quoted(dir + "/candles.csv") + "}"),
       same_as_first_and(R"({"target":{"kind":"wasm"},"manifest":)")},
      {compile(R"(,"target":{"kind":"wasm"},"embed_data":{"kind":"csv","path":)" + quoted(dir + "/bad.csv") + "}"),
       exactly(error("io: reading " + dir + "/bad.csv: stream did not contain valid UTF-8"))},
      {compile(R"(,"target":{"kind":"wasm"},"embed_data":{"kind":"csv","path":)" + quoted(dir + "/nope.csv") + "}"),
       exactly(error("io: reading " + dir + "/nope.csv: No such file or directory (os error 2)"))},
      {compile(R"(,"target":{"kind":"wasm"})", R"(,"dry_run":true)", R"({"symbol":"BTC/USDT"})"),
       same_as_first_and(R"({"ok":false,"error":"bad spec: strategy is not a valid StrategySpec: )")},
      {compile(R"(,"target":{"kind":"no_std","mcu":"avr"})"),
       exactly(error("bad target: mcu \"avr\" is not in the allowlist"))},
      {compile(R"(,"target":{"kind":"wasm"},"crate_name":"9lives")"),
       same_as_first_and(R"({"ok":false,"error":"bad spec: crate name \"9lives\")")},
      {compile(R"(,"target":{"kind":"wasm"})", R"(,"dry_run":null)"),
       same_as_first_and(R"({"ok":false,"error":"bad compile request: invalid type: null, expected a boolean)")},
      {R"({"cmd":"compile"})", exactly(error("bad compile request: missing field `spec` at line 1 column 17"))},
      {compile(R"(,"target":{"kind":"wasm"})", ",\"out_dir\":" + quoted(dir + "/blocker")),
       exactly(error("io: creating " + dir + "/blocker/btc_usdt/.cargo: Not a directory (os error 20)"))},
      {artifact_ok, nullptr},  // numbered: checked below
      {R"({"cmd":"artifact_bytes","path":)" + quoted(dir + "/missing") + "}",
       exactly(error("reading " + dir + "/missing: No such file or directory (os error 2)"))},
      {R"({"cmd":"artifact_bytes","path":)" + quoted(dir + "/a_directory") + "}",
       exactly(error("reading " + dir + "/a_directory: Is a directory (os error 21)"))},
      {R"({"cmd":"artifact_bytes"})",
       exactly(error("bad artifact_bytes request: missing field `path` at line 1 column 24"))},
      {R"({"cmd":"artifact_bytes","path":1})",
       exactly(error("bad artifact_bytes request: invalid type: integer `1`, expected a string at line 1 column 32"))},
  };

  HandleState state;
  std::vector<std::string> first(cases.size());
  std::size_t calls = 0, builds = 0, rounds = 0;
  constexpr std::size_t kCalls = 100'000;
  while (calls < kCalls) {
    ++rounds;
    for (std::size_t c = 0; c < cases.size() && calls < kCalls; ++c, ++calls) {
      std::string answer = command(state, cases[c].request);
      if (first[c].empty()) first[c] = answer;
      if (!cases[c].check) {
        ASSERT_EQ(answer, R"({"handle":)" + std::to_string(next_handle) + R"(,"len":8,"sha256":")" +
                              artifact_sha + "\"}");
        ++next_handle;
        continue;
      }
      ASSERT_TRUE(cases[c].check(answer, first[c])) << "request: " << cases[c].request
                                                     << "\nanswer: " << answer;
    }
    ASSERT_EQ(state.artifact_cache.size(), next_handle);
    ASSERT_EQ(state.next_handle, next_handle);
    // Every eighth round: reset the cache.
    if (rounds % 8 == 0 && calls < kCalls) {
      ASSERT_EQ(command(state, R"({"cmd":"reset","path":"ignored"})"), R"({"ok":true})");
      ++calls;
      next_handle = 0;
      ASSERT_TRUE(state.artifact_cache.empty());
    }
    // Every 500th round: two builds, one that succeeds and one that fails.
    if (rounds % 500 == 1 && calls + 2 <= kCalls) {
      {
        ScopedEnv path("PATH", (tmp / "ok-bin").string());
        std::string answer = command(state, build_binary);
        ASSERT_TRUE(starts_with(answer, R"({"target":{"kind":"binary"},"path":)" +
                                            quoted(dir + "/out/soak/target/release/soak") +
                                            R"(,"manifest":)"))
            << answer;
      }
      {
        ScopedEnv path("PATH", (tmp / "fail-bin").string());
        ASSERT_EQ(command(state, build_binary), error("build: error: could not compile\n"));
      }
      calls += 2;
      builds += 2;
    }
  }
  EXPECT_EQ(calls, kCalls);
  EXPECT_GE(builds, 4u);
}

}  // namespace
}  // namespace orvane::protocol
