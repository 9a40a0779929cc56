// The typed strategy record: what decoding keeps of the document, beyond its verdict.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/reader.hpp"
#include "schema/strategy.hpp"

namespace orvane {
namespace {

std::string strategy_with_indicators(const std::string& indicators) {
  return R"({"symbol":"BTC/USDT","timeframe":"1h","indicators":)" + indicators +
         R"(,"entry":{"in_position":false},"exit":{"in_position":true},)"
         R"("sizing":{"type":"fixed_fraction","fraction":0.5}})";
}

// Indicators are held by name in byte order, whatever the order in the document; a name given
// twice keeps its last value.
TEST(SpecStrategy, IndicatorsAreOrderedByNameAndTheLastValueWins) {
  const struct {
    std::string indicators;
    std::vector<std::string> names;
    std::vector<std::string> types;
  } cases[] = {
      {"{}", {}, {}},
      {R"({"b":{"type":"ema"},"a":{"type":"rsi"},"Z":{"type":"atr"}})",
       {"Z", "a", "b"},
       {"atr", "rsi", "ema"}},
      {R"({"rsi":{"type":"x"},"atr":{"type":"atr"},"rsi":{"type":"rsi"}})",
       {"atr", "rsi"},
       {"atr", "rsi"}},
      {R"({"\u00e9":{"type":"e"},"z":{"type":"z"},"":{"type":"empty"}})",
       {"", "z", "\xc3\xa9"},
       {"empty", "z", "e"}},
  };
  for (const auto& c : cases) {
    const std::string text = strategy_with_indicators(c.indicators);
    auto parsed = json::parse(text);
    ASSERT_TRUE(parsed) << text;
    auto spec = schema::decode_strategy_spec(parsed->value());
    ASSERT_TRUE(spec) << text << ": " << spec.error().message;
    std::vector<std::string> names, types;
    for (const auto& [name, indicator] : spec->indicators) {
      names.emplace_back(name);
      types.emplace_back(indicator.type);
    }
    EXPECT_EQ(names, c.names) << c.indicators;
    EXPECT_EQ(types, c.types) << c.indicators;
  }
}

}  // namespace
}  // namespace orvane
