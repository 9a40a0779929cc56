#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "builder/crate_name.hpp"
#include "json/reader.hpp"

namespace orvane::builder {
namespace {

struct CrateNameCase {
  std::optional<std::string> crate_name;
  const char* strategy;  // JSON text
  std::string expected;  // the name, or the error's display text
};

constexpr const char* kNoSymbol =
    "bad spec: no crate_name and the strategy has no string `symbol` to derive one";

std::string invalid(std::string_view quoted) {
  return "bad spec: crate name " + std::string(quoted) +
         " is not a valid identifier (^[a-z][a-z0-9_]*$); set `crate_name`";
}

std::string run(const CrateNameCase& c) {
  auto doc = json::parse(c.strategy);
  if (!doc) return "unparsable test input: " + doc.error().message;
  auto name = derive_crate_name(c.crate_name, doc->value());
  return name ? *name : name.error().display();
}

TEST(BuilderCrateName, DerivedFromSymbol) {
  const CrateNameCase cases[] = {
      {std::nullopt, R"({"symbol":"BTC/USDT"})", "btc_usdt"},
      {std::nullopt, R"({"symbol":"ETH-PERP"})", "eth_perp"},
      {std::nullopt, R"({"symbol":"SOL__USDT "})", "sol__usdt_"},
      {std::nullopt, "{\"symbol\":\"btc\xC3\x9C\"}", "btc_"},
      {std::nullopt, R"({"symbol":"btc\u00dc"})", "btc_"},
      {std::nullopt, "{\"symbol\":\"x\xF0\x9F\x98\x80y\xE2\x82\xACz\"}", "x_y_z"},
      {std::nullopt, R"({"symbol":"a.b c\td"})", "a_b_c_d"},
      {std::nullopt, R"({"symbol":"ETH2"})", "eth2"},
      {std::nullopt, R"({"symbol":"z__"})", "z__"},
      {std::nullopt, R"({"name":"n","symbol":"AbC","extra":[1]})", "abc"},
      {std::nullopt, R"({"symbol":"1000PEPE"})", invalid(R"("1000pepe")")},
      {std::nullopt, R"({"symbol":""})", invalid(R"("")")},
      {std::nullopt, R"({"symbol":"_x"})", invalid(R"("_x")")},
      {std::nullopt, R"({"symbol":"\u00dcber"})", invalid(R"("_ber")")},
      {std::nullopt, R"({"symbol":"-"})", invalid(R"("_")")},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c), c.expected) << c.strategy;
}

TEST(BuilderCrateName, NoStringSymbol) {
  const CrateNameCase cases[] = {
      {std::nullopt, R"(["BTC/USDT","1m"])", kNoSymbol},
      {std::nullopt, R"({})", kNoSymbol},
      {std::nullopt, R"({"symbol":5})", kNoSymbol},
      {std::nullopt, R"({"symbol":null})", kNoSymbol},
      {std::nullopt, R"({"symbol":["BTC"]})", kNoSymbol},
      {std::nullopt, R"({"Symbol":"BTC"})", kNoSymbol},
      {std::nullopt, "5", kNoSymbol},
      {std::nullopt, R"("BTC/USDT")", kNoSymbol},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c), c.expected) << c.strategy;
}

TEST(BuilderCrateName, GivenNameIsTakenAsIs) {
  const CrateNameCase cases[] = {
      {"a", R"({"symbol":"BTC/USDT"})", "a"},
      {"fn", R"({"symbol":"BTC/USDT"})", "fn"},
      {"self", R"({"symbol":"BTC/USDT"})", "self"},
      {"test", R"({"symbol":"BTC/USDT"})", "test"},
      {"my_strat_2", R"({"symbol":"BTC/USDT"})", "my_strat_2"},
      // The symbol is not looked at, so its absence or type does not matter.
      {"eth_perp", R"({"symbol":5})", "eth_perp"},
      {"positional", R"(["BTC/USDT","1m"])", "positional"},
      {"My_Strat", R"({"symbol":"BTC/USDT"})", invalid(R"("My_Strat")")},
      {"", R"({"symbol":"BTC/USDT"})", invalid(R"("")")},
      {"a\"b", R"({"symbol":"BTC/USDT"})", invalid(R"("a\"b")")},
      {"a\\b", R"({"symbol":"BTC/USDT"})", invalid(R"("a\\b")")},
      {"btc_usdt ", R"({"symbol":"BTC/USDT"})", invalid(R"("btc_usdt ")")},
      {"line\nfeed", R"({"symbol":"BTC/USDT"})", invalid(R"("line\nfeed")")},
      {"9lives", R"({"symbol":"BTC/USDT"})", invalid(R"("9lives")")},
      {"my-strat", R"({"symbol":"BTC/USDT"})", invalid(R"("my-strat")")},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c), c.expected) << *c.crate_name;
}

TEST(BuilderCrateName, Validity) {
  const std::pair<std::string_view, bool> cases[] = {
      {"a", true},        {"z9_", true},   {"abc_def_123", true}, {"", false},
      {"_a", false},      {"0a", false},   {"aB", false},         {"a-b", false},
      {"a b", false},     {"a.b", false},  {"\xC3\xA4", false},   {"a\xC3\xA4", false},
      {"{", false},       {"`", false},    {"a{", false},         {"a/", false},
      {std::string_view("a\0b", 3), false},
  };
  for (const auto& [name, valid] : cases) EXPECT_EQ(is_valid_crate_name(name), valid) << name;
}

}  // namespace
}  // namespace orvane::builder
