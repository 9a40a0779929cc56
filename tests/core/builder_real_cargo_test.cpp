// Builds generated projects with the real cargo, offline: dependencies come from Debian's
// packaged crate sources and orvane-backtest from a stand-in made here. Slow; the suite
// name lets a quick run leave it out.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "builder/project_files.hpp"
#include "builder/run_cargo.hpp"
#include "builder/run_process.hpp"
#include "builder/target_table.hpp"
#include "builder/utf8_lossy.hpp"
#include "builder/write_project.hpp"
#include "builder_test_support.hpp"
#include "json/sha256.hpp"
#include "json/writer.hpp"
#include "protocol/dispatch.hpp"

namespace orvane::builder {
namespace {

using schema::OptLevel;
using testing::binary;
using testing::capture;
using testing::write_script;
using testing::no_std;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

const fs::path& kRegistry = testing::kCrateRegistry;

bool registry_has(std::string_view crate) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kRegistry, ec)) {
    if (entry.path().filename().string().starts_with(std::string(crate) + "-")) return true;
  }
  return false;
}

bool tool_runs(const std::string& tool, const fs::path& dir) {
  const std::string args[] = {"--version"};
  auto ran = run_process(tool, args, dir, 0);
  return ran && ran->succeeded();
}


class RealCargo : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tool_runs("cargo", tmp_.path())) GTEST_SKIP() << "cargo is not on PATH";
    if (!registry_has("serde_json")) {
      GTEST_SKIP() << "no packaged crate sources in " << kRegistry
                   << " (install librust-serde-json-dev)";
    }
    testing::serve_offline_crates(tmp_.path());
  }

  fs::path project(std::string_view crate) const { return tmp_ / "out" / crate; }

  std::string write_and_build(std::string_view crate, const schema::Target& target, OptLevel level,
                              FileSet files) {
    if (auto written = write_project(project(crate), files); !written) {
      return written.error().display();
    }
    auto built = run_cargo(project(crate), target, level, crate);
    return built ? *built : built.error().display();
  }

  TempDir tmp_;
  // The runner relies on target/ inside the project.
  ScopedEnv no_target_dir_{"CARGO_TARGET_DIR", std::nullopt};
};

TEST_F(RealCargo, BinaryBuildsRunsAndRebuildsInPlace) {
  const std::string first = R"({"name":"demo","symbol":"ETH/USD"})";
  auto files = project_files(binary(), "demo_strat", profile_snippet(OptLevel::Debug),
                             std::string(first), {});
  ASSERT_EQ(write_and_build("demo_strat", binary(), OptLevel::Debug, files),
            "target/debug/demo_strat");
  fs::path program = project("demo_strat") / "target/debug/demo_strat";
  EXPECT_EQ(capture(program.string()), "orvane strategy for ETH/USD\n" + first + "\n");

  // A second build of the same crate overwrites the generated files and reuses target/.
  write_file(project("demo_strat") / "target/kept-marker", "still here");
  const std::string second = R"({"symbol":"SOL/USDT","v":2})";
  files = project_files(binary(), "demo_strat", profile_snippet(OptLevel::Debug),
                        std::string(second), CsvText{"ts,close\r\n1,2\r\n"});
  ASSERT_EQ(write_and_build("demo_strat", binary(), OptLevel::Debug, files),
            "target/debug/demo_strat");
  EXPECT_EQ(capture(program.string()), "orvane strategy for SOL/USDT\n" + second + "\n");
  EXPECT_EQ(read_file(project("demo_strat") / "src/spec.json"), second);
  EXPECT_EQ(read_file(project("demo_strat") / "src/candles.csv"), "ts,close\r\n1,2\r\n");
  EXPECT_EQ(read_file(project("demo_strat") / "target/kept-marker"), "still here");
}

// A developer's CARGO_TARGET_DIR does not move the artifact away from where the answer says,
// and the identical request again leaves every file, the artifact included, as it was: cargo
// finds nothing to rebuild.
TEST_F(RealCargo, IdenticalRebuildTouchesNothingWhateverCargoTargetDirSays) {
  ScopedEnv elsewhere("CARGO_TARGET_DIR", (tmp_ / "elsewhere").string());
  const FileSet files = project_files(binary(), "same", profile_snippet(OptLevel::Debug),
                                      R"({"symbol":"ETH/USD"})", CsvText{"ts,close\n1,2\n"});
  ASSERT_EQ(write_and_build("same", binary(), OptLevel::Debug, files), "target/debug/same");
  EXPECT_FALSE(fs::exists(tmp_ / "elsewhere"));
  auto stamps = [&] {
    std::map<std::string, std::pair<std::uint64_t, std::int64_t>> out;  // inode, mtime in ns
    for (std::string rel : {"target/debug/same", "Cargo.toml", "src/main.rs", "src/spec.json",
                            "src/candles.csv"}) {
      struct stat st{};
      ::stat((project("same") / rel).c_str(), &st);
      out[rel] = {st.st_ino, std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
    return out;
  };
  const auto before = stamps();
  ASSERT_EQ(write_and_build("same", binary(), OptLevel::Debug, files), "target/debug/same");
  EXPECT_EQ(stamps(), before);
}

TEST_F(RealCargo, NoStdWithoutItsTargetInstalledReportsCargosError) {
  const std::string triple = "thumbv7em-none-eabihf";
  std::string libdir = capture("rustc --print target-libdir --target " + triple + " 2>/dev/null");
  while (!libdir.empty() && libdir.back() == '\n') libdir.pop_back();
  if (!libdir.empty() && fs::exists(fs::path(libdir))) {
    GTEST_SKIP() << triple << " is installed here, so its build would succeed";
  }
  auto files = project_files(no_std(triple), "mcu_strat", profile_snippet(OptLevel::Size),
                             R"({"symbol":"X"})", {});
  std::string message = write_and_build("mcu_strat", no_std(triple), OptLevel::Size, files);
  // The message is the tail of what cargo itself prints for the same build.
  std::string again = capture("cd " + project("mcu_strat").string() + " && cargo build --target " +
                              triple + " --release 2>&1 >/dev/null");
  ASSERT_FALSE(again.empty());
  // Another test's cargo may hold the shared package cache for a moment, which cargo
  // reports on a line of its own in either run.
  auto unblocked = [](std::string text) {
    const std::string waiting = "    Blocking waiting for file lock on package cache\n";
    for (std::size_t at; (at = text.find(waiting)) != std::string::npos;) text.erase(at, waiting.size());
    return text;
  };
  EXPECT_EQ(unblocked(message),
            unblocked("build: " + std::string(utf8_tail(decode_utf8_lossy(again), kErrorTailBytes))));
  EXPECT_NE(message.find(triple), std::string::npos) << message;
  EXPECT_NE(message.find("error"), std::string::npos) << message;
}

// The no_std library's length and pointer accessors are callable from C. Built for the host,
// with panics aborting, since the microcontroller targets may not be installed.
TEST_F(RealCargo, NoStdLibraryLinksIntoC) {
  if (!tool_runs("cc", tmp_.path())) GTEST_SKIP() << "no C compiler (cc) on PATH";
  const std::string spec_text = "{\"name\":\"na\xC3\xAFve \\\"q\\\"\",\"symbol\":\"BTC/USDT\"}";
  FileSet files = project_files(no_std("thumbv7em-none-eabihf"), "spec_lib",
                                profile_snippet(OptLevel::Debug), std::string(spec_text), {});
  files.erase(".cargo/config.toml");
  files.at("Cargo.toml") += "[profile.dev]\npanic = \"abort\"\n\n[profile.release]\npanic = \"abort\"\n";
  fs::path dir = project("spec_lib");
  ASSERT_TRUE(write_project(dir, files));

  const std::string args[] = {"build", "--release"};
  auto built = run_process("cargo", args, dir, kErrorTailBytes);
  ASSERT_TRUE(built);
  ASSERT_TRUE(built->succeeded()) << decode_utf8_lossy(built->stderr_tail);

  write_file(dir / "main.c",
             "#include <stddef.h>\n#include <stdio.h>\n"
             "size_t strategy_spec_len(void);\nconst unsigned char* strategy_spec_ptr(void);\n"
             "int main(void) {\n"
             "  return fwrite(strategy_spec_ptr(), 1, strategy_spec_len(), stdout) == "
             "strategy_spec_len() ? 0 : 1;\n}\n");
  const std::string cc_args[] = {"main.c", "target/release/libspec_lib.a", "-o", "spec_printer"};
  auto linked = run_process("cc", cc_args, dir, kErrorTailBytes);
  ASSERT_TRUE(linked);
  ASSERT_TRUE(linked->succeeded()) << decode_utf8_lossy(linked->stderr_tail);
  EXPECT_EQ(capture((dir / "spec_printer").string()), spec_text);
}

// The exports of a WebAssembly module, name to kind ("func", "table", "memory", "global"), or
// nullopt when the module's sections do not parse.
std::optional<std::map<std::string, std::string>> wasm_exports(std::string_view module) {
  std::size_t at = 8;  // past the magic and the version
  bool ok = true;
  auto leb = [&]() -> std::uint64_t {
    std::uint64_t value = 0;
    for (unsigned shift = 0; ok; shift += 7) {
      if (at >= module.size() || shift > 63) break;
      const auto byte = static_cast<unsigned char>(module[at++]);
      value |= std::uint64_t(byte & 0x7f) << shift;
      if (byte < 0x80) return value;
    }
    ok = false;
    return 0;
  };
  std::map<std::string, std::string> out;
  while (ok && at < module.size()) {
    const auto id = static_cast<unsigned char>(module[at++]);
    const std::uint64_t size = leb();
    if (!ok || size > module.size() - at) return std::nullopt;
    const std::size_t end = at + size;
    if (id != 7) {
      at = end;
      continue;
    }
    for (std::uint64_t n = leb(); ok && n > 0; --n) {
      const std::uint64_t len = leb();
      if (!ok || len >= end - at) return std::nullopt;  // the name and its kind
      std::string name(module.substr(at, len));
      at += len;
      const auto kind = static_cast<unsigned char>(module[at++]);
      leb();  // the index
      if (kind > 3) return std::nullopt;
      out[std::move(name)] = std::array{"func", "table", "memory", "global"}[kind];
    }
    if (!ok || at != end) return std::nullopt;
  }
  if (!ok) return std::nullopt;
  return out;
}

// A wasm build through the whole command, with Debian's Rust tool chain for wasm32 (the
// rustup target cannot be had offline), unpacked by scripts/wasm-toolchain.sh. Only
// wasm-bindgen's command-line tool is a stand-in: it hands on cargo's module as pkg/'s.
TEST_F(RealCargo, WasmBuildsOfflineWithDebiansToolChain) {
  // test-all.sh names the folder, and then the build must run; a developer's run without the
  // folder skips.
  const char* named = ::getenv("ORVANE_WASM_TOOLCHAIN");
  const fs::path chain =
      named ? fs::path(named) : fs::path(ORVANE_SOURCE_DIR) / "build/wasm-toolchain";
  std::string missing;
  if (!fs::exists(chain / ".complete")) {
    missing = "no wasm tool chain in " + chain.string() + " (scripts/wasm-toolchain.sh unpacks it)";
  } else if (!registry_has("wasm-bindgen")) {
    missing =
        "no wasm-bindgen sources in " + kRegistry.string() + " (install librust-wasm-bindgen-dev)";
  }
  if (!missing.empty()) {
    if (named) FAIL() << missing;
    GTEST_SKIP() << missing;
  }

  write_script(tmp_ / "bindgen/wasm-bindgen",
               "#!/bin/sh\n"
               "[ $# -eq 5 ] && [ \"$2 $3 $4\" = '--target web --out-dir' ] || "
               "{ echo \"wasm-bindgen: unexpected arguments: $*\" >&2; exit 2; }\n"
               "mkdir -p \"$5\" && cp \"$1\" \"$5/$(basename \"$1\" .wasm)_bg.wasm\"\n");
  ScopedEnv path("PATH", (chain / "bin").string() + ":" + (tmp_ / "bindgen").string() + ":" +
                             (::getenv("PATH") ? ::getenv("PATH") : "/usr/bin:/bin"));
  // A cargo home of its own: no waiting on the other tests' package cache, and nothing of
  // the developer's configuration for a newer cargo. Their compiler settings may not suit
  // Debian's older rustc either.
  ScopedEnv home("CARGO_HOME", (tmp_ / "cargo-home").string());
  ScopedEnv wrapper("RUSTC_WRAPPER", std::nullopt);
  ScopedEnv flags("RUSTFLAGS", std::nullopt);

  const std::string strategy =
      R"({"symbol":"ETH/USDT","timeframe":"1h","indicators":{},"entry":{"gt":["a",1]},)"
      R"("exit":{"lt":["a",1]},"sizing":{"type":"fixed_fraction","fraction":0.1}})";
  auto request = [&](std::string_view after_spec) {
    return R"({"cmd":"compile","spec":{"strategy":)" + strategy +
           R"(,"target":{"kind":"wasm"},"opt_level":"debug","crate_name":"wasm_strat"})" +
           std::string(after_spec) + "}";
  };
  std::string out_dir;
  json::append_string(out_dir, (tmp_ / "out").string());
  protocol::HandleState state;
  const std::string planned = protocol::command(state, request(R"(,"dry_run":true)"));
  const std::string answer = protocol::command(state, request(",\"out_dir\":" + out_dir));

  // The answer of the build is the dry run's, with the artifact's path and built.
  const fs::path artifact = project("wasm_strat") / "pkg/wasm_strat_bg.wasm";
  std::string expected = planned;
  const std::string head = R"({"target":{"kind":"wasm"},)";
  const std::string tail = R"("built":false})";
  ASSERT_TRUE(expected.starts_with(head) && expected.ends_with(tail)) << planned;
  std::string quoted_path;
  json::append_string(quoted_path, artifact.string());
  expected.insert(head.size(), "\"path\":" + quoted_path + ",");
  expected.replace(expected.size() - tail.size(), tail.size(), R"("built":true})");
  ASSERT_EQ(answer, expected);

  // A real module, cargo's own output handed on, exporting the generated library's functions
  // (with the descriptions wasm-bindgen's tool reads) and carrying the strategy it was
  // written with.
  const std::string module = read_file(artifact);
  EXPECT_EQ(module.substr(0, 8), std::string("\0asm\1\0\0\0", 8));
  const std::string cargos =
      read_file(project("wasm_strat") / "target/wasm32-unknown-unknown/debug/wasm_strat.wasm");
  EXPECT_EQ(json::sha256_hex(module), json::sha256_hex(cargos))
      << module.size() << " and " << cargos.size() << " bytes";
  auto exports = wasm_exports(module);
  ASSERT_TRUE(exports);
  std::map<std::string, std::string> own, described;
  for (const auto& [name, kind] : *exports) {
    if (!name.starts_with("__")) own[name] = kind;
    if (name.starts_with("__wbindgen_describe_")) described[name] = kind;
  }
  EXPECT_EQ(own,
            (std::map<std::string, std::string>{
                {"memory", "memory"}, {"strategy_spec", "func"}, {"strategy_symbol", "func"}}));
  EXPECT_EQ(described,
            (std::map<std::string, std::string>{{"__wbindgen_describe_strategy_spec", "func"},
                                                {"__wbindgen_describe_strategy_symbol", "func"}}));
  const std::string spec = read_file(project("wasm_strat") / "src/spec.json");
  ASSERT_NE(spec.find("ETH/USDT"), std::string::npos) << spec;
  EXPECT_NE(module.find(spec), std::string::npos);
}

}  // namespace
}  // namespace orvane::builder
