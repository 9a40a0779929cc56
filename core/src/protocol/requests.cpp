#include "protocol/requests.hpp"

#include "protocol/decode_request.hpp"

namespace orvane::schema {

namespace {

constexpr std::string_view kPositiveSeconds = "a positive number of seconds";

}  // namespace

// Read whole, then judged: a fault stands where the value ends, even a container's.
Decoded<protocol::Seconds> Codec<protocol::Seconds>::from_value(json::Value v) {
  if (!v.is_number()) return fail(v, Place::End, invalid_type(found::of(v), kPositiveSeconds));
  const double s = v.as_double();
  if (!(s > 0)) return fail(v, Place::End, invalid_value(found::of(v), kPositiveSeconds));
  return protocol::Seconds{s};
}

}  // namespace orvane::schema

namespace orvane::protocol {

std::size_t text_index(const schema::SchemaError& e, std::string_view text) {
  const std::uint32_t node = e.node;
  return place_in_text(e.place, json::locate_nodes(text, {&node, 1})[0], text);
}

std::size_t place_in_text(schema::Place place, json::NodeSpan span, std::string_view text) {
  switch (place) {
    case schema::Place::Start: return span.begin;
    case schema::Place::PastFirst: return span.begin + 1;
    case schema::Place::End: return span.end;
    case schema::Place::NextToken: break;
  }
  std::size_t i = span.end;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t' || text[i] == '\r')) ++i;
  return i;
}

}  // namespace orvane::protocol
