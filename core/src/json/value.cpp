#include "json/value.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "json/number.hpp"

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

namespace {

// One walk down the tape for paths_to. `order` holds the positions of the nodes asked about,
// sorted by node; `next` is the first whose path is not settled yet. The members of a container
// partition its subtree, so once a member is done every node before its end is settled.
class PathWalk {
 public:
  PathWalk(const Document& doc, std::span<const std::uint32_t> nodes,
           std::span<const std::uint32_t> order, PathTree& out)
      : doc_(doc), nodes_(nodes), order_(order), out_(out) {}

  // Settles the nodes before `end` (the end of the subtree at `at`, whose path ends in `step`).
  void below(std::uint32_t at, std::uint32_t end, std::uint32_t step) {
    settle_while([&](std::uint32_t n) { return n == at; }, step);
    const Document::Tag t = doc_.tag(at);
    if (t == Document::kArray || t == Document::kObject) {
      // Members as written, superseded ones too, as path_to walks them.
      const std::uint32_t stop = doc_.end_of(at);
      std::uint32_t i = at + 1;
      std::size_t index = 0;
      while (i < stop && pending() && node(next_) < stop) {
        const std::uint32_t value = t == Document::kObject ? i + 1 : i;
        const std::uint32_t member_end = doc_.end_of(value);
        if (node(next_) < member_end) {
          out_.steps.push_back({t == Document::kObject ? PathStep{doc_.text_of(i), 0, true}
                                                       : PathStep{{}, index, false},
                                step});
          const auto member = std::uint32_t(out_.steps.size() - 1);
          if (t == Document::kObject) settle_while([&](std::uint32_t n) { return n == i; }, member);
          below(value, member_end, member);
        }
        i = member_end;
        ++index;
      }
    }
    // Within a value path_to does not enter (one a repeated key replaced): the path ends here.
    settle_while([&](std::uint32_t n) { return n < end; }, step);
  }

  template <class F>
  void settle_while(F&& f, std::uint32_t step) {
    for (; pending() && f(node(next_)); ++next_) out_.last[order_[next_]] = step;
  }
  bool pending() const { return next_ < order_.size(); }
  std::uint32_t node(std::size_t k) const { return nodes_[order_[k]]; }

 private:
  const Document& doc_;
  std::span<const std::uint32_t> nodes_;
  std::span<const std::uint32_t> order_;
  PathTree& out_;
  std::size_t next_ = 0;
};

}  // namespace

PathTree paths_to(const Document& doc, std::uint32_t root, std::span<const std::uint32_t> nodes) {
  PathTree out;
  out.last.assign(nodes.size(), PathTree::kNone);
  std::vector<std::uint32_t> order(nodes.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = std::uint32_t(k);
  // By node, then by position: the order a stable sort would give.
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return nodes[a] != nodes[b] ? nodes[a] < nodes[b] : a < b;
  });
  // Nodes outside the root's subtree have the empty path.
  const std::uint32_t end = doc.end_of(root);
  auto first = std::partition_point(order.begin(), order.end(),
                                    [&](std::uint32_t k) { return nodes[k] < root; });
  auto last = std::partition_point(first, order.end(),
                                   [&](std::uint32_t k) { return nodes[k] < end; });
  PathWalk walk(doc, nodes, std::span<const std::uint32_t>(first, last), out);
  walk.below(root, end, PathTree::kNone);
  return out;
}

}  // namespace orvane::json
