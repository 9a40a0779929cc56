#pragma once
// Decoding a request body from the parsed command, worded from the text when it fails.
#include <string>
#include <string_view>

#include "canonical/reader.hpp"
#include "schema/decode.hpp"

namespace orvane::protocol {

template <class T>
std::expected<T, std::string> decode_request(std::string_view cmd_json,
                                             const json::ParsedDocument& request) {
  auto parsed = schema::decode_parsed<T>(request.value());
  if (parsed) return std::move(*parsed);
  // Read the text again for the failure's wording and position.
  json::Document scratch(cmd_json);
  auto from_text = schema::decode_text<T>(cmd_json, scratch);
  if (!from_text) return std::unexpected(schema::describe(from_text.error(), cmd_json));
  return std::unexpected(parsed.error().message);  // both readings agree; kept as a fallback
}

}  // namespace orvane::protocol
