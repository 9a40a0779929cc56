// Strategy documents sent in a dry run, and the exact answer to each: a refusal with the
// decoder's message, or the manifest's digests of a strategy it accepts. The cases the Python
// suite runs as well live in tests/cases/strategy.jsonl (case_files_test.cpp); these are the
// C++ suite's own.
#include <gtest/gtest.h>

#include <string>

#include "schema_tables.hpp"

namespace orvane::tables {
namespace {

const std::string kOperand = "data did not match any variant of untagged enum Operand";
const std::string kFillTimings = "`next_open` or `close`";

// The dry run of a strategy, under a crate name of its own, so that a strategy without a
// usable symbol is still compiled.
std::string in_request(const std::string& strategy_text) {
  return compile_request(strategy_text, kWasm, R"(,"crate_name":"strat")");
}

// The answer to a strategy that decodes: its compile spec's digest and the project's.
std::string valid(std::string_view spec_hash, std::string_view project_hash) {
  return dry_run(kWasm, "release", "strat", spec_hash, project_hash);
}

// Each row's text is the value of one member of the smallest strategy.
struct Member {
  const char* key;
  Case row;
};

const Member kMembers[] = {
    // A fault deep in nested conditions.
    {"entry",
     {"all-nested-bad", R"({"all":[{"in_position":false},{"any":[{"lt":["a"]}]}]})",
      fault("invalid length 1, expected a tuple of size 2")}},
    {"entry", {"prev-whole-float", R"({"gt":["a",{"prev":["a",2.0]}]})", fault(kOperand)}},
    // A field of another sizing variant is an unknown key of this one.
    {"sizing",
     {"other-variant-field-ignored", R"({"type":"fixed_qty","qty":1,"fraction":"x"})",
      valid("64819aa3b075e8a3ed05a2db5d9b221623781b6a4b8a44b7b4a83c3358d27776",
            "424d2952ecc199f4e45e6ae7161b442b8a2b6cd98ca2fdef867d39258d4ea297")}},
    {"sizing",
     {"positional-long", R"(["fixed_qty",3,4])",
      fault("invalid length 2, expected fewer elements in array")}},
    {"costs",
     {"slippage-positional-spread-extra", R"({"slippage":["spread",1]})",
      valid("51c5dee1826a5996cd07d945ac1d70aa82b033613381fa571742052f57f9d124",
            "f4d5221940bfd3a4999e1ece8f416ab528edfc37636b3418961b4b02dc463cf5")}},
    {"execution",
     {"positional-bad", R"(["market","open"])",
      fault("unknown variant `open`, expected " + kFillTimings)}},
};

TEST(StrategyTable, Members) {
  for (const Member& m : kMembers) {
    expect_answers(std::span(&m.row, 1),
                   [&m](const std::string& text) { return in_request(strategy({{m.key, text}})); });
  }
}

}  // namespace
}  // namespace orvane::tables
