#pragma once
// The compact JSON text (no whitespace, fixed escaping and number format) and the canonical
// text (compact, with object keys in byte-wise order at every depth).
#include <string>
#include <string_view>

#include "canonical/value.hpp"

namespace orvane::json {

// Appends `s` as a JSON string: quotes, then the escaped UTF-8 bytes.
void append_string(std::string& out, std::string_view s);

// Appends a value in insertion order.
void write_compact(std::string& out, Value v);
std::string compact_json(Value v);

// Appends the canonical text of a value.
void write_canonical(std::string& out, Value v);
std::string canonical_json(Value v);

// The canonical text of a large array, its two halves written side by side on two threads.
// Gives exactly the text of canonical_json.
std::string canonical_json_large_array(Value array);

}  // namespace orvane::json
