// The writers that digest large arrays on a second thread (or a piece at a time without keeping
// the text) must give exactly the plain text and the digests of that text.
#include <gtest/gtest.h>

#include <string>

#include "json/reader.hpp"
#include "json/sha256.hpp"
#include "json/streamed_digests.hpp"
#include "json/writer.hpp"

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

// Numbers whose canonical form is longer than their literal: the text outgrows the room
// reserved for it and moves while the digests are being taken.
std::string growing_numbers(int n) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) text += i ? ",1e15" : "1e15";
  return text + "]";
}

TEST(CanonicalLargeArray, DigestedTextEqualsPlainTextAndItsDigests) {
  const std::string cases[] = {"[]",
                               "[1]",
                               "[1,2]",
                               "[{\"b\":1,\"a\":2},3,{\"b\":1,\"a\":2}]",
                               "{\"b\":[1e15],\"a\":\"x\"}",
                               candles(1001, false),
                               candles(30002, true),
                               growing_numbers(300000)};
  for (const std::string& text : cases) {
    auto doc = parse(text);
    ASSERT_TRUE(doc) << text.substr(0, 80);
    const std::string plain = canonical_json(doc->value());
    DigestedText d = canonical_json_digested(doc->value(), "{\"c\":", "}");
    EXPECT_EQ(d.text, plain) << text.substr(0, 80);
    EXPECT_EQ(d.text_sha256, sha256_hex(plain)) << text.substr(0, 80);
    EXPECT_EQ(d.framed_sha256, sha256_hex("{\"c\":" + plain + "}")) << text.substr(0, 80);
    // The text never kept, digested on the writing thread and beside it.
    for (bool helper : {false, true}) {
      StreamedDigests s = canonical_json_streamed(doc->value(), "{\"c\":", "}", helper);
      EXPECT_EQ(s.text_bytes, plain.size()) << text.substr(0, 80) << ' ' << helper;
      EXPECT_EQ(s.text_sha256, d.text_sha256) << text.substr(0, 80) << ' ' << helper;
      EXPECT_EQ(s.framed_sha256, d.framed_sha256) << text.substr(0, 80) << ' ' << helper;
    }
  }
  // The growth case did grow: 1e15 is written as 1000000000000000.0.
  EXPECT_GT(canonical_json(parse(growing_numbers(10))->value()).size(), growing_numbers(10).size());
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
