#pragma once
// SHA-256 digests as 64 lowercase hexadecimal characters.
#include <array>
#include <string>
#include <string_view>

namespace orvane::json {

// A digest's 64 hexadecimal characters, held in place: a digest taken of every file of every
// request costs no allocation until someone keeps it as a string.
struct HexDigest {
  std::array<char, 64> chars{};
  std::string_view view() const { return {chars.data(), chars.size()}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
};

std::string sha256_hex(std::string_view bytes);
HexDigest sha256_digest(std::string_view bytes);

// The digests of two texts. With `side_by_side`, on a CPU with SHA instructions, the two are
// taken block by block in one loop (json/sha256_pair.cpp), for about the cost of the longer;
// otherwise, and as the plain path, one after the other.
struct DigestPair {
  HexDigest first, second;
};
DigestPair sha256_pair(std::string_view first, std::string_view second, bool side_by_side = true);

// Incremental digest, for texts that are produced in pieces. The context lives in the object:
// a digest on the stack allocates nothing.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view bytes);
  std::string hex();   // finishes the digest
  HexDigest finish();  // the same, held in place

 private:
  // The library's SHA-256 context (SHA256_CTX, 112 bytes; checked where it is used).
  alignas(8) unsigned char ctx_[112];
};

}  // namespace orvane::json
