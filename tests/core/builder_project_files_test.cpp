#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "builder/project_files.hpp"
#include "builder/target_table.hpp"
#include "builder/templates.hpp"
#include "builder_test_support.hpp"
#include "versions.hpp"

namespace orvane::builder {
namespace {

using testing::binary;
using testing::no_std;
using testing::wasm;

constexpr std::string_view kSpecText = R"({"name":"s","symbol":"BTC/USDT"})";

std::vector<std::string> paths_of(const FileSet& files) {
  std::vector<std::string> out;
  for (const auto& [path, contents] : files) out.push_back(path);
  return out;
}

FileSet files_for(const schema::Target& target, EmbeddedData data) {
  return project_files(target, "btc_usdt", profile_snippet(schema::OptLevel::Release),
                       std::string(kSpecText), std::move(data));
}

TEST(BuilderProjectFiles, PathsPerTargetAndDataset) {
  struct Case {
    schema::Target target;
    EmbeddedData data;
    std::vector<std::string> paths;
  };
  const std::string cfg = ".cargo/config.toml", toml = "Cargo.toml", lib = "src/lib.rs",
                    main = "src/main.rs", spec = "src/spec.json", csv = "src/candles.csv",
                    json = "src/candles.json";
  const schema::Target mcu = no_std("thumbv6m-none-eabi");
  const Case cases[] = {
      {wasm(), {}, {cfg, toml, lib, spec}},
      {wasm(), CsvText{"t\n"}, {cfg, toml, csv, lib, spec}},
      {wasm(), InlineCandlesText{"[]"}, {cfg, toml, json, lib, spec}},
      {binary(), {}, {toml, main, spec}},
      {binary(), CsvText{"t\n"}, {toml, csv, main, spec}},
      {binary(), InlineCandlesText{"[]"}, {toml, json, main, spec}},
      {mcu, {}, {cfg, toml, lib, spec}},
      {mcu, CsvText{"t\n"}, {cfg, toml, csv, lib, spec}},
      {mcu, InlineCandlesText{"[]"}, {cfg, toml, json, lib, spec}},
  };
  ASSERT_EQ(cases[0].paths, (std::vector<std::string>{".cargo/config.toml", "Cargo.toml",
                                                       "src/lib.rs", "src/spec.json"}));
  for (const auto& c : cases) {
    EXPECT_EQ(paths_of(files_for(c.target, EmbeddedData(c.data))), c.paths)
        << schema::target_kind_name(c.target.kind) << " dataset #" << c.data.index();
  }
}

TEST(BuilderProjectFiles, Contents) {
  FileSet files = project_files(no_std("thumbv7em-none-eabihf"), "my_strat",
                                profile_snippet(schema::OptLevel::Debug), std::string(kSpecText),
                                CsvText{"\xEF\xBB\xBFts,open\r\n1,2\r\n3,4"});
  const std::pair<std::string, std::string> expected[] = {
      {".cargo/config.toml", "[build]\ntarget = \"thumbv7em-none-eabihf\"\n"},
      {"Cargo.toml",
       "[package]\nname = \"my_strat\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n"
       "# Standalone: a project generated inside another workspace tree must not be\n"
       "# claimed by it.\n[workspace]\n\n[lib]\ncrate-type = [\"staticlib\"]\n\n[dependencies]\n\n"},
      // Byte-order mark, CRLF and the missing final line feed all survive.
      {"src/candles.csv", "\xEF\xBB\xBFts,open\r\n1,2\r\n3,4"},
      {"src/lib.rs", std::string(source_template(schema::TargetKind::NoStd))},
      {"src/spec.json", std::string(kSpecText)},
  };
  ASSERT_EQ(files.size(), std::size(expected));
  for (const auto& [path, contents] : expected) EXPECT_EQ(files.at(path), contents) << path;
}

TEST(BuilderProjectFiles, InlineCandlesAndWasmConfig) {
  FileSet files = files_for(wasm(), InlineCandlesText{"[]"});
  EXPECT_EQ(files.at("src/candles.json"), "[]");
  EXPECT_EQ(files.at(".cargo/config.toml"), "[build]\ntarget = \"wasm32-unknown-unknown\"\n");
  EXPECT_EQ(files.at("Cargo.toml").size(), 328u);
}

// The source file does not depend on the crate name, the level or the strategy.
TEST(BuilderProjectFiles, SourcesAreFixed) {
  for (auto target : {wasm(), binary(), no_std("riscv32imac-unknown-none-elf")}) {
    std::string_view path = source_path(target.kind);
    FileSet a = project_files(target, "a", profile_snippet(schema::OptLevel::Debug), "{}", {});
    FileSet b = project_files(target, "other_name", profile_snippet(schema::OptLevel::Size),
                              "[1,2,3]", CsvText{"x"});
    EXPECT_EQ(a.at(std::string(path)), b.at(std::string(path)));
    EXPECT_EQ(a.at(std::string(path)), source_template(target.kind));
    EXPECT_NE(a.at("Cargo.toml"), b.at("Cargo.toml"));
  }
}

// Manifests are rendered once per thread for the last few kinds, levels and crate names asked:
// taking turns among more of them than are kept gives each its own rendering every time.
TEST(BuilderProjectFiles, ManifestsKeptAreTheirOwn) {
  const std::tuple<schema::Target, std::string_view, schema::OptLevel> asked[] = {
      {wasm(), "a", schema::OptLevel::Release},
      {wasm(), "b", schema::OptLevel::Release},
      {wasm(), "a", schema::OptLevel::Debug},
      {binary(), "a", schema::OptLevel::Release},
      {no_std("riscv32imac-unknown-none-elf"), "a", schema::OptLevel::Size},
      {binary(), "a_b", schema::OptLevel::Size},
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& [target, crate, level] : asked) {
      const std::array<Substitution, 3> table = {{{"crate_name", crate},
                                                  {"backtest_dep", kBacktestDep},
                                                  {"profile", profile_snippet(level)}}};
      FileSet files = project_files(target, crate, profile_snippet(level), "{}", {});
      EXPECT_EQ(files.at("Cargo.toml"), render_template(manifest_template(target.kind), table))
          << crate << " round " << round;
    }
  }
}

// A 100 MB dataset must travel by move: the set holds the very buffer the caller built.
TEST(BuilderProjectFiles, LargeTextsAreMovedNotCopied) {
  for (bool csv : {true, false}) {
    std::string data(1 << 20, 'c');
    std::string spec_text(1 << 16, 's');
    const char* data_buffer = data.data();
    const char* spec_buffer = spec_text.data();
    EmbeddedData dataset = csv ? EmbeddedData(CsvText{std::move(data)})
                               : EmbeddedData(InlineCandlesText{std::move(data)});
    FileSet files = project_files(binary(), "big", "", std::move(spec_text), std::move(dataset));
    EXPECT_EQ(files.at(csv ? "src/candles.csv" : "src/candles.json").data(), data_buffer);
    EXPECT_EQ(files.at("src/spec.json").data(), spec_buffer);
  }
}

}  // namespace
}  // namespace orvane::builder
