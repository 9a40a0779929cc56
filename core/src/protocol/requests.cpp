#include "protocol/requests.hpp"

#include "protocol/decode_request.hpp"

namespace orvane::schema {

namespace {

constexpr std::string_view kPositiveSeconds = "a positive number of seconds";
constexpr std::string_view kJobCount = "a whole number of jobs from 1 to 4096";
constexpr std::uint64_t kMostJobs = 4096;

}  // namespace

// Read whole, then judged: a fault stands where the value ends, even a container's.
Decoded<protocol::Seconds> Codec<protocol::Seconds>::from_value(json::Value v) {
  if (!v.is_number()) return fail(v, Place::End, invalid_type(found::of(v), kPositiveSeconds));
  const double s = v.as_double();
  if (!(s > 0)) return fail(v, Place::End, invalid_value(found::of(v), kPositiveSeconds));
  return protocol::Seconds{s};
}

Decoded<protocol::Jobs> Codec<protocol::Jobs>::from_value(json::Value v) {
  if (!v.is_number()) return fail(v, Place::End, invalid_type(found::of(v), kJobCount));
  if (v.kind() != json::Kind::UInt || v.as_uint() == 0 || v.as_uint() > kMostJobs) {
    return fail(v, Place::End, invalid_value(found::of(v), kJobCount));
  }
  return protocol::Jobs{std::uint32_t(v.as_uint())};
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
