#pragma once
// Checking a document against the declarations and writing its canonical text, in one walk of
// the tape (the named fast path of the pipeline: schema::write_checked_strategy).
//
// The plain path decodes the document into its typed record (decode.hpp), which builds a tree,
// converts every number and allocates for every list, and then writes the canonical text with
// the generic writer, which collects and sorts the members of every object. Here nothing is
// built: each value is checked where it stands on the tape and written at once, and a record's
// declared fields are written in their byte-wise order, known when the record is declared, so
// only members no declaration knows are sorted (among themselves, then merged in).
//
// It answers only whether the document fits: a fault is worded by the plain decoder, which
// meets the faults in the order of the text. The walk writes in key order, so the first fault
// it meets may be another one. Where it says the document fits, it fits for the decoder too,
// and the text is what json::canonical_json writes; where not, the text is unfinished.
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "json/writer_core.hpp"
#include "schema/decode.hpp"

namespace orvane::schema {

// The canonical writer, with what the walk notes besides its verdict when asked (`notes`, null
// for the pipeline's walk, which asks nothing: each note is a test of that pointer where a
// member is unknown or a name is read).
class CanonicalWriter : public json::detail::Writer<true> {
 public:
  CanonicalWriter(std::string& out, const json::Document* doc, CheckNotes* notes = nullptr)
      : Writer(out, doc), notes(notes) {}
  CheckNotes* const notes;
};

// Specialise with: static bool put(CanonicalWriter&, json::Value), true when the value decodes
// as T; its canonical text is then written.
template <class T>
struct Checked;

namespace checked {

using json::Document;
using json::Kind;
using json::Value;

// The index of `name` in a table of names, as index_of finds it, comparing only the names that
// begin with its first byte: the walk looks up every key and keyword of the document, and
// comparing a table of sixteen keywords one by one took a tenth of its time. (The decoder, the
// plain path, compares them all.)
template <const auto& Names>
std::optional<std::size_t> find_name(std::string_view name) {
  static_assert(Names.size() <= 64, "a bit for each name");
  static constexpr auto kByFirstByte = [] {
    std::array<std::uint64_t, 256> t{};
    for (std::size_t i = 0; i < Names.size(); ++i) {
      t[static_cast<unsigned char>(Names[i][0])] |= std::uint64_t(1) << i;
    }
    return t;
  }();
  if (name.empty()) return std::nullopt;
  for (std::uint64_t m = kByFirstByte[static_cast<unsigned char>(name[0])]; m; m &= m - 1) {
    const auto i = std::size_t(std::countr_zero(m));
    if (same_name(Names[i], name)) return i;
  }
  return std::nullopt;
}

// The member of an object of one member (first_member's), read from the tape in place.
inline FirstMember only_member(Value object) {
  const Document* doc = object.document();
  const std::uint32_t key = object.index() + 1;
  if (doc->tag(key) == Document::kDead) return first_member(object);
  return FirstMember{key, doc->text_of(key), Value(doc, doc->resolve(key + 1))};
}

template <class R>
inline constexpr auto kFieldKeys = detail::field_keys<R>();

// `"key":` of declared field I of R, made when R is declared: one copy where it is written.
template <class R, std::size_t I>
inline constexpr auto kKeyText = [] {
  constexpr std::string_view key = kFieldKeys<R>[I];
  std::array<char, key.size() + 3> text{};
  text[0] = '"';
  for (std::size_t i = 0; i < key.size(); ++i) text[i + 1] = key[i];
  text[key.size() + 1] = '"';
  text[key.size() + 2] = ':';
  return text;
}();

// Writes a value the declarations do not look into (a member they ignore, a valid leaf).
inline void put_as_is(CanonicalWriter& w, Value v) { w.write(v); }

// Members a record's declarations do not know, or a map's members: few, kept on the stack
// unless there are many.
class Members {
 public:
  struct Entry {
    std::string_view key;
    std::uint32_t node;
  };
  void push(std::string_view key, std::uint32_t node) {
    if (n_ < kInline) {
      inline_[n_++] = Entry{key, node};
      return;
    }
    if (n_ == kInline) spill_.assign(inline_.begin(), inline_.end());
    spill_.push_back(Entry{key, node});
    ++n_;
  }
  std::size_t size() const { return n_; }
  Entry* data() { return n_ <= kInline ? inline_.data() : spill_.data(); }
  // In byte-wise key order, as the generic writer orders them (insertion sort: stable).
  void sort() {
    Entry* e = data();
    for (std::size_t i = 1; i < n_; ++i) {
      Entry x = e[i];
      std::size_t j = i;
      for (; j > 0 && json::detail::key_less(x.key, e[j - 1].key); --j) e[j] = e[j - 1];
      e[j] = x;
    }
  }

 private:
  static constexpr std::size_t kInline = 8;
  std::array<Entry, kInline> inline_;
  std::vector<Entry> spill_;
  std::size_t n_ = 0;
};

// ---- records ----

template <class R, std::size_t I>
using FieldType =
    std::decay_t<decltype(std::declval<R&>().*(std::get<I>(RecordDesc<R>::fields).member))>;

// The declared fields' indices in byte-wise order of their keys.
template <class R>
constexpr auto sorted_fields() {
  constexpr auto keys = detail::field_keys<R>();
  std::array<std::size_t, keys.size()> order{};
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = i;
  for (std::size_t i = 1; i < keys.size(); ++i) {
    std::size_t x = order[i], j = i;
    for (; j > 0 && keys[x] < keys[order[j - 1]]; --j) order[j] = order[j - 1];
    order[j] = x;
  }
  return order;
}

constexpr std::uint32_t kAbsent = ~std::uint32_t(0);

// Field `index` of R, checked and written.
template <class R, std::size_t... I>
bool put_field(CanonicalWriter& w, std::size_t index, Value v, std::index_sequence<I...>) {
  bool ok = false;
  ((index == I ? (void)(ok = Checked<FieldType<R, I>>::put(w, v)) : void()), ...);
  return ok;
}

// Writing a record's members in key order: the declared ones in their known order, each
// undeclared one merged in before the first declared key above it.
template <class R>
class RecordOut {
 public:
  RecordOut(CanonicalWriter& w, const Document* doc, const std::uint32_t* slots, Members& extra)
      : w_(w), doc_(doc), slots_(slots), extra_(extra) {}

  bool run() {
    w_.put('{');
    bool ok = [&]<std::size_t... P>(std::index_sequence<P...>) {
      return (declared<kOrder[P]>() && ...);
    }(std::make_index_sequence<kOrder.size()>{});
    if (!ok) return false;
    extras_below({}, true);
    w_.put('}');
    return true;
  }

 private:
  static constexpr auto kOrder = sorted_fields<R>();
  static constexpr auto kKeys = detail::field_keys<R>();

  template <std::size_t I>
  bool declared() {
    if (slots_[I] == kAbsent) return true;
    extras_below(kKeys[I], false);
    comma();
    w_.sink().put(std::string_view(kKeyText<R, I>.data(), kKeyText<R, I>.size()));
    return Checked<FieldType<R, I>>::put(w_, Value(doc_, slots_[I]));
  }
  // The undeclared members whose keys come before `key` (all that are left, with `all`).
  void extras_below(std::string_view key, bool all) {
    Members::Entry* e = extra_.data();
    for (; next_ < extra_.size() && (all || json::detail::key_less(e[next_].key, key)); ++next_) {
      comma();
      w_.put_key(e[next_].key);
      w_.put(':');
      put_as_is(w_, Value(doc_, e[next_].node));
    }
  }
  void comma() {
    if (!first_) w_.put(',');
    first_ = false;
  }

  CanonicalWriter& w_;
  const Document* doc_;
  const std::uint32_t* slots_;
  Members& extra_;
  std::size_t next_ = 0;
  bool first_ = true;
};

// A record from an object's members: the decoder's verdict (a declared key twice, a required
// one missing, a field that does not decode), and the members written in key order.
// `tag`: the member that is the enclosing tagged value's, not the record's unknown one.
template <class R>
bool record_object(CanonicalWriter& w, Value object, std::string_view tag = {}) {
  std::array<std::uint32_t, kFieldKeys<R>.size()> slots;
  slots.fill(kAbsent);
  Members extra;
  bool ok = true;
  object.for_each_member([&](std::string_view key, Value v) {
    auto idx = find_name<kFieldKeys<R>>(key);
    if (!idx) {
      if (w.notes && key != tag) w.notes->unknown_member = true;
      extra.push(key, v.index());
      return true;
    }
    if (slots[*idx] != kAbsent) return ok = false;
    slots[*idx] = v.index();
    return true;
  });
  if (!ok) return false;
  bool complete = true;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... fld) {
        ((complete = complete && (fld.presence != Presence::Required || slots[i] != kAbsent), ++i),
         ...);
      },
      RecordDesc<R>::fields);
  if (!complete) return false;
  extra.sort();
  return RecordOut<R>(w, object.document(), slots.data(), extra).run();
}

// A record from a positional array, from element `skip` on (the elements before it are the
// caller's, already checked).
template <class R>
bool record_elements(CanonicalWriter& w, Value array, std::size_t skip) {
  constexpr std::size_t n = detail::field_count<R>();
  bool ok = true;
  std::size_t i = 0;
  w.put('[');
  array.for_each_element([&](Value e) {
    const std::size_t f = i++;
    if (f) w.put(',');
    if (f < skip) {
      put_as_is(w, e);
      return true;
    }
    if (f - skip >= n) return ok = false;
    ok = put_field<R>(w, f - skip, e, std::make_index_sequence<n>{});
    return ok;
  });
  if (!ok) return false;
  w.put(']');
  return i - skip >= n || !detail::first_required_from<R>(i - skip);
}

}  // namespace checked

// ---- scalars and containers, as their codecs in decode.hpp decide ----

template <>
struct Checked<bool> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() != json::Kind::Bool) return false;
    checked::put_as_is(w, v);
    return true;
  }
};
template <>
struct Checked<std::string_view> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() != json::Kind::String) return false;
    checked::put_as_is(w, v);
    return true;
  }
};
// A number of any kind: the plain path converts it, which cannot fail.
template <>
struct Checked<double> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (!v.is_number()) return false;
    checked::put_as_is(w, v);
    return true;
  }
};
template <>
struct Checked<std::uint32_t> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() != json::Kind::UInt || v.as_uint() > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
    checked::put_as_is(w, v);
    return true;
  }
};
template <class T>
struct Checked<std::optional<T>> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.is_null()) {
      checked::put_as_is(w, v);
      return true;
    }
    return Checked<T>::put(w, v);
  }
};
template <class T>
struct Checked<std::vector<T>> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() != json::Kind::Array) return false;
    bool ok = true, first = true;
    w.put('[');
    v.for_each_element([&](json::Value e) {
      if (!first) w.put(',');
      first = false;
      return ok = Checked<T>::put(w, e);
    });
    w.put(']');
    return ok;
  }
};
// A map's names are its keys: all of them sorted.
template <class T>
struct Checked<Named<T>> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() != json::Kind::Object) return false;
    checked::Members members;
    v.for_each_member([&](std::string_view k, json::Value m) {
      members.push(k, m.index());
      return true;
    });
    members.sort();
    const checked::Members::Entry* e = members.data();
    w.put('{');
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i) w.put(',');
      w.put_key(e[i].key);
      w.put(':');
      if (!Checked<T>::put(w, json::Value(v.document(), e[i].node))) return false;
    }
    w.put('}');
    return true;
  }
};

template <class R>
  requires requires { RecordDesc<R>::fields; }
struct Checked<R> {
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() == json::Kind::Object) return checked::record_object<R>(w, v);
    if (v.kind() == json::Kind::Array) return checked::record_elements<R>(w, v, 0);
    return false;
  }
};

template <class E>
  requires requires { EnumDesc<E>::names; }
struct Checked<E> {
  static_assert(!kFromRequestText<E>, "read from the strategy only");
  static bool put(CanonicalWriter& w, json::Value v) {
    if (v.kind() == json::Kind::String) {
      if (!checked::find_name<EnumDesc<E>::names>(v.as_string())) return false;
    } else {
      if (v.kind() != json::Kind::Object || v.size() != 1) return false;
      auto m = checked::only_member(v);
      if (!checked::find_name<EnumDesc<E>::names>(m.key) || !m.value.is_null()) return false;
    }
    checked::put_as_is(w, v);
    return true;
  }
};

// An internally tagged type: the tag where the decoder finds it, then the variant's record;
// the tag is a member the record does not declare, written in its place among the others.
template <class T>
  requires requires { TaggedDesc<T>::tag; }
struct Checked<T> {
  using Desc = TaggedDesc<T>;
  static constexpr std::size_t kVariants = std::variant_size_v<typename Desc::Variant>;
  static_assert(!kFromRequestText<T>, "read from the strategy only");

  static bool put(CanonicalWriter& w, json::Value v) {
    std::optional<std::size_t> tag;
    if (v.kind() == json::Kind::Object) {
      bool ok = true;
      v.for_each_member([&](std::string_view k, json::Value m) {
        if (k != Desc::tag) return true;
        if (tag || m.kind() != json::Kind::String) return ok = false;
        tag = checked::find_name<Desc::names>(m.as_string());
        return ok = tag.has_value();
      });
      if (!ok || !tag) return false;
    } else if (v.kind() == json::Kind::Array) {
      if (v.size() == 0) return false;
      json::Value first;
      v.for_each_element([&](json::Value e) { return first = e, false; });
      if (first.kind() != json::Kind::String) return false;
      tag = checked::find_name<Desc::names>(first.as_string());
      if (!tag) return false;
    } else {
      return false;
    }
    bool ok = false;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((*tag == I
            ? (void)(ok = variant<std::variant_alternative_t<I, typename Desc::Variant>>(w, v))
            : void()),
       ...);
    }(std::make_index_sequence<kVariants>{});
    return ok;
  }

 private:
  template <class V>
  static bool variant(CanonicalWriter& w, json::Value v) {
    if constexpr (detail::HasFields<V>) {
      return v.kind() == json::Kind::Object ? checked::record_object<V>(w, v, Desc::tag)
                                            : checked::record_elements<V>(w, v, 1);
    } else {  // a variant without fields reads nothing but its tag
      if (w.notes && v.kind() == json::Kind::Object && v.size() > 1) {
        w.notes->unknown_member = true;
      }
      checked::put_as_is(w, v);
      return true;
    }
  }
};

}  // namespace orvane::schema
