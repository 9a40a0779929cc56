#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "builder/target_table.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using testing::binary;
using testing::no_std;
using testing::wasm;

TEST(BuilderTargetTable, AllowListInOrder) {
  const std::vector<std::string_view> expected = {
      "thumbv6m-none-eabi",      "thumbv7m-none-eabi",        "thumbv7em-none-eabi",
      "thumbv7em-none-eabihf",   "thumbv8m.main-none-eabi",   "thumbv8m.main-none-eabihf",
      "riscv32imac-unknown-none-elf"};
  EXPECT_EQ(std::vector<std::string_view>(kMcuAllowList.begin(), kMcuAllowList.end()), expected);
}

std::string rejected(std::string_view quoted_mcu) {
  return "bad target: mcu " + std::string(quoted_mcu) + " is not in the allowlist";
}

TEST(BuilderTargetTable, CheckTarget) {
  struct Case {
    schema::Target target;
    std::string expected;  // "" when accepted, else the error's display text
  };
  std::vector<Case> cases = {
      {wasm(), ""},
      {binary(), ""},
      // The mcu only matters for no_std.
      {{schema::TargetKind::Wasm, "nonsense"}, ""},
      {{schema::TargetKind::Binary, "nonsense"}, ""},
      {no_std("THUMBV6M-NONE-EABI"), rejected(R"("THUMBV6M-NONE-EABI")")},
      {no_std("thumbv6m-none-eabi "), rejected(R"("thumbv6m-none-eabi ")")},
      {no_std(" thumbv6m-none-eabi"), rejected(R"(" thumbv6m-none-eabi")")},
      {no_std("thumbv6m"), rejected(R"("thumbv6m")")},
      {no_std("thumbv6m-none-eabihf"), rejected(R"("thumbv6m-none-eabihf")")},
      {no_std(""), rejected(R"("")")},
      {no_std("x86_64-unknown-linux-gnu"), rejected(R"("x86_64-unknown-linux-gnu")")},
      {no_std("wasm32-unknown-unknown"), rejected(R"("wasm32-unknown-unknown")")},
      {no_std("a\"b"), rejected(R"("a\"b")")},
  };
  for (std::string_view mcu : kMcuAllowList) cases.push_back({no_std(std::string(mcu)), ""});
  for (const auto& c : cases) {
    auto checked = check_target(c.target);
    EXPECT_EQ(checked ? "" : checked.error().display(), c.expected) << c.target.mcu;
  }
  auto checked = check_target(no_std("thumbv6m"));
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().kind, ErrorKind::BadTarget);
  EXPECT_EQ(checked.error().message, "mcu \"thumbv6m\" is not in the allowlist");
}

TEST(BuilderTargetTable, CargoConfigText) {
  const std::pair<schema::Target, std::optional<std::string>> cases[] = {
      {wasm(), "[build]\ntarget = \"wasm32-unknown-unknown\"\n"},
      {binary(), std::nullopt},
      {no_std("thumbv7em-none-eabihf"), "[build]\ntarget = \"thumbv7em-none-eabihf\"\n"},
      {no_std("riscv32imac-unknown-none-elf"),
       "[build]\ntarget = \"riscv32imac-unknown-none-elf\"\n"},
      {no_std("thumbv8m.main-none-eabi"), "[build]\ntarget = \"thumbv8m.main-none-eabi\"\n"},
  };
  for (const auto& [target, expected] : cases) {
    EXPECT_EQ(cargo_config_text(target), expected) << target.mcu;
  }
  EXPECT_EQ(cargo_config_text(wasm())->size(), 42u);
}

TEST(BuilderTargetTable, ProfileSnippet) {
  const std::tuple<schema::OptLevel, std::string_view, std::size_t> cases[] = {
      {schema::OptLevel::Debug, "", 0},
      {schema::OptLevel::Release, "[profile.release]\nlto = true\ncodegen-units = 1\n", 47},
      {schema::OptLevel::Size,
       "[profile.release]\nopt-level = \"z\"\nlto = true\ncodegen-units = 1\npanic = \"abort\"\n"
       "strip = true\n",
       92},
  };
  for (const auto& [level, text, length] : cases) {
    EXPECT_EQ(profile_snippet(level), text);
    EXPECT_EQ(profile_snippet(level).size(), length);
  }
}

TEST(BuilderTargetTable, Names) {
  EXPECT_EQ(schema::target_kind_name(schema::TargetKind::Wasm), "wasm");
  EXPECT_EQ(schema::target_kind_name(schema::TargetKind::Binary), "binary");
  EXPECT_EQ(schema::target_kind_name(schema::TargetKind::NoStd), "no_std");
  EXPECT_EQ(schema::opt_level_name(schema::OptLevel::Debug), "debug");
  EXPECT_EQ(schema::opt_level_name(schema::OptLevel::Release), "release");
  EXPECT_EQ(schema::opt_level_name(schema::OptLevel::Size), "size");
}

}  // namespace
}  // namespace orvane::builder
