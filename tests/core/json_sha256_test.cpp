#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "json/sha256.hpp"

namespace orvane::json {
namespace {

bool is_lower_hex64(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Published test messages and their digests.
TEST(CanonicalSha256, KnownDigests) {
  const std::pair<std::string, std::string_view> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, digest] : cases) {
    EXPECT_EQ(sha256_hex(message), digest) << message.substr(0, 60);
    Sha256 h;
    h.update(message);
    EXPECT_EQ(h.hex(), digest) << message.substr(0, 60);
  }
}

// A megabyte of varied text, fed in pieces of many sizes (crossing the 64-byte block edge in
// every way), digests the same as in one go.
TEST(CanonicalSha256, IncrementalMatchesOneShot) {
  std::string text;
  text.reserve(1 << 20);
  std::uint32_t x = 12345;
  while (text.size() < (1u << 20)) {
    x = x * 1103515245u + 12345u;
    text += static_cast<char>(x >> 24);
  }
  const std::string whole = sha256_hex(text);
  EXPECT_TRUE(is_lower_hex64(whole)) << whole;
  EXPECT_NE(whole, sha256_hex(text.substr(1)));

  for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 1000u, 4096u, 1u << 20}) {
    Sha256 h;
    h.update("");  // an empty piece changes nothing
    for (std::size_t at = 0; at < text.size(); at += piece) {
      h.update(std::string_view(text).substr(at, piece));
    }
    EXPECT_EQ(h.hex(), whole) << "pieces of " << piece;
  }

  // Changing one byte changes the digest.
  std::string changed = text;
  changed[changed.size() / 2] ^= 1;
  EXPECT_NE(sha256_hex(changed), whole);
}

// Two texts digested side by side give each its own digest, whatever their lengths: around
// the block edges (55, 56, 63, 64, 65 bytes: one or two blocks of padding), of equal and of
// different block counts, either one the longer, and empty.
TEST(CanonicalSha256, PairMatchesEachAlone) {
  std::string text;
  for (std::uint32_t x = 7; text.size() < 5000;) {
    x = x * 1103515245u + 12345u;
    text += static_cast<char>(x >> 24);
  }
  const std::size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 2200, 2300, 4999};
  for (std::size_t a : lengths) {
    for (std::size_t b : lengths) {
      const std::string_view first = std::string_view(text).substr(0, a);
      const std::string_view second = std::string_view(text).substr(1, b);
      for (bool side_by_side : {true, false}) {
        const DigestPair pair = sha256_pair(first, second, side_by_side);
        EXPECT_EQ(pair.first.str(), sha256_hex(first)) << a << " " << b << " " << side_by_side;
        EXPECT_EQ(pair.second.str(), sha256_hex(second)) << a << " " << b << " " << side_by_side;
      }
    }
  }
  EXPECT_EQ(sha256_pair("abc", "").first.str(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CanonicalSha256, AlwaysSixtyFourLowercaseHex) {
  for (std::string_view s : {"", "a", "A", "\xFF\x00", "The quick brown fox"}) {
    EXPECT_TRUE(is_lower_hex64(sha256_hex(s))) << s;
  }
}

}  // namespace
}  // namespace orvane::json
