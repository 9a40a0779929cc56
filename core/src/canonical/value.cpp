#include "canonical/value.hpp"

#include <charconv>
#include <cmath>

#include "canonical/number.hpp"

namespace orvane::json {


void Document::clear() {
  nodes_.clear();
  arena_.clear();
  spans_.clear();
  redirects_.clear();
  dead_keys_.clear();
}


std::uint32_t Document::push_escaped(std::string_view decoded) {
  std::size_t offset = arena_.size();
  arena_.append(decoded);
  return push_span(kStrEsc, offset, decoded.size());
}

void Document::supersede(std::uint32_t first_key, std::uint32_t later_key) {
  std::uint32_t first_value = first_key + 1;
  std::uint32_t later_value = later_key + 1;
  if (tag(first_value) == kRedirect) {
    redirects_[nodes_[first_value] & kPayloadMask].target = later_value;
  } else {
    redirects_.push_back(Redirect{later_value, end_of(first_value)});
    nodes_[first_value] = (std::uint64_t(kRedirect) << 60) | (redirects_.size() - 1);
  }
  dead_keys_.push_back(DeadKey{nodes_[later_key], end_of(later_value)});
  nodes_[later_key] = (std::uint64_t(kDead) << 60) | (dead_keys_.size() - 1);
}





// ---- Value ----


bool Value::as_bool() const { return doc_->tag(index_) == Document::kTrue; }

std::uint64_t Value::as_uint() const {
  std::string_view lit = literal();
  std::uint64_t v = 0;
  std::from_chars(lit.data(), lit.data() + lit.size(), v);
  return v;
}

std::int64_t Value::as_int() const {
  std::string_view lit = literal();
  std::int64_t v = 0;
  std::from_chars(lit.data(), lit.data() + lit.size(), v);
  return v;
}

double Value::as_double() const {
  switch (kind()) {
    case Kind::UInt: return double(as_uint());
    case Kind::NegInt: return double(as_int());
    case Kind::Float: return literal_to_double(literal());
    default: return 0.0;
  }
}

std::size_t Value::count_slowly() const {
  std::size_t n = 0;
  if (kind() == Kind::Array) {
    for_each_element([&](Value) { return ++n, true; });
  } else {
    for_each_member([&](std::string_view, Value) { return ++n, true; });
  }
  return n;
}

std::optional<Value> Value::find(std::string_view key) const {
  std::optional<Value> found;
  if (kind() != Kind::Object) return found;
  for_each_member([&](std::string_view k, Value v) {
    if (k == key) found = v;
    return !found;
  });
  return found;
}

}  // namespace orvane::json
