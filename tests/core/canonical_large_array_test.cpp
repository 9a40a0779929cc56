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

}  // namespace
}  // namespace orvane::json
