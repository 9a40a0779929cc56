#pragma once
// The digests of a large value's canonical text, for a caller that does not want the text
// itself (a dry run answers with digests and lengths only). The text is written a piece at a
// time into a small buffer that is digested while it is in the cache and then written over,
// so the whole text is never held: a 100 MB request's candle text would be about 87 MB more
// memory, and 21,000 fresh pages faulted in on every call. canonical_json_digested
// (json/writer.hpp) is the path that keeps the text.
#include <cstddef>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace orvane::json {

struct StreamedDigests {
  std::string text_sha256;    // hex, of the canonical text
  std::string framed_sha256;  // hex, of `prefix` + the canonical text + `suffix`
  std::size_t text_bytes = 0;
};

// `helper`: a second thread digests each piece while the next one is written (worth it only
// when a core is free for it, see second_core_free); otherwise the writing thread digests each
// piece itself, right after writing it. The digests are the same either way.
StreamedDigests canonical_json_streamed(Value v, std::string_view prefix, std::string_view suffix,
                                        bool helper);

}  // namespace orvane::json
