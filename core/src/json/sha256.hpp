#pragma once
// SHA-256 digests as 64 lowercase hexadecimal characters.
#include <string>
#include <string_view>

namespace orvane::json {

std::string sha256_hex(std::string_view bytes);

// Incremental digest, for texts that are produced in pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view bytes);
  std::string hex();  // finishes the digest

 private:
  void* ctx_;
};

}  // namespace orvane::json
