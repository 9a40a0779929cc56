#include <gtest/gtest.h>

#include <string>

#include "builder/utf8_lossy.hpp"

namespace orvane::builder {
namespace {

#define R "\xEF\xBF\xBD"  // U+FFFD

TEST(BuilderUtf8Lossy, ReplacesMaximalSubparts) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"plain ascii\n", "plain ascii\n"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\x80" "b", "a" R "b"},
      {"\xFF", R},
      {"\xC0\xAF", R R},                         // C0 and C1 never start a sequence
      {"\xC1\xBF", R R},
      {"\xE0\x80\xAF", R R R},                   // overlong: E0 wants A0..BF next
      {"\xED\xA0\x80", R R R},                   // surrogate: ED wants 80..9F next
      {"\xF4\x90\x80\x80", R R R R},             // past U+10FFFF
      {"\xF5\x80", R R},
      {"\xE1\x80", R},                           // truncated at the end: one replacement
      {"\xE1\x80" "A", R "A"},
      {"\xF0\x9F\x98" "A", R "A"},
      {"\xF0\x9F\x98", R},
      {"\xC2\xC2\xA9", R "\xC2\xA9"},            // the offending byte starts afresh
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF is fine
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF is fine
      // The mixed example that the maximal-subpart practice is usually shown with.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" R R R "b" R "c" R R "d"},
      {std::string_view("nul\0inside", 10), std::string_view("nul\0inside", 10)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(decode_utf8_lossy(in), out) << in;
}

TEST(BuilderUtf8Lossy, TailAtCharacterBoundary) {
  const std::tuple<std::string_view, std::size_t, std::string_view> cases[] = {
      {"abc", 5, "abc"},
      {"abc", 3, "abc"},
      {"abcd", 3, "bcd"},
      {"", 0, ""},
      {"\xC3\xA9" "ab", 4, "\xC3\xA9" "ab"},
      {"x\xC3\xA9" "ab", 4, "\xC3\xA9" "ab"},  // cut lands on a lead byte
      {"x\xC3\xA9" "ab", 3, "ab"},             // cut inside a character: move forward
      {"\xC3\xA9" "ab", 3, "ab"},
      {"\xE2\x82\xAC" "a", 3, "a"},
      {"\xE2\x82\xAC" "a", 2, "a"},
      {"\xF0\x9F\x98\x80", 3, ""},
      {R R R, 7, R R},
  };
  for (const auto& [text, max, tail] : cases) EXPECT_EQ(utf8_tail(text, max), tail) << text << max;
}

#undef R

}  // namespace
}  // namespace orvane::builder
