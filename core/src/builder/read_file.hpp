#pragma once
// Reading a whole file into memory in one piece.
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace orvane::builder {

// The file's bytes, or the errno of the failing open or read. `consume` sees the bytes in
// order, piece by piece, as they arrive: for a large file the reading runs on a second
// thread, so work on the bytes (a digest) overlaps the reading. `inspect`, when given, also
// sees every piece in order, on the reading thread itself, right after it is read: light work
// (a check) that then costs the consumer nothing.
std::expected<std::string, int> read_whole_file(
    const std::string& path, const std::function<void(std::string_view)>& consume = {},
    const std::function<void(std::string_view)>& inspect = {});

// Checks UTF-8 in pieces: feed() the bytes in order, then finish().
class Utf8Check {
 public:
  void feed(std::string_view piece);
  bool finish();  // true when every byte fed formed valid UTF-8

 private:
  bool ok_ = true;
  std::string carry_;  // the start of a character cut by a piece boundary
};

bool is_valid_utf8(std::string_view bytes);

}  // namespace orvane::builder
