// The two-thread writer of large arrays must give exactly the one-thread text.
#include <gtest/gtest.h>

#include <string>

#include "canonical/reader.hpp"
#include "canonical/writer.hpp"

namespace orvane::json {
namespace {

std::string candles(int n, bool vary_keys) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) {
    if (i) text += ", ";
    text += "{\"t\": " + std::to_string(1700000000000 + i) + ", \"o\": 4200" + std::to_string(i % 10) +
            ".5, \"c\": 1e" + std::to_string(i % 30) + ", \"v\": [" + std::to_string(i) + ", -0]";
    if (vary_keys && i % 7 == 0) text += ", \"a\": {\"z\": null, \"y\": \"\\u00e9\"}, \"t\": true";
    text += "}";
  }
  return text + "]";
}

TEST(CanonicalLargeArray, TwoThreadTextEqualsOneThreadText) {
  const std::string cases[] = {"[]", "[1]", "[1,2]", "[{\"b\":1,\"a\":2},3,{\"b\":1,\"a\":2}]",
                               candles(1001, false), candles(1002, true)};
  for (const std::string& text : cases) {
    auto doc = parse(text);
    ASSERT_TRUE(doc) << text.substr(0, 80);
    EXPECT_EQ(canonical_json_large_array(doc->value()), canonical_json(doc->value()))
        << text.substr(0, 80);
  }
}

// The reader takes the keys of the last object at a depth as the expected keys of the next;
// a repeat hidden behind that expectation must still be found.
TEST(CanonicalLargeArray, RepeatedKeysFoundAfterObjectsOfTheSameShape) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"a":1,"b":2},{"a":3,"b":4},{"a":5,"a":6}])", R"([{"a":1,"b":2},{"a":3,"b":4},{"a":6}])"},
      {R"([{"a":1,"b":2},{"a":3,"b":4},{"a":5,"b":6,"a":7}])",
       R"([{"a":1,"b":2},{"a":3,"b":4},{"a":7,"b":6}])"},
      {R"([{"a":1,"b":2},{"a":3},{"b":4,"a":5},{"b":4,"b":5}])",
       R"([{"a":1,"b":2},{"a":3},{"b":4,"a":5},{"b":5}])"},
      {R"([{"a":{"x":1,"y":2},"b":2},{"a":{"x":1,"x":3},"b":{"a":1,"b":2}}])",
       R"([{"a":{"x":1,"y":2},"b":2},{"a":{"x":3},"b":{"a":1,"b":2}}])"},
      {R"([{"a":1,"b":2},{"a":3,"b":4,"a":5}])", R"([{"a":1,"b":2},{"a":5,"b":4}])"},
  };
  for (auto [text, compact] : cases) {
    auto doc = parse(text);
    ASSERT_TRUE(doc) << text;
    EXPECT_EQ(compact_json(doc->value()), compact) << text;
  }
}

}  // namespace
}  // namespace orvane::json
