#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::json {
namespace {

using namespace std::string_literals;

// What a caller sees for a text: the canonical text of the value, or the message with its
// position suffix.
std::string outcome(std::string_view text) {
  auto r = parse(text);
  if (r) return "ok " + canonical_json(r->value());
  return r.error().message + position_suffix(text, r.error().index);
}

struct Case {
  std::string text;
  std::string expected;
};

void expect_all(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
}

// A repeated key keeps its first place and takes the last value, whether or not the keys'
// signatures (first byte, last byte, length) meet, written with an escape or not, and in
// objects past the 64 members compared pairwise.
TEST(CanonicalReaderKeys, RepeatedKeysFold) {
  std::string many = "{", many_folded = "ok {";
  for (int k = 0; k < 70; ++k) {
    const std::string key = "\"k" + std::string(k < 10 ? "0" : "") + std::to_string(k) + "\":";
    many += key + std::to_string(k) + ",";
    many_folded += key + (k == 3 ? "\"last\"" : std::to_string(k)) + (k < 69 ? "," : "}");
  }
  many += "\"k03\":\"last\"}";
  expect_all({
      {R"({"a":1,"b":2,"a":3})", R"(ok {"a":3,"b":2})"},
      {R"({"axb":1,"ayb":2,"azb":3})", R"(ok {"axb":1,"ayb":2,"azb":3})"},
      {R"({"axb":1,"ayb":2,"axb":3})", R"(ok {"axb":3,"ayb":2})"},
      {R"({"a\u0062":1,"ab":2})", R"(ok {"ab":2})"},
      {R"({"ab":1,"a\u0062":2,"c":[{"x":1,"x":2},{"x":3}]})",
       R"(ok {"ab":2,"c":[{"x":2},{"x":3}]})"},
      {R"([{"t":1,"o":2},{"t":3,"o":4,"t":5},{"t":6,"o":7}])",
       R"(ok [{"o":2,"t":1},{"o":4,"t":5},{"o":7,"t":6}])"},
      {many, many_folded},
  });
}

// Columns below are counted by hand: bytes from the line start up to and including the byte
// at which the reader gives up, or the end of the text when it runs out.

TEST(CanonicalReaderSyntax, EndOfText) {
  expect_all({
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {" \t\r\n ", "EOF while parsing a value at line 2 column 1"},
      {"\n\n\n", "EOF while parsing a value at line 4 column 0"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1, 2", "EOF while parsing a list at line 1 column 5"},
      {"[\n1\n", "EOF while parsing a list at line 3 column 0"},
      {"[[]", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1, ", "EOF while parsing a value at line 1 column 4"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{ ", "EOF while parsing an object at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":{}", "EOF while parsing an object at line 1 column 7"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"", "EOF while parsing a string at line 1 column 1"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"a\\", "EOF while parsing a string at line 1 column 3"},
      {"{\"ab", "EOF while parsing a string at line 1 column 4"},
      {"[\"a\",\n\"b", "EOF while parsing a string at line 2 column 2"},
      // Literals and numbers cut off by the end of the text.
      {"t", "EOF while parsing a value at line 1 column 1"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"[fals", "EOF while parsing a value at line 1 column 5"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"[1.", "EOF while parsing a value at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1.5E-", "EOF while parsing a value at line 1 column 5"},
      // A \u escape that the text ends in the middle of.
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\uD800\\u00", "EOF while parsing a string at line 1 column 11"},
  });
}

TEST(CanonicalReaderSyntax, Separators) {
  expect_all({
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\",1}", "expected `:` at line 1 column 5"},
      {"{\"a\"}", "expected `:` at line 1 column 5"},
      {"{\"a\":1,\"b\"\n=2}", "expected `:` at line 2 column 1"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"[[]{}]", "expected `,` or `]` at line 1 column 4"},
      {"[\"a\" \"b\"]", "expected `,` or `]` at line 1 column 6"},
      {"[1:2]", "expected `,` or `]` at line 1 column 3"},
      {"[true\n\tfalse]", "expected `,` or `]` at line 2 column 2"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"{\"a\":[]:", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{'a':1}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"{\"a\":1, b:2}", "key must be a string at line 1 column 9"},
      {"{\"a\":1,\n  null:2}", "key must be a string at line 2 column 3"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, ]", "trailing comma at line 1 column 5"},
      {"[1,\n]", "trailing comma at line 2 column 1"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{}x", "trailing characters at line 1 column 3"},
      {"[]]", "trailing characters at line 1 column 3"},
      {"\"a\"\"b\"", "trailing characters at line 1 column 4"},
      {"nulll", "trailing characters at line 1 column 5"},
      {"-0-", "trailing characters at line 1 column 3"},
      {"1.5.3", "trailing characters at line 1 column 4"},
      {"0x10", "trailing characters at line 1 column 2"},
      {"1e5e5", "trailing characters at line 1 column 4"},
      {"1\n\n x", "trailing characters at line 3 column 2"},
      {"{} \n,", "trailing characters at line 2 column 1"},
      {"1\0"s, "trailing characters at line 1 column 2"},
  });
}

TEST(CanonicalReaderSyntax, Values) {
  expect_all({
      {"trux", "expected ident at line 1 column 4"},
      {"nil", "expected ident at line 1 column 2"},
      {"fals3", "expected ident at line 1 column 5"},
      {"[truE]", "expected ident at line 1 column 5"},
      {"{\"a\":nul,", "expected ident at line 1 column 9"},
      {"x", "expected value at line 1 column 1"},
      {"]", "expected value at line 1 column 1"},
      {"}", "expected value at line 1 column 1"},
      {"True", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"\x01", "expected value at line 1 column 1"},
      {"\f[]", "expected value at line 1 column 1"},
      {"[x]", "expected value at line 1 column 2"},
      {"[,1]", "expected value at line 1 column 2"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"[1,\n  @]", "expected value at line 2 column 3"},
  });
}

TEST(CanonicalReaderSyntax, Numbers) {
  expect_all({
      {"01", "invalid number at line 1 column 2"},
      {"00", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"[01]", "invalid number at line 1 column 3"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e.5", "invalid number at line 1 column 3"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"-x", "invalid number at line 1 column 2"},
      {"--1", "invalid number at line 1 column 2"},
      {"-.5", "invalid number at line 1 column 2"},
      {"[-]", "invalid number at line 1 column 3"},
      {"[1,\n -a]", "invalid number at line 2 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"[1e308,1e309]", "number out of range at line 1 column 12"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"1e99999999999999999999", "number out of range at line 1 column 22"},
      {"{\"a\":\n  -123e100000}", "number out of range at line 2 column 13"},
      // Out of range only when too large: these underflow to zero.
      {"1e-400", "ok 0.0"},
      {"-1e-400", "ok -0.0"},
      {"0e999999999999", "ok 0.0"},
      {"0.000e400", "ok 0.0"},
      {"-0.0e99999", "ok -0.0"},
      {"123e-10000000", "ok 0.0"},
      {"1.7976931348623158e308", "ok 1.7976931348623157e+308"},
  });
}

TEST(CanonicalReaderSyntax, Strings) {
  expect_all({
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"ab\\q\"", "invalid escape at line 1 column 5"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\'\"", "invalid escape at line 1 column 3"},
      {"\"\\u12x4\"", "invalid escape at line 1 column 6"},
      {"\"\\uZZZZ\"", "invalid escape at line 1 column 4"},
      {"\"\\u00G0\"", "invalid escape at line 1 column 6"},
      {"[\"\\u12\"]", "invalid escape at line 1 column 7"},
      {"\"\\uD800\\uZZZZ\"", "invalid escape at line 1 column 10"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"[\"ok\", \"bad\x1f\"]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
      {"{\"k\0\":1}"s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      // The fault is the line feed itself, so the position is just past it: the next line.
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\"\x7f\"", "ok \"\x7f\""},
      // A leading surrogate must be followed by \u and a trailing one.
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uDBFFabc\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"{\"\\uDFAA\":0}", "lone leading surrogate in hex escape at line 1 column 8"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uDBFF\\uE000\"", "lone leading surrogate in hex escape at line 1 column 13"},
      // Pairs at both ends of the supplementary range.
      {"\"\\uD800\\uDC00\"", "ok \"\xF0\x90\x80\x80\""},
      {"\"\\uDBFF\\uDFFF\"", "ok \"\xF4\x8F\xBF\xBF\""},
      {"\"\\ud83d\\ude00\"", "ok \"\xF0\x9F\x98\x80\""},
  });
}

TEST(CanonicalReaderSyntax, ColumnsCountBytes) {
  expect_all({
      {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},                   // é
      {"[\"\xE6\x97\xA5\xE6\x9C\xAC\",x]", "expected value at line 1 column 11"},     // 日本
      {"\"\xF0\x9F\x98\x80\x01\"",                                                    // 😀
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 6"},
      {"{\"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\" 1}", "expected `:` at line 1 column 13"},  // ключ
      {"[\"\xC3\xA9\",\n \"\xE2\x82\xAC\" 1]", "expected `,` or `]` at line 2 column 8"},  // é, €
      {"\"\xC3\xA9", "EOF while parsing a string at line 1 column 3"},
      {"[1,\r\n x]", "expected value at line 2 column 2"},
      {"{\n  \"a\": 1,\n  \"b\": trux\n}", "expected ident at line 3 column 11"},
      // The misspelling is the line feed, so the position is the start of the next line.
      {"{\n  \"a\": 1,\n  \"b\": tru\n}", "expected ident at line 4 column 0"},
  });
}

TEST(CanonicalReaderSyntax, SuffixOfAnIndex) {
  const std::tuple<std::string_view, std::size_t, std::string_view> cases[] = {
      {"", 0, " at line 1 column 0"},
      {"abc", 0, " at line 1 column 0"},
      {"abc", 2, " at line 1 column 2"},
      {"abc", 3, " at line 1 column 3"},
      {"abc", 99, " at line 1 column 3"},  // past the end: the end
      {"a\nb", 1, " at line 1 column 1"},
      {"a\nb", 2, " at line 2 column 0"},
      {"a\nb", 3, " at line 2 column 1"},
      {"\n\nxy\n", 4, " at line 3 column 2"},
      {"\n\nxy\n", 5, " at line 4 column 0"},
  };
  for (const auto& [text, index, suffix] : cases) {
    EXPECT_EQ(position_suffix(text, index), suffix) << text << " @" << index;
  }
}

// ---- nesting ----

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(CanonicalReaderNesting, LimitOnArraysObjectsAndMixtures) {
  const std::string arrays127 = repeat("[", 127) + repeat("]", 127);
  const std::string objects127 = repeat("{\"a\":", 126) + "{}" + repeat("}", 126);
  const std::string mixed127 = repeat("[{\"k\":", 63) + "[]" + repeat("}]", 63);
  expect_all({
      {arrays127, "ok " + arrays127},
      {objects127, "ok " + objects127},
      {mixed127, "ok " + mixed127},
      // The 128th opener fails, before anything after it is looked at.
      {repeat("[", 128), "recursion limit exceeded at line 1 column 128"},
      {repeat("[", 128) + repeat("]", 128), "recursion limit exceeded at line 1 column 128"},
      {repeat("[", 500), "recursion limit exceeded at line 1 column 128"},
      {repeat("{\"a\":", 128), "recursion limit exceeded at line 1 column 636"},
      {repeat("{\"a\":", 127) + "{}" + repeat("}", 127),
       "recursion limit exceeded at line 1 column 636"},
      {repeat("[{\"k\":", 64), "recursion limit exceeded at line 1 column 380"},
      {repeat("[\n", 128), "recursion limit exceeded at line 128 column 1"},
      // Depth is released on the way out: siblings at level 127 are fine.
      {"[" + repeat("[", 126) + repeat("]", 126) + "," + repeat("[", 126) + repeat("]", 126) + "]",
       "ok [" + repeat("[", 126) + repeat("]", 126) + "," + repeat("[", 126) + repeat("]", 126) +
           "]"},
      // Brackets inside strings do not nest.
      {"[\"" + repeat("[", 200) + "\"]", "ok [\"" + repeat("[", 200) + "\"]"},
  });
}

std::string skip_outcome(std::string_view text) {
  Reader r(text);
  auto s = r.skip_value();
  if (s) s = r.end();
  if (s) return "ok";
  return s.error().message + position_suffix(text, s.error().index);
}

TEST(CanonicalReaderNesting, SkippedValuesHaveTheSameLimit) {
  const std::pair<std::string, std::string> cases[] = {
      {repeat("[", 127) + repeat("]", 127), "ok"},
      {repeat("{\"a\":", 126) + "{}" + repeat("}", 126), "ok"},
      {repeat("[", 128) + repeat("]", 128), "recursion limit exceeded at line 1 column 128"},
      {repeat("{\"a\":", 128), "recursion limit exceeded at line 1 column 636"},
      {repeat("[{\"k\":", 64), "recursion limit exceeded at line 1 column 380"},
      // Skipping checks everything else too.
      {"[1,{\"a\":tru}]", "expected ident at line 1 column 12"},
      {"{\"a\":[1 2]}", "expected `,` or `]` at line 1 column 9"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[] 1", "trailing characters at line 1 column 4"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(skip_outcome(text), expected) << text;
}

// ---- finding nodes again ----

// Every node is found where it was written, counted as the tape counts them; the document may
// be read with repeated keys folded or kept, the numbering is the same.
TEST(CanonicalReaderLocate, NodesAreFoundWhereTheyWereWritten) {
  const std::string text = "{\"a\": [1, \"x\\\"y\", {\"b\": null}],\n \"a\" : true , \"\u00e9\":-2.5e3}";
  const std::pair<std::uint32_t, std::string_view> cases[] = {
      {0, "{\"a\": [1, \"x\\\"y\", {\"b\": null}],\n \"a\" : true , \"\u00e9\":-2.5e3}"},
      {1, "\"a\""},
      {2, "[1, \"x\\\"y\", {\"b\": null}]"},
      {3, "1"},
      {4, "\"x\\\"y\""},
      {5, "{\"b\": null}"},
      {6, "\"b\""},
      {7, "null"},
      {8, "\"a\""},
      {9, "true"},
      {10, "\"\u00e9\""},
      {11, "-2.5e3"},
  };
  std::vector<std::uint32_t> nodes;
  for (const auto& c : cases) nodes.push_back(c.first);
  std::reverse(nodes.begin(), nodes.end());  // any order will do
  auto spans = locate_nodes(text, nodes);
  ASSERT_EQ(spans.size(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const auto& c = cases[nodes.size() - 1 - i];
    EXPECT_EQ(text.substr(spans[i].begin, spans[i].end - spans[i].begin), c.second) << c.first;
  }
  auto folded = parse(text);
  ASSERT_TRUE(folded);
  EXPECT_EQ(folded->doc.node_count(), 12u);
  EXPECT_EQ(folded->doc.value(11).literal(), "-2.5e3");
}

// Read as written, a repeated key is a member of its own; the path to a node names each
// member's key and each element's index.
TEST(CanonicalReaderLocate, AsWrittenKeepsRepeatedKeysAndPathsLeadToNodes) {
  const std::string text = R"({"a":[1,{"b":null}],"a":true,"c":{"d":[0,[5]]}})";
  ParsedDocument written;
  ASSERT_TRUE(parse_as_written(text, written));
  std::vector<std::string> keys;
  written.value().for_each_member([&](std::string_view k, Value) { return keys.emplace_back(k), true; });
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "a", "c"}));
  auto folded = parse(text);
  ASSERT_TRUE(folded);
  EXPECT_EQ(folded->value().size(), 2u);
  auto show = [](const std::vector<PathStep>& path) {
    std::string out;
    for (const auto& s : path) out += s.is_key ? "." + std::string(s.key) : "[" + std::to_string(s.index) + "]";
    return out;
  };
  const std::pair<std::uint32_t, std::string> cases[] = {
      {0, ""}, {1, ".a"}, {2, ".a"}, {4, ".a[1]"}, {6, ".a[1].b"}, {8, ".a"}, {11, ".c.d"},
      {13, ".c.d[0]"}, {15, ".c.d[1][0]"},
  };
  for (const auto& [node, expected] : cases) {
    EXPECT_EQ(show(path_to(written.doc, written.root, node)), expected) << node;
  }
}

// ---- number kinds ----

TEST(CanonicalReaderNumbers, KindsAndAccessors) {
  struct NumberCase {
    std::string_view literal;
    Kind kind;
    std::string_view canonical;
  };
  const NumberCase cases[] = {
      {"0", Kind::UInt, "0"},
      {"1", Kind::UInt, "1"},
      {"18446744073709551615", Kind::UInt, "18446744073709551615"},
      {"18446744073709551616", Kind::Float, "1.8446744073709552e+19"},
      {"-1", Kind::NegInt, "-1"},
      {"-9223372036854775808", Kind::NegInt, "-9223372036854775808"},
      {"-9223372036854775809", Kind::Float, "-9.223372036854776e+18"},
      {"-0", Kind::Float, "-0.0"},
      {"0.0", Kind::Float, "0.0"},
      {"1.0", Kind::Float, "1.0"},
      {"1e0", Kind::Float, "1.0"},
      {"1E+0", Kind::Float, "1.0"},
      {"10e-1", Kind::Float, "1.0"},
      {"1.00", Kind::Float, "1.0"},
      {"100000000000000000000", Kind::Float, "1e+20"},
      {"-123123123123123123123123123123", Kind::Float, "-1.2312312312312312e+29"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.literal);
    ASSERT_TRUE(r) << c.literal;
    Value v = r->value();
    EXPECT_EQ(v.kind(), c.kind) << c.literal;
    EXPECT_EQ(v.literal(), c.literal);
    EXPECT_EQ(canonical_json(v), c.canonical) << c.literal;
  }
  EXPECT_EQ(parse("18446744073709551615")->value().as_uint(), 18446744073709551615ull);
  EXPECT_EQ(parse("42")->value().as_uint(), 42u);
  EXPECT_EQ(parse("-9223372036854775808")->value().as_int(), INT64_MIN);
  EXPECT_EQ(parse("-7")->value().as_int(), -7);
  EXPECT_EQ(parse("-7")->value().as_double(), -7.0);
  EXPECT_EQ(parse("18446744073709551615")->value().as_double(), 18446744073709551616.0);
  EXPECT_EQ(parse("0.1")->value().as_double(), 0.1);
  EXPECT_EQ(parse("1e-400")->value().as_double(), 0.0);
  EXPECT_TRUE(std::signbit(parse("-0")->value().as_double()));
  EXPECT_TRUE(std::signbit(parse("-1e-400")->value().as_double()));
  EXPECT_FALSE(std::signbit(parse("1e-400")->value().as_double()));
}

TEST(CanonicalReaderStrings, Decoded) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"\"\"", ""},
      {"\"plain\"", "plain"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"\\u0041\\u00e9\\u20AC\"", "A\xC3\xA9\xE2\x82\xAC"},
      {"\"a\\u0000b\"", std::string_view("a\0b", 3)},
      {"\"\\uD834\\uDD1E\"", "\xF0\x9D\x84\x9E"},
      {"\"x\\ny\xC3\xA9z\"", "x\ny\xC3\xA9z"},
  };
  for (const auto& [text, decoded] : cases) {
    auto r = parse(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(r->value().kind(), Kind::String);
    EXPECT_EQ(r->value().as_string(), decoded) << text;
  }
}

}  // namespace
}  // namespace orvane::json
