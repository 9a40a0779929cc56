#include "json/sha256.hpp"

// The library's plain SHA-256 functions, marked deprecated in favour of its EVP interface. They
// run the same block function (with the CPU's SHA extensions where it has them); what EVP adds
// is a context on the heap for each Sha256, a provider lookup at every start and an indirect
// call per piece: BM_Sha256Hex/64 (bench/micro/sha256_bench.cpp) went from 153 to 123 ns, and
// a Sha256 from two allocations to none (bench/steps.cpp). A request digests five to seven
// texts.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace orvane::json {

namespace {

static_assert(sizeof(SHA256_CTX) <= 112 && alignof(SHA256_CTX) <= 8);

SHA256_CTX* context(unsigned char* storage) { return reinterpret_cast<SHA256_CTX*>(storage); }

HexDigest to_hex(const unsigned char (&digest)[SHA256_DIGEST_LENGTH]) {
  static constexpr char kHex[] = "0123456789abcdef";
  HexDigest out;
  for (unsigned i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out.chars[2 * i] = kHex[digest[i] >> 4];
    out.chars[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

}  // namespace

HexDigest sha256_digest(std::string_view bytes) {
  // Not the library's one-call SHA256(), which goes through EVP and fetches the algorithm.
  Sha256 sha;
  sha.update(bytes);
  return sha.finish();
}

std::string sha256_hex(std::string_view bytes) { return sha256_digest(bytes).str(); }

Sha256::Sha256() { SHA256_Init(context(ctx_)); }

void Sha256::update(std::string_view bytes) {
  SHA256_Update(context(ctx_), bytes.data(), bytes.size());
}

HexDigest Sha256::finish() {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, context(ctx_));
  return to_hex(digest);
}

std::string Sha256::hex() { return finish().str(); }

}  // namespace orvane::json
