#pragma once
// The one decoding framework: records, enumerations written by name and internally tagged
// variant types, decoded from a parsed document.
//
// A type becomes decodable by specialising Codec<T>. Records, enumerations and tagged types
// only declare themselves (RecordDesc, EnumDesc, TaggedDesc) and inherit their codec.
//
// A fault names the node of the document it is about and where, relative to that node, a
// reader of the text would have stopped; protocol/decode_request.hpp turns that into a line and
// column of the request text. While a Diagnosis is active on the thread, decoding goes on past
// faults and records every one of them, and warns about members no declaration knows.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "json/value.hpp"
#include "schema/compile_spec.hpp"
#include "schema/messages.hpp"

namespace orvane::schema {

// Where a fault stands relative to the node it is about.
enum class Place : std::uint8_t {
  Start,      // before the node's first byte (a value of the wrong kind not read into)
  PastFirst,  // just past its first byte (the byte that could not start what was wanted)
  End,        // just past its last byte (a value read whole, a closed container)
  NextToken,  // at the first byte after it that is not whitespace
};

struct SchemaError {
  std::string message;
  std::uint32_t node = 0;  // on the tape of the document decoded
  Place place = Place::End;
  bool noted = false;  // already recorded by the active Diagnosis
  // What to write instead, where the message alone does not say: carried by the diagnostics,
  // never part of the answer's text.
  std::string hint = {};
};

template <class T>
using Decoded = std::expected<T, SchemaError>;

inline std::unexpected<SchemaError> fail(json::Value at, Place place, std::string message) {
  return std::unexpected(SchemaError{std::move(message), at.index(), place});
}
// A value read whole, then found wrong, stands where it ends; a container of the wrong kind is
// not read into, so its fault stands before it.
inline Place value_place(json::Value v) {
  return v.kind() == json::Kind::Array || v.kind() == json::Kind::Object ? Place::Start
                                                                          : Place::End;
}
inline std::unexpected<SchemaError> wrong_kind(json::Value v, std::string_view wanted) {
  return fail(v, value_place(v), invalid_type(found::of(v), wanted));
}

// A finding of a Diagnosis: a fault, or a warning about something the declarations ignore.
struct Finding {
  std::string message;
  std::uint32_t node = 0;
  Place place = Place::End;
  bool warning = false;
  std::string hint = {};
};

// Active on the thread that made it, until it is destroyed. Decoding goes on past a fault in a
// member or an element to the next one, and every fault is recorded once, in document order.
class Diagnosis {
 public:
  Diagnosis();
  ~Diagnosis();
  Diagnosis(const Diagnosis&) = delete;
  Diagnosis& operator=(const Diagnosis&) = delete;

  static Diagnosis* active();

  void note(SchemaError& e);
  void warn(std::uint32_t node, std::string message);
  // A member whose key `declared` lacks: ignored by decoding, worth a warning.
  void unknown_key(std::uint32_t key_node, std::string_view key,
                   std::span<const std::string_view> declared);

  std::vector<Finding> findings;
  // Unknown members to say nothing of: every one (`unknown_keys` false, a stage whose
  // members are another's business), or those whose key node is in `quiet_keys`. Their
  // messages, which weigh every declared name, are then not made at all.
  bool unknown_keys = true;
  std::span<const std::uint32_t> quiet_keys;

  // Decoding that only tries whether a value fits (one form of an untagged type after
  // another) records nothing while one of these lives.
  class Pause {
   public:
    Pause();
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    Diagnosis* paused_;
  };

 private:
  Diagnosis* outer_;
};

// What a Diagnosis would warn of in a document the checked writer accepts
// (checked_writer.hpp), noted by its walk when asked: a member no declaration knows (every one
// warned of, a tagged value's tag aside), and a name no key of `names` is (the indicators a
// strategy's operands name, against the strategy's `indicators`). Only whether there is one:
// the diagnosis finds and words them. A key given twice in an object is the caller's to see
// (json::Document::has_folded_keys).
struct CheckNotes {
  std::optional<json::Value> names;  // an object; none when no name is declared
  bool unknown_member = false;
  bool unknown_name = false;

  bool any() const { return unknown_member || unknown_name; }
  // An operand's name, noted unless it is a key of `names` (looked up where it is read, so
  // nothing is kept; each key is there once, as there are no folded keys).
  void name(std::string_view name) {
    if (!unknown_name && !(names && names->find(name))) unknown_name = true;
  }
};

// The name of `names` that `given` is most likely a slip for, if any is close enough.
std::optional<std::string_view> closest_name(std::string_view given,
                                             std::span<const std::string_view> names);

// Keeps the first fault met. Tells whether to go on to the next member or element: only while
// a Diagnosis collects every fault.
inline bool keep_first(std::optional<SchemaError>& first, SchemaError e) {
  Diagnosis* d = Diagnosis::active();
  if (d) d->note(e);
  if (!first) first = std::move(e);
  return d != nullptr;
}

// Types read from the request itself, rather than from the strategy it carries: a key given
// twice is a fault, and each fault is worded and placed as a reader of the request text meets
// it in order. (The request is parsed with later keys replacing earlier ones; a failed request
// is decoded again from a document that keeps every member as written.)
template <class R>
constexpr bool kFromRequestText = false;

// Names of fields, variants and keywords mostly differ in length or first byte: decide those
// inline before comparing the rest.
[[gnu::always_inline]] inline bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

template <class T>
struct Codec;  // static Decoded<T> from_value(json::Value)

// Whether every name of a declaration table differs from the others, checked when a codec is
// instantiated: a repeated name would make its second entry unreachable.
template <std::size_t N>
constexpr bool all_distinct(const std::array<std::string_view, N>& names) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i].empty()) return false;
    for (std::size_t j = i + 1; j < N; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}

// The index of `name` in a table of names.
template <std::size_t N>
std::optional<std::size_t> index_of(const std::array<std::string_view, N>& names,
                                    std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (same_name(names[i], name)) return i;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Scalars

template <>
struct Codec<bool> {
  static Decoded<bool> from_value(json::Value v);
};
template <>
struct Codec<std::string> {
  static Decoded<std::string> from_value(json::Value v);
};
// A view of a string in the document: typed records that only check a document copy nothing.
template <>
struct Codec<std::string_view> {
  static Decoded<std::string_view> from_value(json::Value v) {
    if (v.kind() == json::Kind::String) return v.as_string();
    return wrong_kind(v, wanted::kString);
  }
};
template <>
struct Codec<double> {
  static Decoded<double> from_value(json::Value v);
};
template <>
struct Codec<std::uint32_t> {
  static Decoded<std::uint32_t> from_value(json::Value v);
};
template <>
struct Codec<json::Value> {
  static Decoded<json::Value> from_value(json::Value v) { return v; }
};
template <>
struct Codec<JsonArray> {
  static Decoded<JsonArray> from_value(json::Value v) {
    if (v.kind() != json::Kind::Array) return wrong_kind(v, wanted::kSequence);
    return JsonArray{v};
  }
};
template <class T>
struct Codec<std::optional<T>> {
  static Decoded<std::optional<T>> from_value(json::Value v) {
    if (v.is_null()) return std::optional<T>();
    auto r = Codec<T>::from_value(v);
    if (!r) return std::unexpected(std::move(r.error()));
    return std::optional<T>(std::move(*r));
  }
};
template <class T>
struct Codec<std::vector<T>> {
  static Decoded<std::vector<T>> from_value(json::Value v) {
    if (v.kind() != json::Kind::Array) return wrong_kind(v, wanted::kSequence);
    std::vector<T> out;
    out.reserve(v.size());
    std::optional<SchemaError> err;
    v.for_each_element([&](json::Value e) {
      auto r = Codec<T>::from_value(e);
      if (!r) return keep_first(err, std::move(r.error()));
      out.push_back(std::move(*r));
      return true;
    });
    if (err) return std::unexpected(std::move(*err));
    return out;
  }
};
// A map keyed by member name, ordered by name in byte order, held in one vector: a tree of
// nodes would cost an allocation per member. Each name comes once: a key given again has
// already replaced the earlier value in the parsed object.
template <class T>
using Named = std::vector<std::pair<std::string_view, T>>;
template <class T>
struct Codec<Named<T>> {
  static Decoded<Named<T>> from_value(json::Value v) {
    if (v.kind() != json::Kind::Object) return wrong_kind(v, wanted::kMap);
    Named<T> out;
    out.reserve(v.size());
    std::optional<SchemaError> err;
    v.for_each_member([&](std::string_view k, json::Value e) {
      auto r = Codec<T>::from_value(e);
      if (!r) return keep_first(err, std::move(r.error()));
      out.emplace_back(k, std::move(*r));
      return true;
    });
    if (err) return std::unexpected(std::move(*err));
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
  }
};

// ---------------------------------------------------------------------------------------
// Records

enum class Presence { Required, Default, Optional };

template <class R, class T>
struct Field {
  std::string_view key;
  T R::*member;
  Presence presence;
};
template <class R, class T>
constexpr Field<R, T> field(std::string_view key, T R::*member,
                            Presence presence = Presence::Required) {
  return {key, member, presence};
}

// Specialise with: static constexpr std::string_view name; static constexpr auto fields
// (a tuple of field(...)); static constexpr bool is_variant (false: "struct Name",
// true: "struct variant Type::Variant"). A record that is not a variant and that the JSON
// Schema of strategy documents reaches (schema/json_schema.hpp) also declares a
// std::string_view description, a phrase saying what it holds.
template <class R>
struct RecordDesc;

namespace detail {

template <class R>
constexpr std::size_t field_count() {
  return std::tuple_size_v<std::decay_t<decltype(RecordDesc<R>::fields)>>;
}

template <class R>
constexpr auto field_keys() {
  return std::apply(
      [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
      RecordDesc<R>::fields);
}

template <class R>
std::string record_len_text() {
  if constexpr (RecordDesc<R>::is_variant) {
    return wanted::variant_len(RecordDesc<R>::name, field_count<R>());
  } else {
    return wanted::record_len(RecordDesc<R>::name, field_count<R>());
  }
}

// Decodes field `index` of `out` from `v`.
template <class R>
std::optional<SchemaError> decode_field(R& out, std::size_t index, json::Value v) {
  std::optional<SchemaError> err;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... fld) {
        ((i++ == index ? [&] {
           using T = std::decay_t<decltype(out.*fld.member)>;
           auto r = Codec<T>::from_value(v);
           if (!r) {
             err = std::move(r.error());
           } else {
             out.*fld.member = std::move(*r);
           }
         }()
                       : void()),
         ...);
      },
      RecordDesc<R>::fields);
  return err;
}

// After the members: each required field not seen is missing (the first only, unless a
// Diagnosis collects every fault); the rest keep their defaults (the record's own
// initialisers) or stay unset.
template <class R>
void settle_missing(const std::bitset<32>& seen, json::Value at,
                    std::optional<SchemaError>& first) {
  std::size_t i = 0;
  bool go_on = true;
  std::apply(
      [&](const auto&... fld) {
        ((go_on && !seen[i] && fld.presence == Presence::Required
              ? (void)(go_on = keep_first(first, SchemaError{missing_field(fld.key), at.index(),
                                                              Place::End}))
              : void(),
          ++i),
         ...);
      },
      RecordDesc<R>::fields);
}

// The first required field at or after `from`, for a positional array that ended early.
template <class R>
std::optional<std::size_t> first_required_from(std::size_t from) {
  std::optional<std::size_t> found;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... fld) {
        ((!found && i >= from && fld.presence == Presence::Required ? (void)(found = i) : void(),
          ++i),
         ...);
      },
      RecordDesc<R>::fields);
  return found;
}

// In a parsed request a repeated key has already been folded into one member: a declared key
// being there twice at all is the fault (others are skipped however often they come).
template <class R, std::size_t N>
std::optional<SchemaError> repeated_key(json::Value object,
                                        const std::array<std::string_view, N>& declared) {
  std::optional<SchemaError> err;
  if constexpr (kFromRequestText<R>) {
    object.for_each_repeated_key([&](std::string_view k) {
      if (!err && index_of(declared, k)) {
        err = SchemaError{duplicate_field(k), object.index(), Place::End};
      }
    });
  }
  return err;
}

}  // namespace detail

// Record fields from the members of an object, in the order written. `skip` is a member that
// belongs to an enclosing tagged value (its tag).
template <class R>
Decoded<R> record_from_object(json::Value object, std::string_view skip = {}) {
  static constexpr auto kKeys = detail::field_keys<R>();
  if (auto err = detail::repeated_key<R>(object, kKeys)) return std::unexpected(std::move(*err));
  R out{};
  std::bitset<32> seen;
  std::optional<SchemaError> first;
  object.for_each_member_at([&](std::uint32_t key_node, std::string_view key, json::Value v) {
    auto idx = index_of(kKeys, key);
    if (!idx) {
      if (Diagnosis* d = Diagnosis::active(); d && key != skip) d->unknown_key(key_node, key, kKeys);
      return true;
    }
    if (seen[*idx]) {  // a member kept as written: the reader stops at the second key
      return keep_first(first, SchemaError{duplicate_field(key), key_node, Place::NextToken});
    }
    seen[*idx] = true;
    if (auto err = detail::decode_field(out, *idx, v)) return keep_first(first, std::move(*err));
    return true;
  });
  if (!first || Diagnosis::active()) detail::settle_missing<R>(seen, object, first);
  if (first) return std::unexpected(std::move(*first));
  return out;
}

// Record fields from the elements of a positional array, starting at element `skip`.
template <class R>
Decoded<R> record_from_elements(json::Value array, std::size_t skip) {
  R out{};
  constexpr std::size_t n = detail::field_count<R>();
  std::optional<SchemaError> first;
  std::size_t i = 0;
  array.for_each_element([&](json::Value e) {
    const std::size_t f = i++;
    if (f < skip || f - skip >= n) return true;
    if (auto err = detail::decode_field(out, f - skip, e)) return keep_first(first, std::move(*err));
    return true;
  });
  if (first && !Diagnosis::active()) return std::unexpected(std::move(*first));
  const std::size_t given = i - skip;
  if (given < n) {
    if (auto req = detail::first_required_from<R>(given)) {
      keep_first(first, SchemaError{invalid_length(RecordDesc<R>::is_variant ? given : *req,
                                                   detail::record_len_text<R>()),
                                    array.index(), Place::End});
    }
  } else if (given > n) {
    keep_first(first, SchemaError{invalid_length(RecordDesc<R>::is_variant ? given : i,
                                                 wanted::kFewerElements),
                                  array.index(), Place::End});
  }
  if (first) return std::unexpected(std::move(*first));
  return out;
}

// The key node, key and value of an object's first member (its only one, where this is used).
struct FirstMember {
  std::uint32_t key_node = 0;
  std::string_view key;
  json::Value value;
};
inline FirstMember first_member(json::Value object) {
  FirstMember out;
  object.for_each_member_at([&](std::uint32_t node, std::string_view k, json::Value v) {
    out = FirstMember{node, k, v};
    return false;
  });
  return out;
}

template <class R>
struct RecordCodec {
  // Which fields were seen is kept in a bitset<32>.
  static_assert(detail::field_count<R>() <= 32, "a record declares at most 32 fields");
  static_assert(all_distinct(detail::field_keys<R>()),
                "a record's field names are distinct and not empty");

  static Decoded<R> from_value(json::Value v) {
    if (v.kind() == json::Kind::Object) return record_from_object<R>(v);
    if (v.kind() == json::Kind::Array) return record_from_elements<R>(v, 0);
    return wrong_kind(v, wanted::record(RecordDesc<R>::name));
  }
};

// ---------------------------------------------------------------------------------------
// Enumerations written by name

// Specialise with: static constexpr std::array<std::string_view, N> names (in the type's
// own order; the enum's values are 0..N-1). One the JSON Schema of strategy documents reaches
// also declares std::string_view name and description (its title, and a phrase).
template <class E>
struct EnumDesc;

template <class E>
struct EnumCodec {
  static_assert(all_distinct(EnumDesc<E>::names),
                "an enumeration's names are distinct and not empty");

  static Decoded<E> from_value(json::Value v) {
    if (v.kind() == json::Kind::String) return by_name(v.as_string(), v.index());
    if constexpr (kFromRequestText<E>) {
      return from_request(v);
    } else {
      if (v.kind() != json::Kind::Object) return wrong_kind(v, wanted::kStringOrMap);
      if (v.size() != 1) return fail(v, Place::End, invalid_value(found::kMap, wanted::kSingleKeyMap));
      auto m = first_member(v);
      auto e = by_name(m.key, m.key_node);
      if (!e) return e;
      if (!m.value.is_null()) return wrong_kind(m.value, wanted::kUnit);
      return e;
    }
  }

 private:
  static Decoded<E> by_name(std::string_view name, std::uint32_t node) {
    if (auto i = index_of(EnumDesc<E>::names, name)) return E(*i);
    return std::unexpected(
        SchemaError{unknown_variant(name, EnumDesc<E>::names), node, Place::End});
  }

  // Read from text, only a string or a one-member object {"name": null} will do; any other
  // token is "expected value".
  static Decoded<E> from_request(json::Value v) {
    static constexpr std::string_view kExpectedValue = "expected value";
    if (v.kind() != json::Kind::Object) return fail(v, Place::PastFirst, std::string(kExpectedValue));
    if (v.size() == 0) return fail(v, Place::End, std::string(kExpectedValue));
    auto m = first_member(v);
    auto e = by_name(m.key, m.key_node);
    if (!e) return e;
    if (!m.value.is_null()) return wrong_kind(m.value, wanted::kUnit);
    bool repeated = false;  // in a parsed request, a second member of any name
    v.for_each_repeated_key([&](std::string_view) { repeated = true; });
    if (v.size() != 1 || repeated) return fail(m.value, Place::NextToken, std::string(kExpectedValue));
    return e;
  }
};

// ---------------------------------------------------------------------------------------
// Internally tagged variant types

// Specialise with: static constexpr std::string_view name, tag; static constexpr
// std::array<std::string_view, N> names; using Variant = std::variant<V0, V1, ...> in the
// order of names. A variant type without fields is an empty struct with no RecordDesc. One the
// JSON Schema of strategy documents reaches also declares std::string_view description.
template <class T>
struct TaggedDesc;

namespace detail {

template <class V>
concept HasFields = requires { RecordDesc<V>::fields; };

template <class T>
using VariantOf = typename TaggedDesc<T>::Variant;

// Decodes the variant at `index` with `decode_record` (a generic callable taking a type tag)
// for variants with fields.
template <class T, class F, std::size_t... I>
Decoded<T> select_variant(std::size_t index, F&& decode_record, std::index_sequence<I...>) {
  std::optional<Decoded<T>> out;
  ((index == I ? (void)(out = [&]() -> Decoded<T> {
     using V = std::variant_alternative_t<I, VariantOf<T>>;
     if constexpr (HasFields<V>) {
       auto r = decode_record(std::type_identity<V>{});
       if (!r) return std::unexpected(std::move(r.error()));
       return T{VariantOf<T>(std::in_place_index<I>, std::move(*r))};
     } else {
       return T{VariantOf<T>(std::in_place_index<I>)};
     }
   }())
               : void()),
   ...);
  return std::move(*out);
}

template <class T>
Decoded<std::size_t> tag_from_value(json::Value v) {
  if (v.kind() != json::Kind::String) return wrong_kind(v, wanted::kVariantIdentifier);
  if (auto i = index_of(TaggedDesc<T>::names, v.as_string())) return *i;
  return fail(v, Place::End, unknown_variant(v.as_string(), TaggedDesc<T>::names));
}

}  // namespace detail

// T wraps the variant: struct T { Variant v; }.
template <class T>
struct TaggedCodec {
  using Desc = TaggedDesc<T>;
  static constexpr std::size_t kVariants = std::variant_size_v<typename Desc::Variant>;
  static_assert(Desc::names.size() == kVariants, "a tagged type names each of its variants once");
  static_assert(all_distinct(Desc::names),
                "a tagged type's variant names are distinct and not empty");

  static Decoded<T> from_value(json::Value v) {
    Decoded<T> out = v.kind() == json::Kind::Object  ? from_object(v)
                     : v.kind() == json::Kind::Array ? from_elements(v)
                                                     : wrong_kind(v, wanted::tagged(Desc::name));
    return out;
  }

 private:
  // A fault in the variant's own fields: read from request text, the members other than the
  // tag are only looked at once the whole value is read, so the fault stands at its end.
  static Decoded<T> variant_fault(json::Value v, SchemaError e) {
    if constexpr (kFromRequestText<T>) {
      e.node = v.index();
      e.place = Place::End;
    }
    return std::unexpected(std::move(e));
  }

  static Decoded<T> from_object(json::Value v) {
    static constexpr std::array<std::string_view, 1> kTag{Desc::tag};
    if (auto err = detail::repeated_key<T>(v, kTag)) return std::unexpected(std::move(*err));
    // The tag where it stands: a fault in it comes before anything after it.
    std::optional<std::size_t> tag;
    std::optional<SchemaError> err;
    v.for_each_member_at([&](std::uint32_t key_node, std::string_view k, json::Value m) {
      if (k != Desc::tag) return true;
      if (tag) {
        err = SchemaError{duplicate_field(Desc::tag), key_node, Place::NextToken};
        return false;
      }
      auto t = detail::tag_from_value<T>(m);
      if (!t) return err = std::move(t.error()), false;
      tag = *t;
      return true;
    });
    if (err) return std::unexpected(std::move(*err));
    if (!tag) return fail(v, Place::End, missing_field(Desc::tag));
    if (Diagnosis* d = Diagnosis::active()) warn_unread(*d, v, *tag);
    auto out = detail::select_variant<T>(
        *tag,
        [&](auto type) {
          using V = typename decltype(type)::type;
          return record_from_object<V>(v, Desc::tag);
        },
        std::make_index_sequence<kVariants>{});
    if (!out) return variant_fault(v, std::move(out.error()));
    return out;
  }

  // A variant without fields reads no member but the tag: any other is ignored, worth a warning.
  static void warn_unread(Diagnosis& d, json::Value v, std::size_t index) {
    bool has_fields = false;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((index == I ? (void)(has_fields = detail::HasFields<
                                std::variant_alternative_t<I, typename Desc::Variant>>)
                   : void()),
       ...);
    }(std::make_index_sequence<kVariants>{});
    if (has_fields) return;  // the variant's record warns about its own members
    static constexpr std::array<std::string_view, 1> kTag{Desc::tag};
    v.for_each_member_at([&](std::uint32_t key_node, std::string_view k, json::Value) {
      if (k != Desc::tag) d.unknown_key(key_node, k, kTag);
      return true;
    });
  }

  static Decoded<T> from_elements(json::Value v) {
    if (v.size() == 0) return fail(v, Place::End, missing_field(Desc::tag));
    json::Value first;
    v.for_each_element([&](json::Value e) { return first = e, false; });
    auto tag = detail::tag_from_value<T>(first);
    if (!tag) return std::unexpected(std::move(tag.error()));
    auto out = detail::select_variant<T>(
        *tag,
        [&](auto type) {
          using V = typename decltype(type)::type;
          return record_from_elements<V>(v, 1);
        },
        std::make_index_sequence<kVariants>{});
    if (!out) return variant_fault(v, std::move(out.error()));
    return out;
  }
};

// Decodes a parsed value as T.
template <class T>
Decoded<T> decode(json::Value v) {
  return Codec<T>::from_value(v);
}

}  // namespace orvane::schema
