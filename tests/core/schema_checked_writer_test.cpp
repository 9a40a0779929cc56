// The checked writer (one walk that checks a strategy and writes its canonical text) against the
// plain path: the decoder's verdict and the generic writer's text, on every strategy of the case
// files and on the orderings and forms a table of its own picks out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "schema/strategy.hpp"

namespace orvane {
namespace {

// What the plain path makes of a strategy: its canonical text, or "refused".
std::string plain(json::Value v) {
  return schema::decode_strategy_spec(v) ? json::canonical_json(v) : "refused";
}
std::string checked(json::Value v) {
  std::string out;
  return schema::write_checked_strategy(v, out) ? out : "refused";
}

TEST(CheckedWriter, AgreesWithThePlainPathOnEveryCaseFileStrategy) {
  int strategies = 0, accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ORVANE_CASES_DIR)) {
    if (entry.path().extension() != ".jsonl") continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      auto row = json::parse(line);
      if (!row || row->value().kind() != json::Kind::Object) continue;
      auto request_text = row->value().find("request");
      if (!request_text || request_text->kind() != json::Kind::String) continue;
      const std::string text(request_text->as_string());
      auto request = json::parse(text);
      if (!request || request->value().kind() != json::Kind::Object) continue;
      auto spec = request->value().find("spec");
      if (!spec || spec->kind() != json::Kind::Object) continue;
      auto strategy = spec->find("strategy");
      if (!strategy) continue;
      ++strategies;
      const std::string expected = plain(*strategy);
      accepted += expected != "refused";
      EXPECT_EQ(checked(*strategy), expected) << text;
    }
  }
  // Both verdicts are well represented.
  EXPECT_GT(strategies, 300);
  EXPECT_GT(accepted, 50);
  EXPECT_GT(strategies - accepted, 100);
}

std::string strategy_with(const std::string& members) {
  return R"({"symbol":"BTC/USDT","timeframe":"1h","indicators":{},"entry":{"gt":["a",1]},)"
         R"("exit":{"lt":["a",1]},"sizing":{"type":"fixed_fraction","fraction":0.1})" +
         members + "}";
}

// Orderings the walk decides itself (undeclared members merged among declared ones, a tag
// among a variant's fields, map names), forms the decoder accepts besides objects, and
// refusals each step of the walk makes.
TEST(CheckedWriter, AgreesWithThePlainPathOnOrderingsAndForms) {
  const std::string cases[] = {
      strategy_with(R"(,"a":1,"zz":{"b":1,"a":2},"symbol0":[3],"timeframe":"2h")"),
      strategy_with(R"(,"\u0061":1,"\u0074imeframe":"4h","\"":2,"\u00e9":3)"),
      strategy_with(
          R"(,"costs":{"funding":true,"slippage":{"coef":2,"type":"volume_impact","a":1}})"),
      strategy_with(R"(,"costs":{"slippage":["spread",{"x":1},2]},"risk":[1,null,3,4,5,true])"),
      strategy_with(R"(,"execution":["limit",{"close":null},1.5,null,7,false,0.25])"),
      strategy_with(R"(,"execution":["limit","close",1.5])"),
      strategy_with(R"(,"execution":["limit","close",1.5,null,7,false,0.25,1])"),
      strategy_with(
          R"(,"indicators":{"z":["ema",[1,2.50]],"a":{"type":"rsi","feed":{"trade":null}},"m":{"params":[],"type":"x"}})"),
      strategy_with(R"(,"indicators":{"a":{"type":"rsi","feed":{"trade":1}}})"),
      strategy_with(R"(,"short_entry":{"bars_since_entry":{"ge":4294967295}},"short_exit":null)"),
      strategy_with(R"(,"short_entry":{"bars_since_entry":{"ge":4294967296}})"),
      strategy_with(R"(,"warmup":-1)"),
      strategy_with(R"(,"entry":{"between":[{"add":[1,{"price":"hlc3"}]},1e2,-0.0]})"),
      strategy_with(R"(,"entry":{"rising":[{"prev":["a",3]},2]})"),
      strategy_with(R"(,"entry":{"rising":[{"prev":["a",3.0]},2]})"),
      strategy_with(R"(,"entry":{"not":{"any":[{"in_position":true},{"eq":["a","b"]}]}})"),
      strategy_with(R"(,"entry":{"gt":["a",1],"lt":["a",1]})"),
      strategy_with(R"(,"sizing":["vol_target",0.1])"),
      strategy_with(R"(,"sizing":{"type":"vol_target","lookback":3,"target_vol":1})"),
      strategy_with(R"(,"sizing":{"type":"nope"})"),
      R"({"symbol":"x","timeframe":"1h","indicators":{},"entry":{"gt":["a",1]},"exit":{"lt":["a",1]}})",
      R"([1,"x",null,"1h",{},{"gt":["a",1]},{"lt":["a",1]},null,null,["fixed_cash",5]])",
      R"([1,"x",null,"1h",{},{"gt":["a",1]}])",
  };
  for (const std::string& text : cases) {
    auto parsed = json::parse(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(checked(parsed->value()), plain(parsed->value())) << text;
  }
}

}  // namespace
}  // namespace orvane
