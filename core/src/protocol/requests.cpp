#include "protocol/requests.hpp"

namespace orvane::schema {

namespace {

constexpr std::string_view kPositiveSeconds = "a positive number of seconds";

}  // namespace

Decoded<protocol::Seconds> Codec<protocol::Seconds>::from_value(json::Value v) {
  if (!v.is_number()) return fail(invalid_type(found::of(v), kPositiveSeconds));
  const double s = v.as_double();
  if (!(s > 0)) return fail(invalid_value(found::of(v), kPositiveSeconds));
  return protocol::Seconds{s};
}

// Read whole, then judged as a value; a fault is placed where the value ends, as for every
// other scalar read from text.
Decoded<protocol::Seconds> Codec<protocol::Seconds>::from_text(TextIn& in) {
  auto v = Codec<json::Value>::from_text(in);
  if (!v) return std::unexpected(std::move(v.error()));
  auto s = from_value(*v);
  if (!s) return std::unexpected(in.fix(std::move(s.error())));
  return s;
}

}  // namespace orvane::schema
