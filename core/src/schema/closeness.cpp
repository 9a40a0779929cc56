#include "schema/closeness.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace orvane::schema {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> before(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        cur[j] = std::min(cur[j], before[j - 2] + 1);
      }
    }
    before.swap(prev);
    prev.swap(cur);
  }
  return prev[b.size()];
}

// Bit-parallel, after Hyyrö's bit-vector form of the table (2003): the given name is the
// pattern, one bit per byte, and each byte of the other name advances a whole column of the
// table at once, as bit vectors of where the column goes up or down from one cell to the next
// (vp, vn), where a cell is no larger than the one diagonally before it (d0), and which bytes of
// the pattern equal the byte read (pm, and the one before it, which a swap needs). The bottom
// cell of the column, the distance so far, is kept as a number. Words of 64 bits carry into the
// next word what leaves their top. Bits above the pattern's last only ever move further up, so
// a pattern cut short at its end is read from the same masks with a lower last bit, and one cut
// at its start (one word) from the masks shifted down.
namespace {

// Each byte of the name still to come can take the bottom cell down by one at most.
inline bool beyond(std::size_t dist, std::size_t bound, std::size_t left) {
  return dist > bound + left;
}

}  // namespace

DistanceFrom::DistanceFrom(std::string_view given)
    : given_(given), words_((given.size() + 63) / 64), masks_(256 * words_, 0) {
  for (std::size_t i = 0; i < given.size(); ++i) {
    masks_[static_cast<unsigned char>(given[i]) * words_ + i / 64] |= std::uint64_t(1) << (i % 64);
  }
}

std::size_t DistanceFrom::operator()(std::string_view name, std::size_t bound) {
  const std::size_t over = bound + 1;
  const std::string_view given = given_;
  const std::size_t gap =
      given.size() > name.size() ? given.size() - name.size() : name.size() - given.size();
  if (gap > bound) return over;  // that many insertions or deletions at least
  if (given.empty() || name.empty()) return gap;
  // Bytes both names start or end with take no edit: the distance is that of the rest. (With a
  // pattern of more than one word only the end is cut; the start would shift every word.)
  std::size_t start = 0, end = 0;
  if (words_ == 1) {
    while (start < given.size() && start < name.size() && given[start] == name[start]) ++start;
  }
  while (end < given.size() - start && end < name.size() - start &&
         given[given.size() - 1 - end] == name[name.size() - 1 - end]) {
    ++end;
  }
  const std::size_t m = given.size() - start - end;
  const std::string_view rest = name.substr(start, name.size() - start - end);
  if (m == 0 || rest.empty()) return m + rest.size();  // the gap, within the bound
  const std::size_t d = words_ == 1 ? one_word(rest, start, m, bound) : many_words(rest, m, bound);
  return std::min(d, over);
}

std::size_t DistanceFrom::one_word(std::string_view b, std::size_t shift, std::size_t m,
                                   std::size_t bound) const {
  const std::uint64_t last = std::uint64_t(1) << (m - 1);
  std::uint64_t vp = ~std::uint64_t(0), vn = 0, d0 = 0, pm_old = 0;
  std::size_t dist = m;
  for (std::size_t j = 0; j < b.size(); ++j) {
    const std::uint64_t pm = masks_[static_cast<unsigned char>(b[j])] >> shift;
    const std::uint64_t swap = ((~d0 & pm) << 1) & pm_old;
    d0 = (((pm & vp) + vp) ^ vp) | pm | vn | swap;
    std::uint64_t hp = vn | ~(d0 | vp);
    const std::uint64_t hn = d0 & vp;
    dist += (hp & last) != 0;
    dist -= (hn & last) != 0;
    if (beyond(dist, bound, b.size() - 1 - j)) return bound + 1;
    hp = (hp << 1) | 1;
    vp = (hn << 1) | ~(d0 | hp);
    vn = hp & d0;
    pm_old = pm;
  }
  return dist;
}

std::size_t DistanceFrom::many_words(std::string_view b, std::size_t m, std::size_t bound) {
  const std::size_t words = (m + 63) / 64;
  // Column k + 1 holds word k; column 0 stands below the first word, all zero.
  columns_.assign(2 * (words + 1), Column{~std::uint64_t(0), 0, 0, 0});
  Column* old = columns_.data();
  Column* now = old + (words + 1);
  old[0] = now[0] = Column{0, 0, 0, 0};
  const std::uint64_t last = std::uint64_t(1) << ((m - 1) % 64);
  std::size_t dist = m;
  for (std::size_t j = 0; j < b.size(); ++j) {
    const std::uint64_t* pm_of = &masks_[static_cast<unsigned char>(b[j]) * words_];
    std::uint64_t hp_carry = 1, hn_carry = 0;
    for (std::size_t k = 0; k < words; ++k) {
      const Column& o = old[k + 1];
      const std::uint64_t pm = pm_of[k];
      const std::uint64_t swap = (((~o.d0 & pm) << 1) | ((~old[k].d0 & now[k].pm) >> 63)) & o.pm;
      const std::uint64_t x = pm | hn_carry;
      const std::uint64_t d0 = (((x & o.vp) + o.vp) ^ o.vp) | x | o.vn | swap;
      std::uint64_t hp = o.vn | ~(d0 | o.vp);
      std::uint64_t hn = d0 & o.vp;
      if (k == words - 1) {
        dist += (hp & last) != 0;
        dist -= (hn & last) != 0;
      }
      const std::uint64_t hp_in = hp_carry, hn_in = hn_carry;
      hp_carry = hp >> 63;
      hn_carry = hn >> 63;
      hp = (hp << 1) | hp_in;
      hn = (hn << 1) | hn_in;
      now[k + 1] = Column{hn | ~(d0 | hp), hp & d0, d0, pm};
    }
    std::swap(old, now);
    if (beyond(dist, bound, b.size() - 1 - j)) return bound + 1;
  }
  return dist;
}

}  // namespace orvane::schema
