#pragma once
// Reading a whole file into memory in one piece.
#include <expected>
#include <string>
#include <string_view>

namespace orvane::builder {

// The file's bytes, or the errno of the failing open or read.
std::expected<std::string, int> read_whole_file(const std::string& path);

bool is_valid_utf8(std::string_view bytes);

}  // namespace orvane::builder
