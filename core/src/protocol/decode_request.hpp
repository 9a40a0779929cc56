#pragma once
// Decoding a request body from the parsed command, placed in the text when it fails.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "schema/decode.hpp"

namespace orvane::protocol {

// A fault of the request text: the message as the answer words it (" at line L column C"
// appended when it has a place), and that place as a byte index of the text.
struct RequestFault {
  std::string message;
  std::string bare;  // the message without its place
  std::optional<std::size_t> index;
  std::uint32_t node = 0;  // on the tape of the request read as written
};

// The byte index of `text` where a reader of it stops for a fault placed at `place` of the node
// written at `span`.
std::size_t place_in_text(schema::Place place, json::NodeSpan span, std::string_view text);
// The same for `e`, a fault about a node of a document parsed from `text`.
std::size_t text_index(const schema::SchemaError& e, std::string_view text);

template <class T>
std::expected<T, RequestFault> decode_request(std::string_view cmd_json,
                                              const json::ParsedDocument& request) {
  auto parsed = schema::decode<T>(request.value());
  if (parsed) return std::move(*parsed);
  // The parsed request has repeated keys folded into one member. Decoding the request as
  // written, every member in its place, meets the fault a reader of the text meets first.
  json::ParsedDocument written;
  if (json::parse_as_written(cmd_json, written)) {
    auto again = schema::decode<T>(written.value());
    if (!again) {
      const std::size_t at = text_index(again.error(), cmd_json);
      return std::unexpected(RequestFault{again.error().message + json::position_suffix(cmd_json, at),
                                          again.error().message, at, again.error().node});
    }
  }
  // Both readings agree on every request: kept as a fallback.
  return std::unexpected(RequestFault{parsed.error().message, parsed.error().message, {}, 0});
}

}  // namespace orvane::protocol
