#include "json/sha256.hpp"

#include <openssl/evp.h>

namespace orvane::json {

namespace {

const EVP_MD* sha256_md() {
  // Fetched once: an implicit fetch on every call costs more than hashing a small text.
  static const EVP_MD* md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched ? static_cast<const EVP_MD*>(fetched) : EVP_sha256();
  }();
  return md;
}

std::string to_hex(const unsigned char* digest, unsigned len) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(len * 2, '0');
  for (unsigned i = 0; i < len; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  // One context per thread, reset for each digest: a fresh context costs about as much as
  // digesting a small file.
  struct Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
  };
  thread_local Context reused;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestInit_ex2(reused.ctx, sha256_md(), nullptr);
  EVP_DigestUpdate(reused.ctx, bytes.data(), bytes.size());
  EVP_DigestFinal_ex(reused.ctx, digest, &len);
  return to_hex(digest, len);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), sha256_md(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), digest, &len);
  return to_hex(digest, len);
}

}  // namespace orvane::json
