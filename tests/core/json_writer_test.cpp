#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/number.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::json {
namespace {

using namespace std::string_literals;

std::string canonical_of(std::string_view text) {
  auto r = parse(text);
  if (!r) return "error: " + r.error().message + position_suffix(text, r.error().index);
  return canonical_json(r->value());
}

std::string compact_of(std::string_view text) {
  auto r = parse(text);
  if (!r) return "error: " + r.error().message + position_suffix(text, r.error().index);
  return compact_json(r->value());
}

// ---- numbers ----

TEST(CanonicalWriterNumbers, FromLiterals) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"1", "1"},
      {"1.0", "1.0"},
      {"1.50", "1.5"},
      {"1e2", "100.0"},
      {"0.00001", "0.00001"},
      {"0.000001", "1e-6"},
      {"1e16", "1e+16"},
      {"9999000000000000.0", "9999000000000000.0"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0", "0"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e+308", "1.7976931348623157e+308"},
      {"1e15", "1000000000000000.0"},
      {"2.5e-5", "0.000025"},
      {"1.5e-7", "1.5e-7"},
      // Literals of the same value give the same text.
      {"1.00", "1.0"},
      {"10e-1", "1.0"},
      {"0.1e1", "1.0"},
      {"100E-2", "1.0"},
      // Below the smallest subnormal, halfway to it, and just above halfway.
      {"2e-324", "0.0"},
      {"2.4703282292062327e-324", "0.0"},
      {"2.4703282292062328e-324", "5e-324"},
      {"2.2250738585072011e-308", "2.225073858507201e-308"},
      {"-4.35", "-4.35"},
      {"123456789012345678", "123456789012345678"},
      {"1234567890123456789012", "1.2345678901234568e+21"},
      // Literals that are already nearly in the written form.
      {"0.000010", "0.00001"},
      {"0.0000", "0.0"},
      {"-0.000", "-0.0"},
      {"0.1000", "0.1"},
      {"10.0", "10.0"},
      {"123456789012345.0", "123456789012345.0"},
      {"123456789012345.6", "123456789012345.6"},
      {"1234567890123456.0", "1234567890123456.0"},
      {"999999999999999.9", "999999999999999.9"},
      {"100000000000000.5", "100000000000000.5"},
      {"1.000000000000001", "1.000000000000001"},
      {"9.999999999999999", "9.999999999999998"},
      {"9.9999999999999999", "10.0"},
      {"0.099999999999999999", "0.1"},
      {"12345.678901234567", "12345.678901234567"},
      {"0.123456789012345678", "0.12345678901234568"},
      {"0.00001000000000000001", "0.00001000000000000001"},
      {"0.0000100000000000000", "0.00001"},
  };
  for (const auto& [literal, text] : cases) EXPECT_EQ(canonical_of(literal), text) << literal;
}

TEST(CanonicalWriterNumbers, FloatFormat) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::string_view> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {100.0, "100.0"},
      {12.5, "12.5"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {42000.0, "42000.0"},
      {10.2625, "10.2625"},
      {1e15, "1000000000000000.0"},
      {9007199254740992.0, "9007199254740992.0"},
      {1234567890123456.8, "1234567890123456.8"},
      {1e16, "1e+16"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {1e23, "1e+23"},
      {1e100, "1e+100"},
      {-1e100, "-1e+100"},
      {1e-5, "0.00001"},
      {-2.5e-5, "-0.000025"},
      {1.2345e-5, "0.000012345"},
      {0.000123, "0.000123"},
      {9.9999e-6, "9.9999e-6"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1e-100, "1e-100"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {5e-324, "5e-324"},
      {-5e-324, "-5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {0.1 + 0.2, "0.30000000000000004"},
      {inf, "null"},
      {-inf, "null"},
      {std::nan(""), "null"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(format_float(v), text) << v;
}

TEST(CanonicalWriterNumbers, LiteralToDouble) {
  const std::pair<std::string_view, double> cases[] = {
      {"0.1", 0.1},
      {"-2.5e-5", -2.5e-5},
      {"1e-400", 0.0},
      {"5e-324", 5e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
  };
  for (const auto& [lit, v] : cases) EXPECT_EQ(literal_to_double(lit), v) << lit;
  EXPECT_TRUE(std::signbit(literal_to_double("-1e-400")));
  EXPECT_TRUE(std::signbit(literal_to_double("-0.0")));
}

// Literals far longer than any double needs: the value is still the nearest double, and the
// decision between two neighbours can hinge on the very last digit.
TEST(CanonicalWriterNumbers, VeryLongLiterals) {
  const std::string zeros9999(9999, '0');
  // Exactly 1 + 2^-53, halfway between 1.0 and the next double up.
  const std::string half_ulp_above_one = "1.00000000000000011102230246251565404236316680908203125";
  const std::size_t half_frac = half_ulp_above_one.size() - 2;  // 53 fraction digits
  // 2^64 + 2^11, halfway between 2^64 and the next double up.
  const std::string half_above_2_64 = "18446744073709553664";
  // The largest finite double written out in full (309 digits), and the point halfway to
  // the next power of two, which rounds to even: past the largest finite double.
  const std::string dbl_max_digits =
      "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955"
      "86327668781715404589535143824642343213268894641827684675467035375169860499105765512820762"
      "45490090389328944075868508455133942304583236903222948165808559332123348274797826204144723"
      "168738177180919299881250404026184124858368";
  const std::string halfway_to_overflow =
      "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901"
      "79775872070963302864166928879109465555478519404026306574886715058206819089020007083836762"
      "73854845817711531764475730270069855571366959622842914819860834936475292719074168444365510"
      "704342711559699508093042880177904174497792";
  const std::string below_halfway =
      halfway_to_overflow.substr(0, halfway_to_overflow.size() - 1) + "1";
  ASSERT_EQ(dbl_max_digits.size(), 309u);
  ASSERT_EQ(halfway_to_overflow.size(), 309u);

  const std::pair<std::string, std::string> cases[] = {
      // 10,000-digit integers are beyond every double.
      {"1" + zeros9999, "error: number out of range at line 1 column 10000"},
      {"-9" + zeros9999, "error: number out of range at line 1 column 10001"},
      {"[0, 1" + zeros9999 + "]", "error: number out of range at line 1 column 10004"},
      // ... unless an exponent brings them back.
      {"1" + zeros9999 + "e-9999", "1.0"},
      {"-" + std::string(10000, '1') + "e-10000", "-0.1111111111111111"},
      // 10,000-digit fractions.
      {"0." + std::string(10000, '3'), "0.3333333333333333"},
      {half_ulp_above_one + std::string(10000 - half_frac, '0'), "1.0"},
      {half_ulp_above_one + std::string(9999 - half_frac, '0') + "1", "1.0000000000000002"},
      {half_above_2_64 + "." + std::string(10000, '0'), "1.8446744073709552e+19"},
      {half_above_2_64 + "." + zeros9999 + "1", "1.8446744073709556e+19"},
      {"0." + zeros9999 + "1", "0.0"},
      // The edge of the finite range.
      {dbl_max_digits, "1.7976931348623157e+308"},
      {"-" + dbl_max_digits, "-1.7976931348623157e+308"},
      {below_halfway, "1.7976931348623157e+308"},
      {halfway_to_overflow, "error: number out of range at line 1 column 309"},
      {"-" + halfway_to_overflow, "error: number out of range at line 1 column 310"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(canonical_of(text), expected) << text.substr(0, 60) << "... (" << text.size() << ")";
  }
  auto long_int = parse(dbl_max_digits);
  ASSERT_TRUE(long_int);
  EXPECT_EQ(long_int->value().kind(), Kind::Float);
}

// ---- canonical text ----

TEST(CanonicalWriter, KeysSortedByBytesAtEveryDepth) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"b": 1, "a": [true, null, {"d": 1.0, "c": "x"}], "A": -0})",
       R"({"A":-0.0,"a":[true,null,{"c":"x","d":1.0}],"b":1})"},
      {R"({"ab":1,"a":2})", R"({"a":2,"ab":1})"},
      {R"({"a":1,"Z":2})", R"({"Z":2,"a":1})"},
      {R"({"é":1,"z":2})", R"({"z":2,"é":1})"},
      // U+FB00 (EF AC 80) before U+1F600 (F0 9F 98 80), although UTF-16 orders them the other
      // way round (D83D < FB00).
      {R"({"\ud83d\ude00":1,"\ufb00":2})", "{\"\xEF\xAC\x80\":2,\"\xF0\x9F\x98\x80\":1}"},
      // Bytes compare unsigned: 0x7F before 0xC3.
      {R"({"\u00ff":1,"\u007f":2})", "{\"\x7F\":2,\"\xC3\xBF\":1}"},
      {R"({"a\u0000":1,"a":2})", R"({"a":2,"a\u0000":1})"},
      {R"({"10":1,"9":2,"1":3,"":4})", R"({"":4,"1":3,"10":1,"9":2})"},
      {R"({"b":{"d":{"f":1,"e":2},"c":3},"a":0})", R"({"a":0,"b":{"c":3,"d":{"e":2,"f":1}}})"},
      {R"([{"b":1,"a":2},{"d":[{"y":1,"x":2}]}])", R"([{"a":2,"b":1},{"d":[{"x":2,"y":1}]}])"},
      {R"([3,1,2])", R"([3,1,2])"},
      {R"(["b","a",{"b":[2,1],"a":["z","y"]}])", R"(["b","a",{"a":["z","y"],"b":[2,1]}])"},
      {"{}", "{}"},
      {"[]", "[]"},
      {" { } ", "{}"},
      {"[ [ ] , { } ]", "[[],{}]"},
      {R"({"a":{"b":{}}})", R"({"a":{"b":{}}})"},
      {"null", "null"},
      {"true", "true"},
      {"false", "false"},
      {"\"\"", "\"\""},
  };
  for (const auto& [text, canonical] : cases) EXPECT_EQ(canonical_of(text), canonical) << text;
}

TEST(CanonicalWriter, KeyOrderAndWhitespaceDoNotMatter) {
  const std::string expected = R"({"a":[1,{"x":null,"y":false}],"b":{"c":"d"},"e":1.5})";
  const std::string_view variants[] = {
      R"({"a":[1,{"x":null,"y":false}],"b":{"c":"d"},"e":1.5})",
      R"({"e":1.5,"b":{"c":"d"},"a":[1,{"y":false,"x":null}]})",
      " {\n  \"b\" : { \"c\" : \"d\" } ,\r\n\t\"e\":15e-1, \"a\":[ 1 , {\"y\":false,\"x\":null} ]\n}\n",
      R"({"b":{"c":"\u0064"},"a":[1,{"x":null,"y":false}],"e":1.50})",
  };
  for (auto text : variants) EXPECT_EQ(canonical_of(text), expected) << text;
}

TEST(CanonicalWriter, StringEscaping) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      // Tab, quote and U+0001.
      {R"("\t\"\u0001")", R"("\t\"\u0001")"},
      {R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
      {R"("\u0008\u000C\u000a\u000D\u0009")", R"("\b\f\n\r\t")"},
      {R"("\u0000\u0007\u000b\u000e\u001f\u001F")", R"("\u0000\u0007\u000b\u000e\u001f\u001f")"},
      {R"("\"\\")", R"("\"\\")"},
      {R"("\/ and /")", R"("/ and /")"},
      {R"("\u007f")", "\"\x7F\""},
      {R"("\u0020~")", R"(" ~")"},
      {R"("\u2028\u2029")", "\"\xE2\x80\xA8\xE2\x80\xA9\""},
      {R"("\u00e9é")", "\"\xC3\xA9\xC3\xA9\""},
      {R"("\uD83D\uDE00")", "\"\xF0\x9F\x98\x80\""},
      {R"("\uFFFF")", "\"\xEF\xBF\xBF\""},
      {R"({"k\n\u0001":"v\t"})", R"({"k\n\u0001":"v\t"})"},
  };
  for (const auto& [text, out] : cases) {
    EXPECT_EQ(canonical_of(text), out) << text;
    EXPECT_EQ(compact_of(text), out) << text;
  }
}

TEST(CanonicalWriter, AppendStringBytes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"abc", R"("abc")"},
      {std::string_view("\0", 1), R"("\u0000")"},
      {"\x01\x02\x03\x04\x05\x06\x07", R"("\u0001\u0002\u0003\u0004\u0005\u0006\u0007")"},
      {"\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F", R"("\b\t\n\u000b\f\r\u000e\u000f")"},
      {"\x10\x1A\x1B\x1F", R"("\u0010\u001a\u001b\u001f")"},
      {"\x20\x7F", "\" \x7F\""},
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
      {"\tstart and end\n", R"("\tstart and end\n")"},
  };
  for (const auto& [bytes, out] : cases) {
    std::string s = "prefix:";
    append_string(s, bytes);
    EXPECT_EQ(s, "prefix:" + std::string(out)) << bytes;
  }
}

// Objects in a row that share their keys, differ, then share them again.
TEST(CanonicalWriter, ObjectsSharingKeys) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"([{"b":1,"a":2},{"b":3,"a":4},{"b":5,"a":6},{"a":7,"b":8},{"b":9,"a":10,"b":11},)"
       R"({"b":"\n","a":0},{"b":1},{"b":2,"a":3}])",
       R"([{"a":2,"b":1},{"a":4,"b":3},{"a":6,"b":5},{"a":7,"b":8},{"a":10,"b":11},)"
       R"({"a":0,"b":"\n"},{"b":1},{"a":3,"b":2}])"},
      {R"([{"k\"":1,"a\n":2},{"k\"":3,"a\n":4},{"k\"":5,"a\n":6},{"k\u0022":7,"a\u000a":8}])",
       R"([{"a\n":2,"k\"":1},{"a\n":4,"k\"":3},{"a\n":6,"k\"":5},{"a\n":8,"k\"":7}])"},
      {R"([{"x":{"x":1,"a":2},"a":3},{"x":{"x":4,"a":5},"a":6},{"x":{"a":7},"a":8}])",
       R"([{"a":3,"x":{"a":2,"x":1}},{"a":6,"x":{"a":5,"x":4}},{"a":8,"x":{"a":7}}])"},
      {R"([{"c":1,"b":2,"a":3},{"c":1,"b":2,"a":3},{"c":1,"b":2,"d":3},{"c":1,"b":2,"a":3}])",
       R"([{"a":3,"b":2,"c":1},{"a":3,"b":2,"c":1},{"b":2,"c":1,"d":3},{"a":3,"b":2,"c":1}])"},
      {R"({"p":[{"t":1,"o":1.50},{"t":2,"o":2.0}],"q":{"t":3,"o":3e0}})",
       R"({"p":[{"o":1.5,"t":1},{"o":2.0,"t":2}],"q":{"o":3.0,"t":3}})"},
      // Members of objects, and elements after them, that repeat their neighbours' keys.
      {R"({"p":{"b":1,"a":2},"q":{"b":3,"a":4,"b":5},"r":{"b":6,"a":7}})",
       R"({"p":{"a":2,"b":1},"q":{"a":4,"b":5},"r":{"a":7,"b":6}})"},
      {R"({"p":{"b":1,"a":2},"q":[{"b":3,"a":4},{"b":5,"b":6,"a":7},{"b":8,"a":9}]})",
       R"({"p":{"a":2,"b":1},"q":[{"a":4,"b":3},{"a":7,"b":6},{"a":9,"b":8}]})"},
      // Runs of four or more keys: the order is reused once the keys repeat, also when the
      // values turn into containers (empty ones too), a key repeats or a key is escaped.
      {R"([{"d":1,"c":2,"b":3,"a":4},{"d":5,"c":6,"b":7,"a":8},{"d":9,"c":10,"b":11,"a":12},)"
       R"({"d":[],"c":{},"b":13,"a":14},{"d":{"y":1,"x":2},"c":15,"b":16,"a":17},)"
       R"({"d":18,"c":19,"b":20,"a":21,"d":22},{"d":23,"c":24,"b":25,"a":26},)"
       R"({"d":"s","c":null,"b":true,"a":1.50},{"d":1,"c":2,"b":3,"a":4},)"
       R"({"d":1,"c":2,"b":3,"a":4,"e":5},{"d":1,"c":2,"b":3}])",
       R"([{"a":4,"b":3,"c":2,"d":1},{"a":8,"b":7,"c":6,"d":5},{"a":12,"b":11,"c":10,"d":9},)"
       R"({"a":14,"b":13,"c":{},"d":[]},{"a":17,"b":16,"c":15,"d":{"x":2,"y":1}},)"
       R"({"a":21,"b":20,"c":19,"d":22},{"a":26,"b":25,"c":24,"d":23},)"
       R"({"a":1.5,"b":true,"c":null,"d":"s"},{"a":4,"b":3,"c":2,"d":1},)"
       R"({"a":4,"b":3,"c":2,"d":1,"e":5},{"b":3,"c":2,"d":1}])"},
      {R"([{"x":{"d":1,"c":2,"b":3,"a":4},"w":1,"v":2,"u":3},)"
       R"({"x":{"d":1,"c":2,"b":3,"a":4},"w":1,"v":2,"u":3},)"
       R"({"x":{"d":1,"c":2,"b":3,"a":4},"w":1,"v":2,"u":3},)"
       R"({"x":{"a":5,"b":6,"c":7,"d":8},"w":1,"v":2,"u":3},)"
       R"({"x":{"d":9,"c":10,"b":11,"a":12},"w":1,"v":2,"u":3}])",
       R"([{"u":3,"v":2,"w":1,"x":{"a":4,"b":3,"c":2,"d":1}},)"
       R"({"u":3,"v":2,"w":1,"x":{"a":4,"b":3,"c":2,"d":1}},)"
       R"({"u":3,"v":2,"w":1,"x":{"a":4,"b":3,"c":2,"d":1}},)"
       R"({"u":3,"v":2,"w":1,"x":{"a":5,"b":6,"c":7,"d":8}},)"
       R"({"u":3,"v":2,"w":1,"x":{"a":12,"b":11,"c":10,"d":9}}])"},
  };
  for (const auto& [text, canonical] : cases) {
    EXPECT_EQ(canonical_of(text), canonical) << text;
    // Each object on its own gives the same text as within the array.
    auto r = parse(text);
    ASSERT_TRUE(r) << text;
    if (r->value().kind() != Kind::Array) continue;
    std::string joined = "[";
    r->value().for_each_element([&](Value e) {
      if (joined.size() > 1) joined += ',';
      joined += canonical_json(e);
      return true;
    });
    EXPECT_EQ(joined + "]", canonical) << text;
  }
}

// ---- duplicate keys ----

TEST(CanonicalWriter, DuplicateKeysKeepFirstPositionAndLastValue) {
  struct DupCase {
    std::string_view text;
    std::string_view compact;
    std::string_view canonical;
    std::size_t size;
  };
  const DupCase cases[] = {
      {R"({"a":1,"a":2})", R"({"a":2})", R"({"a":2})", 1},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})", R"({"a":3,"b":2})", 2},
      {R"({"b":0,"a":1,"b":2,"a":3})", R"({"b":2,"a":3})", R"({"a":3,"b":2})", 2},
      {R"({"a":1,"a":2,"a":3})", R"({"a":3})", R"({"a":3})", 1},
      {R"({"z":0,"a":1,"b":2,"a":3,"b":4,"a":5})", R"({"z":0,"a":5,"b":4})",
       R"({"a":5,"b":4,"z":0})", 3},
      // The replaced value can be a container of another kind, either way round.
      {R"({"a":{"x":1,"x":2},"a":[1],"b":true})", R"({"a":[1],"b":true})",
       R"({"a":[1],"b":true})", 2},
      {R"({"a":[1],"a":{"x":1,"x":2}})", R"({"a":{"x":2}})", R"({"a":{"x":2}})", 1},
      {R"({"a":{"b":1},"a":2,"a":[3,{"c":4,"c":5}]})", R"({"a":[3,{"c":5}]})",
       R"({"a":[3,{"c":5}]})", 1},
      {R"({"a":[1,2],"b":{"c":3},"a":{"d":[4]},"b":5})", R"({"a":{"d":[4]},"b":5})",
       R"({"a":{"d":[4]},"b":5})", 2},
      // Nested objects settle their own duplicates.
      {R"({"o":{"k":1,"k":2},"p":[{"q":1,"q":[2]}]})", R"({"o":{"k":2},"p":[{"q":[2]}]})",
       R"({"o":{"k":2},"p":[{"q":[2]}]})", 2},
      {R"([{"a":1,"a":2},{"a":3}])", R"([{"a":2},{"a":3}])", R"([{"a":2},{"a":3}])", 2},
      // Keys are compared decoded.
      {R"({"a":1,"\u0061":2})", R"({"a":2})", R"({"a":2})", 1},
      {R"({"\u0061":1,"a":2})", R"({"a":2})", R"({"a":2})", 1},
      {R"({"a":1,"A":2,"a ":3})", R"({"a":1,"A":2,"a ":3})", R"({"A":2,"a":1,"a ":3})", 3},
      // More than sixteen members.
      {R"({"r":18,"q":17,"p":16,"o":15,"n":14,"m":13,"l":12,"k":11,"j":10,"i":9,"h":8,"g":7,)"
       R"("f":6,"e":5,"d":4,"c":3,"b":2,"a":1,"c":30,"r":40,"c":50})",
       R"({"r":40,"q":17,"p":16,"o":15,"n":14,"m":13,"l":12,"k":11,"j":10,"i":9,"h":8,"g":7,)"
       R"("f":6,"e":5,"d":4,"c":50,"b":2,"a":1})",
       R"({"a":1,"b":2,"c":50,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,)"
       R"("n":14,"o":15,"p":16,"q":17,"r":40})",
       18},
      {R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,)"
       R"("n":14,"o":15,"p":16,"a":{"x":[1],"x":{"y":2,"y":3}}})",
       R"({"a":{"x":{"y":3}},"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,)"
       R"("l":12,"m":13,"n":14,"o":15,"p":16})",
       R"({"a":{"x":{"y":3}},"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,)"
       R"("l":12,"m":13,"n":14,"o":15,"p":16})",
       16},
      {R"([{"x":0,"x":1,"x":2,"x":3,"x":4,"x":5,"x":6,"x":7,"x":8,"x":9,"x":10,"x":11,"x":12,)"
       R"("x":13,"x":14,"x":15,"x":16,"x":17,"y":{"z":1,"z":2}}])",
       R"([{"x":17,"y":{"z":2}}])", R"([{"x":17,"y":{"z":2}}])", 1},
  };
  for (const auto& c : cases) {
    auto r = parse(c.text);
    ASSERT_TRUE(r) << c.text;
    Value v = r->value();
    EXPECT_EQ(compact_json(v), c.compact) << c.text;
    EXPECT_EQ(canonical_json(v), c.canonical) << c.text;
    EXPECT_EQ(v.size(), c.size) << c.text;
  }
}

TEST(CanonicalWriter, DuplicateKeysThroughTheValueInterface) {
  auto r = parse(R"({"a":1,"b":[2],"a":{"c":3},"b":"x"})");
  ASSERT_TRUE(r);
  Value v = r->value();
  std::vector<std::string> seen;
  v.for_each_member([&](std::string_view k, Value m) {
    seen.push_back(std::string(k) + "=" + compact_json(m));
    return true;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{R"(a={"c":3})", R"(b="x")"}));
  ASSERT_TRUE(v.find("a"));
  EXPECT_EQ(v.find("a")->kind(), Kind::Object);
  EXPECT_EQ(v.find("a")->find("c")->as_uint(), 3u);
  EXPECT_EQ(v.find("b")->as_string(), "x");
  EXPECT_FALSE(v.find("c"));
}

// ---- round trips ----

TEST(CanonicalWriter, CanonicalAndCompactAreFixedPoints) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"b": 1, "a": [true, null, {"d": 1.0, "c": "x"}], "A": -0})",
       R"({"A":-0.0,"a":[true,null,{"c":"x","d":1.0}],"b":1})"},
      {R"([1, 1.0, -0, 0, -1, 1e300, 1e-300, 0.1, 18446744073709551616])",
       R"([1,1.0,-0.0,0,-1,1e+300,1e-300,0.1,1.8446744073709552e+19])"},
      {R"({"s":"tab\tquote\"nul\u0000 del\u007f \u2028 é /"})",
       "{\"s\":\"tab\\tquote\\\"nul\\u0000 del\x7F \xE2\x80\xA8 \xC3\xA9 /\"}"},
      {R"({"z":{"y":{"x":[{"w":[]},{}]}},"a":[[[]]]})",
       R"({"a":[[[]]],"z":{"y":{"x":[{"w":[]},{}]}}})"},
      {R"({"k":1,"k":2,"j":{"m":3,"m":4}})", R"({"j":{"m":4},"k":2})"},
      {R"({"\ud83d\ude00":1,"\ufb00":2,"z":3,"é":4})",
       "{\"z\":3,\"\xC3\xA9\":4,\"\xEF\xAC\x80\":2,\"\xF0\x9F\x98\x80\":1}"},
      {R"([0.000025, 2.5e-5, 1e15, 1e16, 123456789.125])",
       R"([0.000025,0.000025,1000000000000000.0,1e+16,123456789.125])"},
  };
  for (const auto& [text, canonical] : cases) {
    const std::string once = canonical_of(text);
    EXPECT_EQ(once, canonical) << text;
    EXPECT_EQ(canonical_of(once), once) << text;
    const std::string compact = compact_of(text);
    EXPECT_EQ(compact_of(compact), compact) << text;
    EXPECT_EQ(canonical_of(compact), once) << text;
  }
}

// Strings and literals longer than fit in a node are kept aside; they must read back whole.
TEST(CanonicalWriter, LongStrings) {
  const std::string raw(1'500'000, 'x');
  std::string escaped_text = "\"";
  std::string escaped_value;
  for (int i = 0; i < 300'000; ++i) {
    escaped_text += "ab\\n";
    escaped_value += "ab\n";
  }
  escaped_text += "\"";
  const std::string doc = "{\"raw\":\"" + raw + "\",\"esc\":" + escaped_text + ",\"n\":1}";
  auto r = parse(doc);
  ASSERT_TRUE(r);
  Value v = r->value();
  EXPECT_EQ(v.find("raw")->as_string(), raw);
  EXPECT_EQ(v.find("esc")->as_string(), escaped_value);
  EXPECT_EQ(v.find("n")->as_uint(), 1u);
  EXPECT_EQ(compact_json(v), doc);
  EXPECT_EQ(canonical_json(v), "{\"esc\":" + escaped_text + ",\"n\":1,\"raw\":\"" + raw + "\"}");
}

}  // namespace
}  // namespace orvane::json
