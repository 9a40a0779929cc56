#pragma once
// Turning a tool's raw error output into message text.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::builder {

// Decodes `bytes` as UTF-8, replacing each maximal subpart of an ill-formed sequence by
// U+FFFD, the way common lossy decoders do.
std::string decode_utf8_lossy(std::string_view bytes);

// The last `max_bytes` bytes of valid UTF-8 `text`, moved forward past a character cut in
// two so that the result stays valid (and may be a few bytes shorter).
std::string_view utf8_tail(std::string_view text, std::size_t max_bytes);

}  // namespace orvane::builder
