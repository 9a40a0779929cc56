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

std::vector<PathStep> path_to(const Document& doc, std::uint32_t root, std::uint32_t node) {
  std::vector<PathStep> path;
  std::uint32_t at = root;
  while (at != node) {
    const Document::Tag t = doc.tag(at);
    if (t != Document::kArray && t != Document::kObject) break;
    // Members as written, superseded ones too: the node may sit in either.
    std::uint32_t i = at + 1;
    const std::uint32_t end = doc.end_of(at);
    std::size_t index = 0;
    bool descended = false;
    while (i < end && !descended) {
      const std::uint32_t value = t == Document::kObject ? i + 1 : i;
      const std::uint32_t next = doc.end_of(value);
      if (node >= i && node < next) {
        path.push_back(t == Document::kObject ? PathStep{doc.text_of(i), 0, true}
                                              : PathStep{{}, index, false});
        if (node == i && t == Document::kObject) return path;  // the key itself
        at = value;
        descended = true;
      }
      i = next;
      ++index;
    }
    if (!descended) break;
  }
  return path;
}

}  // namespace orvane::json
