#pragma once
// How far apart two names are, for the did-you-mean of warnings (closest_name in decode.hpp).
//
// The distance counts the edits that turn one name into the other: inserting, deleting or
// replacing a byte, or swapping two neighbours, no byte edited twice (a swapped pair is not
// edited again). edit_distance fills the whole table of it, a cell per pair of prefixes: the
// plain path, which DistanceFrom must always agree with. closest_name asks for the distance
// of every undeclared name to every declared one, which in a hostile document is many pairs of
// long names, so DistanceFrom is made cheap where that matters:
//   - names whose lengths differ by more than the bound are over it, without a look at them;
//   - bytes both names start or end with are left out (they take no edit);
//   - the table is filled 64 cells at a time (one bit each, see closeness.cpp), so two names of
//     n bytes cost about n * n / 64 steps instead of n * n, and the given name's bits are laid
//     out once for all the names it is compared with;
//   - it stops once the distance can no longer come down to the bound.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvane::schema {

// The distance, from the whole table.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The distances of names from one given name: each the distance when it is at most `bound`,
// otherwise bound + 1. The given name must outlive it.
class DistanceFrom {
 public:
  explicit DistanceFrom(std::string_view given);
  std::size_t operator()(std::string_view name, std::size_t bound);

 private:
  struct Column {
    std::uint64_t vp, vn, d0, pm;
  };
  std::size_t one_word(std::string_view b, std::size_t shift, std::size_t m,
                       std::size_t bound) const;
  std::size_t many_words(std::string_view b, std::size_t m, std::size_t bound);

  std::string_view given_;
  std::size_t words_;  // of 64 bytes of the given name
  // Per byte value, a word per 64 bytes of the given name with the bits of its places holding it.
  std::vector<std::uint64_t> masks_;
  std::vector<Column> columns_;
};

}  // namespace orvane::schema
