#pragma once
// The JSON value model.
//
// A parsed document is a flat pre-order tape of 8-byte nodes. Scalars and strings refer back
// into the source text (numbers keep their literal, strings without escapes their raw bytes),
// so a 100 MB candle dataset costs about one word per value instead of a heap node per value.
// The source text must outlive the Document.
//
// Objects keep insertion order. When a key repeats, the later member is marked dead and the
// first member's value is redirected to the later value: last value wins, first position kept.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::json {

enum class Kind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Array, Object };

class Document;

class Value {
 public:
  Value() = default;
  Value(const Document* doc, std::uint32_t index) : doc_(doc), index_(index) {}

  Kind kind() const;
  bool is_null() const { return kind() == Kind::Null; }
  bool is_number() const {
    Kind k = kind();
    return k == Kind::UInt || k == Kind::NegInt || k == Kind::Float;
  }

  bool as_bool() const;
  std::uint64_t as_uint() const;  // Kind::UInt
  std::int64_t as_int() const;    // Kind::NegInt
  double as_double() const;       // any number kind, converted to the nearest double
  std::string_view literal() const;    // a number's literal as written in the source
  std::string_view as_string() const;  // the decoded UTF-8 bytes of a string

  // Number of elements or members.
  std::size_t size() const;

  // Iterate with a callback; stops early when it returns false.
  template <class F>
  void for_each_element(F&& f) const;
  template <class F>
  void for_each_member(F&& f) const;
  // The same, also handing over where each member's key is on the tape: f(key_node, key, value).
  template <class F>
  void for_each_member_at(F&& f) const;

  std::optional<Value> find(std::string_view key) const;

  // Keys of an object that were given again later in the text (their values were replaced).
  template <class F>
  void for_each_repeated_key(F&& f) const;

  const Document* document() const { return doc_; }
  std::uint32_t index() const { return index_; }

 private:
  std::size_t count_slowly() const;  // past the count a container node can hold

  const Document* doc_ = nullptr;
  std::uint32_t index_ = 0;
};

class Document {
 public:
  // Node tags, in the top four bits of a node.
  enum Tag : std::uint8_t {
    kNull,
    kFalse,
    kTrue,
    kUInt,
    kNegInt,
    kFloat,
    kStr,     // raw span of the source text (no escapes)
    kStrEsc,  // decoded bytes in the arena
    kArray,   // payload: end index (32 bits) | count (saturating, 27 bits)
    kObject,  // same; children alternate key node, value subtree
    kRedirect,  // a replaced value: payload indexes redirects_
    kDead,      // a superseded key: payload indexes dead_keys_
  };

  Document() = default;
  explicit Document(std::string_view source) : source_(source) {}

  std::string_view source() const { return source_; }
  void set_source(std::string_view s) { source_ = s; }

  Value value(std::uint32_t index) const { return Value(this, index); }
  std::size_t node_count() const { return nodes_.size(); }
  std::size_t memory_bytes() const {
    return nodes_.capacity() * sizeof(std::uint64_t) + arena_.capacity() +
           spans_.capacity() * sizeof(Span) + redirects_.capacity() * sizeof(Redirect) +
           dead_keys_.capacity() * sizeof(DeadKey);
  }
  void clear();
  // Whether a key was given twice in some object, so that a member was folded into another.
  bool has_folded_keys() const { return !dead_keys_.empty(); }

  // --- node access (used by Value and the writers) ---
  Tag tag(std::uint32_t i) const { return Tag(nodes_[i] >> 60); }
  std::uint32_t end_of(std::uint32_t i) const;  // index just past the subtree at i
  std::uint32_t resolve(std::uint32_t i) const;  // follows a redirect
  std::string_view text_of(std::uint32_t i) const;  // number literal or decoded string
  // Where node `i` is written in the source, when the tape points at its text: a string
  // without escapes (quotes included) or a number, not superseded; false for any other node,
  // whose place only a reading of the text finds.
  bool source_place(std::uint32_t i, std::size_t& begin, std::size_t& end) const;
  std::uint32_t stored_count(std::uint32_t i) const {
    return std::uint32_t(nodes_[i] & kCountMask);
  }

  // --- building (used by the reader) ---
  std::uint32_t push_scalar(Tag t) { return push(std::uint64_t(t) << 60); }
  std::uint32_t push_span(Tag t, std::size_t offset, std::size_t len);  // kUInt..kStr
  std::uint32_t push_escaped(std::string_view decoded);                 // kStrEsc
  std::uint32_t open_container(Tag t) { return push(std::uint64_t(t) << 60); }
  void close_container(std::uint32_t i, std::size_t count);
  // Marks the member whose key node is `later_key` as superseding the value of the member
  // whose key node is `first_key`.
  void supersede(std::uint32_t first_key, std::uint32_t later_key);
  void reserve(std::size_t n) { nodes_.reserve(n); }
  // The tape's reserved storage, and where to publish now and then how many of its bytes are
  // in use (for a helper that maps its pages in ahead of the reader, see page_warmer.hpp).
  char* storage() { return reinterpret_cast<char*>(nodes_.data()); }
  std::size_t storage_bytes() const { return nodes_.capacity() * sizeof(std::uint64_t); }
  void publish_progress_to(std::atomic<std::size_t>* used_bytes) { progress_ = used_bytes; }
  // The tape's storage lent by a keeper and taken back, so that the pages of one large request
  // serve the next (json::KeptBuffers). Both leave the tape empty, its capacity kept.
  void adopt_storage(std::vector<std::uint64_t>&& nodes) {
    nodes_ = std::move(nodes);
    nodes_.clear();
  }
  std::vector<std::uint64_t> take_storage() {
    std::vector<std::uint64_t> out = std::move(nodes_);
    nodes_ = {};
    out.clear();
    return out;
  }

  static constexpr std::uint64_t kCountMask = (std::uint64_t(1) << 27) - 1;

 private:
  friend class Value;
  struct Span {
    std::uint64_t offset, len;
  };
  struct Redirect {
    std::uint32_t target, end;
  };
  struct DeadKey {
    std::uint64_t node;  // the key node as it was
    std::uint32_t end;   // just past the member's value
  };
  std::atomic<std::size_t>* progress_ = nullptr;
  std::uint32_t closes_ = 0;
  static constexpr std::uint64_t kLongFlag = std::uint64_t(1) << 59;
  static constexpr std::uint64_t kLenBits = 20;
  static constexpr std::uint64_t kLenMask = (std::uint64_t(1) << kLenBits) - 1;
  static constexpr std::uint64_t kPayloadMask = (std::uint64_t(1) << 59) - 1;

  std::uint32_t push(std::uint64_t node) {
    nodes_.push_back(node);
    return std::uint32_t(nodes_.size() - 1);
  }
  Span span_of(std::uint32_t i) const;

  std::string_view source_;
  std::vector<std::uint64_t> nodes_;
  std::string arena_;
  std::vector<Span> spans_;          // spans too long to pack into a node
  std::vector<Redirect> redirects_;  // values replaced by a later duplicate key
  std::vector<DeadKey> dead_keys_;   // the later keys of those duplicates
};

// One step of the way from a document's root down to a node: a member's key or an element's
// index.
struct PathStep {
  std::string_view key;  // for a member
  std::size_t index = 0;  // for an element
  bool is_key = false;
};
// The steps from `root` down to `node`, which lies within the root's subtree: the last step is
// the member whose key or value `node` is, or the element it is.
std::vector<PathStep> path_to(const Document& doc, std::uint32_t root, std::uint32_t node);

// The paths of many nodes at once, each as path_to gives it. path_to walks the members of every
// container on the way from the root, so asking it for each of N findings in one large object
// costs N walks of that object; paths_to walks the tape once, entering only the members and
// elements that hold one of `nodes`. Each of those is one step, shared by every path through it
// (a long key on the way is there once, however many paths pass it).
struct PathTree {
  static constexpr std::uint32_t kNone = ~std::uint32_t(0);
  struct Step {
    PathStep step;
    std::uint32_t parent = kNone;  // the step above it, kNone for a step from the root
  };
  std::vector<Step> steps;  // a step before the steps below it
  // For each of `nodes`, in the order given: its last step, or kNone for an empty path.
  std::vector<std::uint32_t> last;
};
PathTree paths_to(const Document& doc, std::uint32_t root, std::span<const std::uint32_t> nodes);

// ---- inline accessors: the writers and the reader call these for every value ----

inline constexpr int kEndShift = 27;

inline std::uint32_t Document::push_span(Tag t, std::size_t offset, std::size_t len) {
  std::uint64_t payload;
  if (len <= kLenMask && offset < (std::uint64_t(1) << (59 - kLenBits))) {
    payload = (std::uint64_t(offset) << kLenBits) | len;
  } else {
    spans_.push_back(Span{offset, len});
    payload = kLongFlag | (spans_.size() - 1);
  }
  return push((std::uint64_t(t) << 60) | payload);
}

inline void Document::close_container(std::uint32_t i, std::size_t count) {
  std::uint64_t end = nodes_.size();
  std::uint64_t c = count < kCountMask ? count : kCountMask;
  nodes_[i] = (nodes_[i] & (std::uint64_t(0xF) << 60)) | (end << kEndShift) | c;
  if (progress_ && (++closes_ & 255) == 0) {
    progress_->store(nodes_.size() * sizeof(std::uint64_t), std::memory_order_relaxed);
  }
}

inline std::uint32_t Document::end_of(std::uint32_t i) const {
  std::uint64_t n = nodes_[i];
  switch (Tag(n >> 60)) {
    case kArray:
    case kObject: return std::uint32_t((n >> kEndShift) & 0xFFFFFFFFu);
    case kRedirect: return redirects_[n & kPayloadMask].end;
    case kDead: return dead_keys_[n & kPayloadMask].end;
    default: return i + 1;
  }
}

inline std::uint32_t Document::resolve(std::uint32_t i) const {
  return tag(i) == kRedirect ? redirects_[nodes_[i] & kPayloadMask].target : i;
}

[[gnu::always_inline]] inline Document::Span Document::span_of(std::uint32_t i) const {
  std::uint64_t n = nodes_[i];
  if (Tag(n >> 60) == kDead) n = dead_keys_[n & kPayloadMask].node;
  if (n & kLongFlag) return spans_[n & (kLongFlag - 1)];
  std::uint64_t payload = n & kPayloadMask;
  return Span{payload >> kLenBits, payload & kLenMask};
}

inline bool Document::source_place(std::uint32_t i, std::size_t& begin,
                                   std::size_t& end) const {
  const Tag t = tag(i);
  if (t < kUInt || t > kStr) return false;
  const Span s = span_of(i);
  const bool quoted = t == kStr;
  begin = s.offset - (quoted ? 1 : 0);
  end = s.offset + s.len + (quoted ? 1 : 0);
  return true;
}

[[gnu::always_inline]] inline std::string_view Document::text_of(std::uint32_t i) const {
  Span s = span_of(i);
  Tag t = tag(i) == kDead ? Tag(dead_keys_[nodes_[i] & kPayloadMask].node >> 60) : tag(i);
  if (t == kStrEsc) return std::string_view(arena_).substr(s.offset, s.len);
  return source_.substr(s.offset, s.len);
}

inline Kind Value::kind() const {
  switch (doc_->tag(index_)) {
    case Document::kNull: return Kind::Null;
    case Document::kFalse:
    case Document::kTrue: return Kind::Bool;
    case Document::kUInt: return Kind::UInt;
    case Document::kNegInt: return Kind::NegInt;
    case Document::kFloat: return Kind::Float;
    case Document::kStr:
    case Document::kStrEsc: return Kind::String;
    case Document::kArray: return Kind::Array;
    case Document::kObject: return Kind::Object;
    default: return Kind::Null;  // redirects are resolved before a Value is made
  }
}

inline std::string_view Value::literal() const { return doc_->text_of(index_); }
inline std::string_view Value::as_string() const { return doc_->text_of(index_); }

inline std::size_t Value::size() const {
  std::uint32_t stored = doc_->stored_count(index_);
  return stored < Document::kCountMask ? stored : count_slowly();
}

// ---- inline iteration ----

template <class F>
void Value::for_each_element(F&& f) const {
  std::uint32_t i = index_ + 1, end = doc_->end_of(index_);
  while (i < end) {
    std::uint32_t next = doc_->end_of(i);
    if (!f(Value(doc_, doc_->resolve(i)))) return;
    i = next;
  }
}

template <class F>
void Value::for_each_member(F&& f) const {
  std::uint32_t i = index_ + 1, end = doc_->end_of(index_);
  while (i < end) {
    if (doc_->tag(i) == Document::kDead) {
      i = doc_->end_of(i);
      continue;
    }
    std::string_view key = doc_->text_of(i);
    std::uint32_t v = i + 1;
    std::uint32_t next = doc_->end_of(v);
    if (!f(key, Value(doc_, doc_->resolve(v)))) return;
    i = next;
  }
}

template <class F>
void Value::for_each_member_at(F&& f) const {
  std::uint32_t i = index_ + 1, end = doc_->end_of(index_);
  while (i < end) {
    if (doc_->tag(i) == Document::kDead) {
      i = doc_->end_of(i);
      continue;
    }
    std::uint32_t v = i + 1;
    std::uint32_t next = doc_->end_of(v);
    if (!f(i, doc_->text_of(i), Value(doc_, doc_->resolve(v)))) return;
    i = next;
  }
}

template <class F>
void Value::for_each_repeated_key(F&& f) const {
  std::uint32_t i = index_ + 1, end = doc_->end_of(index_);
  while (i < end) {
    if (doc_->tag(i) == Document::kDead) {
      f(doc_->text_of(i));
      i = doc_->end_of(i);
    } else {
      i = doc_->end_of(i + 1);
    }
  }
}

}  // namespace orvane::json
