#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::json {
namespace {

// A candle array of at least `min_bytes` of text, its values varying as real data would.
std::string candle_text(std::size_t min_bytes, std::size_t& count) {
  std::string text = "[";
  count = 0;
  char buf[256];
  while (text.size() < min_bytes) {
    const long long t = 1700000000000LL + 60000LL * count;
    const double base = 42000.0 + double(count % 997) * 0.37;
    std::snprintf(buf, sizeof buf,
                  "%s{\"t\": %lld, \"o\": %.1f, \"h\": %.2f, \"l\": %.2f, \"c\": %.2f, \"v\": %.4f}",
                  count ? ", " : "", t, base, base + 38.58, base - 3.21, base + 30.04,
                  10.2625 + double(count % 13));
    text += buf;
    ++count;
  }
  text += "]";
  return text;
}

// One node per scalar, key and container: an object of six members is thirteen nodes, and
// the tape costs well under two bytes per byte of text, whatever the text's size.
TEST(CanonicalValue, CandleArrayIsCompact) {
  for (std::size_t min_bytes : {250'000u, 1'000'000u, 1u << 20, 3'000'000u}) {
    std::size_t count = 0;
    const std::string text = candle_text(min_bytes, count);
    auto r = parse(text);
    ASSERT_TRUE(r) << min_bytes;
    EXPECT_EQ(r->doc.node_count(), 13 * count + 1) << min_bytes;
    EXPECT_LT(r->doc.memory_bytes(), 2 * text.size())
        << r->doc.memory_bytes() << " bytes for " << text.size() << " bytes of text";

    Value v = r->value();
    ASSERT_EQ(v.kind(), Kind::Array);
    EXPECT_EQ(v.size(), count);
    std::size_t i = 0;
    bool all_ok = true;
    v.for_each_element([&](Value c) {
      all_ok = all_ok && c.kind() == Kind::Object && c.size() == 6 &&
               c.find("t")->as_uint() == 1700000000000ULL + 60000ULL * i &&
               c.find("o")->kind() == Kind::Float && c.find("v")->kind() == Kind::Float;
      ++i;
      return true;
    });
    EXPECT_TRUE(all_ok) << min_bytes;
    EXPECT_EQ(i, count);
  }
}

TEST(CanonicalValue, FirstCandleExactly) {
  const std::string_view text =
      R"([{"t": 1700000000000, "o": 42000.0, "h": 42038.58, "l": 41996.79, "c": 42030.04, "v": 10.2625}])";
  auto r = parse(text);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->doc.node_count(), 14u);
  Value c = r->value();
  std::vector<std::string> seen;
  c.for_each_element([&](Value candle) {
    candle.for_each_member([&](std::string_view k, Value m) {
      seen.push_back(std::string(k) + "=" + std::string(m.literal()));
      return true;
    });
    return true;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"t=1700000000000", "o=42000.0", "h=42038.58",
                                            "l=41996.79", "c=42030.04", "v=10.2625"}));
  Value first;
  c.for_each_element([&](Value e) { return first = e, false; });
  EXPECT_EQ(first.find("h")->as_double(), 42038.58);
  EXPECT_EQ(first.find("t")->as_uint(), 1700000000000ULL);
  EXPECT_FALSE(first.find("x"));
  EXPECT_EQ(canonical_json(c),
            R"([{"c":42030.04,"h":42038.58,"l":41996.79,"o":42000.0,"t":1700000000000,"v":10.2625}])");
}

// Superseded keys keep what they were aside from the tape, and that is memory too: every
// member is two nodes, and every repeated key at least its old node and its end index.
TEST(CanonicalValue, RepeatedKeysAreCounted) {
  const std::size_t repeats = 10000;
  std::string text = "{";
  for (std::size_t i = 0; i <= repeats; ++i) {
    text += (i ? ",\"a\":" : "\"a\":") + std::to_string(i);
  }
  text += "}";
  auto r = parse(text);
  ASSERT_TRUE(r);
  EXPECT_EQ(compact_json(r->value()), "{\"a\":10000}");
  EXPECT_EQ(r->doc.node_count(), 1 + 2 * (repeats + 1));
  EXPECT_GE(r->doc.memory_bytes(), 8 * (1 + 2 * (repeats + 1)) + 12 * repeats);
}

TEST(CanonicalValue, SizesAndEarlyStop) {
  const std::pair<std::string_view, std::size_t> sizes[] = {
      {"[]", 0}, {"{}", 0}, {"[[1,2],3]", 2}, {"[null,[],{},\"\"]", 4},
      {R"({"a":[1,2,3],"b":{}})", 2}, {R"({"a":1,"a":2,"b":3})", 2},
  };
  for (const auto& [text, n] : sizes) {
    auto r = parse(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(r->value().size(), n) << text;
  }
  auto r = parse("[10,[20,21],30,40]");
  ASSERT_TRUE(r);
  std::vector<std::string> seen;
  r->value().for_each_element([&](Value e) {
    seen.push_back(compact_json(e));
    return seen.size() < 3;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"10", "[20,21]", "30"}));
}

}  // namespace
}  // namespace orvane::json
