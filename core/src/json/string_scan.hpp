#pragma once
// Finding the next byte of a JSON string that needs care: a double quote, a backslash or a
// control character. Reader and writer both look for exactly these bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvane::json {

inline bool is_string_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The index of the first special byte in s[i, n), or n. Eight bytes at a time.
inline std::size_t find_string_special(const char* s, std::size_t i, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  while (i + 8 <= n) {
    std::uint64_t x;
    std::memcpy(&x, s + i, 8);
    std::uint64_t quote = x ^ (kOnes * '"');
    std::uint64_t slash = x ^ (kOnes * '\\');
    std::uint64_t hits = ((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) |
                         ((slash - kOnes) & ~slash);
    hits &= kHigh;
    // The lowest flagged byte is exact: a false flag can only follow a true one.
    if (hits) return i + (std::size_t(__builtin_ctzll(hits)) >> 3);
    i += 8;
  }
  while (i < n && !is_string_special(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

}  // namespace orvane::json
