// Did-you-mean: the bounded distance agrees with the whole table for every bound, and
// closest_name picks the same names as it did with the whole table, near the allowed distance
// too.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "schema/closeness.hpp"
#include "schema/decode.hpp"

namespace orvane::schema {
namespace {

// A fixed sequence of bytes for every run.
struct Bytes {
  std::uint64_t state;
  std::uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
  char from(unsigned alphabet) {
    return alphabet > 26 ? char(next() % 256) : char('a' + next() % alphabet);
  }
  std::string text(std::size_t n, unsigned alphabet) {
    std::string s(n, 'a');
    for (char& c : s) c = from(alphabet);
    return s;
  }
  // `s` after `edits` random edits of every kind (a swap of neighbours among them).
  std::string edited(std::string s, int edits, unsigned alphabet) {
    for (int e = 0; e < edits && !s.empty(); ++e) {
      const std::size_t at = next() % s.size();
      switch (next() % 4) {
        case 0:
          s[at] = from(alphabet);
          break;
        case 1:
          s.erase(at, 1);
          break;
        case 2:
          s.insert(s.begin() + long(at), from(alphabet));
          break;
        default:
          if (at + 1 < s.size()) std::swap(s[at], s[at + 1]);
      }
    }
    return s;
  }
};

// Pairs of names of up to one word and of several (the bit vectors carry between words), few
// and many letters, random and a few edits apart; every bound around the distance.
TEST(SchemaCloseness, BoundedDistanceAgreesWithTheWholeTable) {
  Bytes bytes{42};
  const std::size_t lengths[] = {0, 1, 2, 5, 11, 63, 64, 65, 127, 128, 129, 200};
  int compared = 0;
  for (std::size_t length : lengths) {
    for (unsigned alphabet : {2u, 4u, 26u, 256u}) {
      for (int pair = 0; pair < 12; ++pair) {
        const std::string a = bytes.text(length, alphabet);
        const std::string b = pair % 2 ? bytes.edited(a, pair, alphabet)
                                       : bytes.text(length + bytes.next() % 5, alphabet);
        const std::size_t d = edit_distance(a, b);
        ASSERT_EQ(edit_distance(b, a), d);
        DistanceFrom from_a(a), from_b(b);
        for (std::size_t bound : {std::size_t(0), d / 2, d ? d - 1 : 0, d, d + 1, d + 100}) {
          const std::size_t want = d <= bound ? d : bound + 1;
          EXPECT_EQ(from_a(b, bound), want) << a << " / " << b << " within " << bound;
          EXPECT_EQ(from_b(a, bound), want) << b << " / " << a << " within " << bound;
          ++compared;
        }
      }
    }
  }
  EXPECT_EQ(compared, 12 * 4 * 12 * 6);
}

// `s` with the byte at every second place from `from` replaced, `count` of them.
std::string replaced(std::string s, std::size_t count, std::size_t from = 0) {
  for (std::size_t k = 0; k < count; ++k) s.at(from + 2 * k) = s[from + 2 * k] == 'z' ? 'y' : 'z';
  return s;
}

TEST(SchemaCloseness, ClosestNamesAreTheFirstOfTheNearestWithinAThird) {
  Bytes bytes{7};
  // Long names without repeats a shorter alignment could use: letters other than y and z.
  const std::string long64 = bytes.text(64, 24), long65 = bytes.text(65, 24),
                    long300 = bytes.text(300, 24);
  // The names below are as far from the given one as their construction says.
  ASSERT_EQ(edit_distance(long64, replaced(long64, 21)), 21u);
  ASSERT_EQ(edit_distance(long64, replaced(long64, 22)), 22u);
  ASSERT_EQ(edit_distance(long65, replaced(long65, 21)), 21u);
  ASSERT_EQ(edit_distance(long65, replaced(long65, 22)), 22u);
  ASSERT_EQ(edit_distance(long300, replaced(long300, 99)), 99u);
  ASSERT_EQ(edit_distance(long300, replaced(long300, 100)), 100u);
  ASSERT_EQ(edit_distance(long300, replaced(long300, 100, 1)), 100u);
  ASSERT_EQ(edit_distance(long300, replaced(long300, 101)), 101u);

  struct Case {
    std::string given;
    std::vector<std::string> names;
    std::optional<std::string> closest;
  };
  const Case cases[] = {
      {"warmpu", {"symbol", "timeframe", "warmup", "sizing"}, "warmup"},
      {"trailing_stop_pc",
       {"stop_loss_pct", "trailing_stop_pct", "max_leverage"},
       "trailing_stop_pct"},
      // Under three letters nothing is a slip.
      {"ab", {"ab", "abc"}, std::nullopt},
      {"abc", {"abd", "abe"}, "abd"},
      // Ties go to the first; a later name must be nearer.
      {"trade", {"trace", "grade"}, "trace"},
      {"trade", {"grade", "trace"}, "grade"},
      {"derivativs", {"derivatives_x", "derivatives"}, "derivatives"},
      {"derivativs", {"derivatives", "derivativs_"}, "derivatives"},
      // An edit per three letters at most: six letters allow two.
      {"abcdef", {"abcdxy"}, "abcdxy"},
      {"abcdef", {"abcxyz"}, std::nullopt},
      {"abcdef", {"badcfe"}, std::nullopt},
      {"abcdef", {"bacdfe"}, "bacdfe"},
      // Lengths two apart can still be close, three cannot.
      {"abcdef", {"abcdefgh"}, "abcdefgh"},
      {"abcdef", {"abcdefghi", "abcdefxx"}, "abcdefxx"},
      {"abcdefgh", {"cdef"}, std::nullopt},
      {"abcdefgh", {"bcdef"}, std::nullopt},
      {"abcdefghi", {"bcdefg"}, "bcdefg"},
      // Names of one word of bits, and of more, at the allowed distance and one past it.
      {long64, {replaced(long64, 22), replaced(long64, 21)}, replaced(long64, 21)},
      {long65, {replaced(long65, 22), replaced(long65, 21)}, replaced(long65, 21)},
      {long65, {long65.substr(0, 43), long65.substr(0, 44)}, long65.substr(0, 44)},
      {long300,
       {replaced(long300, 101), replaced(long300, 100), replaced(long300, 100, 1)},
       replaced(long300, 100)},
      {long300, {replaced(long300, 100), replaced(long300, 99)}, replaced(long300, 99)},
      {long300, {replaced(long300, 101), long300 + std::string(101, 'q')}, std::nullopt},
      {long300, {long300.substr(1) + "yy", replaced(long300, 99)}, long300.substr(1) + "yy"},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> names(c.names.begin(), c.names.end());
    const auto got = closest_name(c.given, names);
    EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, c.closest) << c.given;
  }
}

}  // namespace
}  // namespace orvane::schema
