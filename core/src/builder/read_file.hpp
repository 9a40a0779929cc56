#pragma once
// Reading a whole file into memory in one piece.
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "builder/compile_error.hpp"

namespace orvane::builder {

// The bytes of a regular file, or why they could not be read: an Io error worded "reading <path>: "
// and the reason (the system's description with its error number, or one of our own). Only regular
// files are read: the path is opened without waiting (a FIFO without a writer would block the open)
// and anything else is refused before a byte is read; a directory fails as reading it would
// (EISDIR), a FIFO, device or socket with a reason naming its kind. Reading and callbacks happen on
// the calling thread (for a large file a PageWarmer maps the buffer's pages in ahead of it).
// `consume` sees the bytes in order: a file of 8 MiB or more a piece (256 KiB) at a time, each
// piece right after it is read, so work on the bytes (a digest) is done while the piece is in the
// cache (bytes it grew by meanwhile come after, together); a smaller file in one piece once it is
// read whole. `inspect`, when given, also sees every byte in order, each piece of a large file just
// before `consume` does: light work (a check).
std::expected<std::string, CompileError> read_whole_file(
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
