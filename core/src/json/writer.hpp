#pragma once
// The compact JSON text (no whitespace, fixed escaping and number format) and the canonical
// text (compact, with object keys in byte-wise order at every depth).
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace orvane::json {

// Appends `s` as a JSON string: quotes, then the escaped UTF-8 bytes.
void append_string(std::string& out, std::string_view s);

// Appends a value in insertion order.
void write_compact(std::string& out, Value v);
std::string compact_json(Value v);

// Appends the canonical text of a value.
void write_canonical(std::string& out, Value v);
std::string canonical_json(Value v);

// The canonical text of a value with two digests taken while it is written: of the text, and
// of `prefix` + text + `suffix`. The digests trail the writer on a second thread.
struct DigestedText {
  std::string text;
  std::string text_sha256;    // hex
  std::string framed_sha256;  // hex
};
DigestedText canonical_json_digested(Value v, std::string_view prefix, std::string_view suffix);

}  // namespace orvane::json
