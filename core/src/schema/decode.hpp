#pragma once
// The one decoding framework: records, enumerations written by name and internally tagged
// variant types, decoded from a parsed value (messages without a position) or straight from
// request text (the first failure also says where decoding stopped).
//
// A type becomes decodable by specialising Codec<T>. Records, enumerations and tagged types
// only declare themselves (RecordDesc, EnumDesc, TaggedDesc) and inherit their codec.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "canonical/reader.hpp"
#include "canonical/value.hpp"
#include "schema/compile_spec.hpp"
#include "schema/messages.hpp"

namespace orvane::schema {

struct SchemaError {
  std::string message;
  std::optional<std::size_t> index;  // byte index in the request text, once known
};

template <class T>
using Decoded = std::expected<T, SchemaError>;

inline std::unexpected<SchemaError> fail(std::string message) {
  return std::unexpected(SchemaError{std::move(message), std::nullopt});
}
inline SchemaError from_reader(json::TextError e) { return SchemaError{std::move(e.message), e.index}; }
inline std::unexpected<SchemaError> fail(json::TextError e) {
  return std::unexpected(from_reader(std::move(e)));
}

// The message with " at line L column C" when it has a position in `text`.
std::string describe(const SchemaError& e, std::string_view text);

// Decoding straight from request text. Values met on the way (the strategy, candles) are
// parsed into `doc`, which shares the text's lifetime.
struct TextIn {
  json::Reader& reader;
  json::Document& doc;
  std::string scratch;

  // Settles an error without a position where decoding stopped.
  SchemaError fix(SchemaError e) const {
    if (!e.index) e.index = reader.index();
    return e;
  }
};

// Records of a request are read from text, where a field given twice is an error. Decoding
// them from a parsed value must reach the same verdict, so it looks at repeated keys too.
template <class R>
constexpr bool kStrictDuplicates = false;

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
struct Codec;  // static Decoded<T> from_value(json::Value); from_text(TextIn&) where needed

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

// Members of an object: a parsed object, or the members buffered while looking for a tag.
using MemberList = std::vector<std::pair<std::string, json::Value>>;

// ---------------------------------------------------------------------------------------
// Scalars

// Consumes a value of the wrong kind and says what it was ("sequence"/"map" are not consumed).
Decoded<std::string> found_in_text(TextIn& in);
std::unexpected<SchemaError> wrong_kind_in_text(TextIn& in, std::string_view wanted);

template <>
struct Codec<bool> {
  static Decoded<bool> from_value(json::Value v);
  static Decoded<bool> from_text(TextIn& in);
};
template <>
struct Codec<std::string> {
  static Decoded<std::string> from_value(json::Value v);
  static Decoded<std::string> from_text(TextIn& in);
};
// A view of a string in the document: typed records that only check a document copy nothing.
template <>
struct Codec<std::string_view> {
  static Decoded<std::string_view> from_value(json::Value v) {
    if (v.kind() == json::Kind::String) return v.as_string();
    return fail(invalid_type(found::of(v), wanted::kString));
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
  static Decoded<json::Value> from_text(TextIn& in);
};
template <>
struct Codec<JsonArray> {
  static Decoded<JsonArray> from_value(json::Value v) {
    if (v.kind() != json::Kind::Array) return fail(invalid_type(found::of(v), wanted::kSequence));
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
  static Decoded<std::optional<T>> from_text(TextIn& in) {
    if (in.reader.skip_ws() == 'n') {
      in.reader.eat();
      if (auto r = in.reader.parse_ident("ull"); !r) return fail(std::move(r.error()));
      return std::optional<T>();
    }
    auto r = Codec<T>::from_text(in);
    if (!r) return std::unexpected(std::move(r.error()));
    return std::optional<T>(std::move(*r));
  }
};
template <class T>
struct Codec<std::vector<T>> {
  static Decoded<std::vector<T>> from_value(json::Value v) {
    if (v.kind() != json::Kind::Array) return fail(invalid_type(found::of(v), wanted::kSequence));
    std::vector<T> out;
    out.reserve(v.size());
    std::optional<SchemaError> err;
    v.for_each_element([&](json::Value e) {
      auto r = Codec<T>::from_value(e);
      if (!r) return err = std::move(r.error()), false;
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
    if (v.kind() != json::Kind::Object) return fail(invalid_type(found::of(v), wanted::kMap));
    Named<T> out;
    out.reserve(v.size());
    std::optional<SchemaError> err;
    v.for_each_member([&](std::string_view k, json::Value e) {
      auto r = Codec<T>::from_value(e);
      if (!r) return err = std::move(r.error()), false;
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
std::string record_len_text() {
  if constexpr (RecordDesc<R>::is_variant) {
    return wanted::variant_len(RecordDesc<R>::name, field_count<R>());
  } else {
    return wanted::record_len(RecordDesc<R>::name, field_count<R>());
  }
}

// Calls f(field, index) for the field at `index`.
template <class R, class F>
void with_field(std::size_t index, F&& f) {
  std::size_t i = 0;
  std::apply([&](const auto&... fld) { ((i++ == index ? f(fld) : void()), ...); },
             RecordDesc<R>::fields);
}

template <class R>
std::optional<std::size_t> field_index(std::string_view key) {
  std::optional<std::size_t> found;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... fld) {
        ((!found && same_name(fld.key, key) ? (void)(found = i) : void(), ++i), ...);
      },
      RecordDesc<R>::fields);
  return found;
}

// Decodes field `index` of `out` with `decode`, a generic callable given the field's codec.
template <class R, class Decode>
std::optional<SchemaError> decode_field(R& out, std::size_t index, Decode&& decode) {
  std::optional<SchemaError> err;
  with_field<R>(index, [&](const auto& fld) {
    using T = std::decay_t<decltype(out.*fld.member)>;
    auto r = decode(std::type_identity<Codec<T>>{});
    if (!r) {
      err = std::move(r.error());
    } else {
      out.*fld.member = std::move(*r);
    }
  });
  return err;
}

template <class R>
std::optional<SchemaError> decode_field_value(R& out, std::size_t index, json::Value v) {
  return decode_field(out, index, [&](auto codec) { return decltype(codec)::type::from_value(v); });
}

template <class R>
std::optional<SchemaError> decode_field_text(R& out, std::size_t index, TextIn& in) {
  return decode_field(out, index, [&](auto codec) { return decltype(codec)::type::from_text(in); });
}

// After the members: the first required field not seen is missing; the rest keep their
// defaults (the record's own initialisers) or stay unset.
template <class R>
std::optional<SchemaError> settle_missing(const std::bitset<32>& seen) {
  std::optional<SchemaError> err;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... fld) {
        ((!err && !seen[i] && fld.presence == Presence::Required
              ? (void)(err = SchemaError{missing_field(fld.key), std::nullopt})
              : void(),
          ++i),
         ...);
      },
      RecordDesc<R>::fields);
  return err;
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

}  // namespace detail

namespace detail {
template <class R>
std::optional<SchemaError> repeated_field(json::Value object) {
  std::optional<SchemaError> err;
  if constexpr (kStrictDuplicates<R>) {
    object.for_each_repeated_key([&](std::string_view k) {
      if (!err && field_index<R>(k)) err = SchemaError{duplicate_field(k), std::nullopt};
    });
  }
  return err;
}
}  // namespace detail

// Record fields from object members (a parsed object or a buffered member list).
template <class R, class ForEachMember>
Decoded<R> record_from_members(ForEachMember&& for_each_member) {
  R out{};
  std::bitset<32> seen;
  std::optional<SchemaError> err;
  for_each_member([&](std::string_view key, json::Value v) {
    auto idx = detail::field_index<R>(key);
    if (!idx) return true;  // unknown keys are skipped unseen
    if (seen[*idx]) {  // only a buffered member list can repeat a key
      err = SchemaError{duplicate_field(key), std::nullopt};
      return false;
    }
    seen[*idx] = true;
    err = detail::decode_field_value(out, *idx, v);
    return !err;
  });
  if (!err) err = detail::settle_missing<R>(seen);
  if (err) return std::unexpected(std::move(*err));
  return out;
}

// Record fields from the elements of a positional array, starting at element `skip`.
template <class R>
Decoded<R> record_from_elements(const std::vector<json::Value>& elements, std::size_t skip) {
  R out{};
  constexpr std::size_t n = detail::field_count<R>();
  std::size_t given = elements.size() - skip;
  for (std::size_t i = 0; i < n && i < given; ++i) {
    if (auto err = detail::decode_field_value(out, i, elements[skip + i])) {
      return std::unexpected(std::move(*err));
    }
  }
  if (given < n) {
    if (auto req = detail::first_required_from<R>(given)) {
      return fail(invalid_length(RecordDesc<R>::is_variant ? given : *req,
                                 detail::record_len_text<R>()));
    }
  } else if (given > n) {
    return fail(invalid_length(RecordDesc<R>::is_variant ? given : elements.size(),
                               wanted::kFewerElements));
  }
  return out;
}

std::vector<json::Value> elements_of(json::Value array);

// The key and value of an object's first member (its only one, where this is used).
inline std::pair<std::string_view, json::Value> first_member(json::Value object) {
  const json::Document* d = object.document();
  std::uint32_t i = object.index() + 1;
  const std::uint32_t end = d->end_of(object.index());
  while (i < end && d->tag(i) == json::Document::kDead) i = d->end_of(i);  // superseded keys
  if (i >= end) return {};
  return {d->text_of(i), json::Value(d, d->resolve(i + 1))};
}

template <class R>
struct RecordCodec {
  // Which fields were seen is kept in a bitset<32>.
  static_assert(detail::field_count<R>() <= 32, "a record declares at most 32 fields");
  static_assert(all_distinct(std::apply([](const auto&... f) {
                  return std::array<std::string_view, sizeof...(f)>{f.key...};
                }, RecordDesc<R>::fields)),
                "a record's field names are distinct and not empty");

  static Decoded<R> from_value(json::Value v) {
    if (v.kind() == json::Kind::Object) {
      if (auto err = detail::repeated_field<R>(v)) return std::unexpected(std::move(*err));
      return record_from_members<R>([&](auto&& f) { v.for_each_member(f); });
    }
    if (v.kind() == json::Kind::Array) return record_from_elements<R>(elements_of(v), 0);
    return fail(invalid_type(found::of(v), wanted::record(RecordDesc<R>::name)));
  }

  static Decoded<R> from_text(TextIn& in) {
    json::Reader& r = in.reader;
    int c = r.skip_ws();
    if (c == '{') return object_from_text(in);
    if (c == '[') return array_from_text(in);
    if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
    return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::record(RecordDesc<R>::name)).error()));
  }

 private:
  static Decoded<R> object_from_text(TextIn& in) {
    json::Reader& r = in.reader;
    if (auto e = r.enter(); !e) return fail(std::move(e.error()));
    r.eat();
    R out{};
    std::bitset<32> seen;
    std::optional<SchemaError> err;
    bool first = true;
    for (;;) {
      auto key = r.next_key(first, in.scratch);
      if (!key) {
        err = from_reader(std::move(key.error()));
        break;
      }
      if (!*key) break;
      auto idx = detail::field_index<R>(**key);
      if (idx && seen[*idx]) {
        err = SchemaError{duplicate_field(**key), std::nullopt};
        break;
      }
      if (auto colon = r.object_colon(); !colon) {
        err = from_reader(std::move(colon.error()));
        break;
      }
      if (!idx) {
        if (auto s = r.skip_value(); !s) {
          err = from_reader(std::move(s.error()));
          break;
        }
        continue;
      }
      seen[*idx] = true;
      if ((err = detail::decode_field_text(out, *idx, in))) break;
    }
    if (!err) err = detail::settle_missing<R>(seen);
    auto closed = r.end_map();
    if (err) return std::unexpected(in.fix(std::move(*err)));
    if (!closed) return fail(std::move(closed.error()));
    r.leave();
    return out;
  }

  static Decoded<R> array_from_text(TextIn& in) {
    json::Reader& r = in.reader;
    if (auto e = r.enter(); !e) return fail(std::move(e.error()));
    r.eat();
    R out{};
    constexpr std::size_t n = detail::field_count<R>();
    std::optional<SchemaError> err;
    bool first = true;
    std::size_t given = 0;
    for (;;) {
      auto more = r.next_element(first);
      if (!more) {
        err = from_reader(std::move(more.error()));
        break;
      }
      if (!*more) break;
      if (given < n) {
        if ((err = detail::decode_field_text(out, given, in))) break;
      } else if (auto s = r.skip_value(); !s) {
        err = from_reader(std::move(s.error()));
        break;
      }
      ++given;
    }
    if (!err && given < n) {
      if (auto req = detail::first_required_from<R>(given)) {
        err = SchemaError{invalid_length(*req, detail::record_len_text<R>()), std::nullopt};
      }
    } else if (!err && given > n) {
      err = SchemaError{invalid_length(given, wanted::kFewerElements), std::nullopt};
    }
    auto closed = r.end_seq();
    if (err) return std::unexpected(in.fix(std::move(*err)));
    if (!closed) return fail(std::move(closed.error()));
    r.leave();
    return out;
  }
};

// ---------------------------------------------------------------------------------------
// Enumerations written by name

// Specialise with: static constexpr std::array<std::string_view, N> names (in the type's
// own order; the enum's values are 0..N-1). One the JSON Schema of strategy documents reaches
// also declares std::string_view name and description (its title, and a phrase).
template <class E>
struct EnumDesc;

namespace detail {
template <class E>
Decoded<E> enum_by_name(std::string_view name) {
  const auto& names = EnumDesc<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (same_name(names[i], name)) return E(i);
  }
  return fail(unknown_variant(name, names));
}
}  // namespace detail

template <class E>
struct EnumCodec {
  static_assert(all_distinct(EnumDesc<E>::names), "an enumeration's names are distinct and not empty");

  static Decoded<E> from_value(json::Value v) {
    if (v.kind() == json::Kind::String) return detail::enum_by_name<E>(v.as_string());
    if (v.kind() == json::Kind::Object) {
      if constexpr (kStrictDuplicates<E>) {
        // In text, a second member of any name is already a fault.
        bool repeated = false;
        v.for_each_repeated_key([&](std::string_view) { repeated = true; });
        if (repeated) return fail(invalid_value(found::kMap, wanted::kSingleKeyMap));
      }
      if (v.size() != 1) return fail(invalid_value(found::kMap, wanted::kSingleKeyMap));
      auto [key, content] = first_member(v);
      auto e = detail::enum_by_name<E>(key);
      if (!e) return e;
      if (!content.is_null()) return fail(invalid_type(found::of(content), wanted::kUnit));
      return e;
    }
    return fail(invalid_type(found::of(v), wanted::kStringOrMap));
  }

  // From text only a string or a one-member object {"name": null} will do; any other token
  // is "expected value".
  static Decoded<E> from_text(TextIn& in) {
    json::Reader& r = in.reader;
    int c = r.skip_ws();
    if (c == '"') return name_from_text(in);
    if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
    if (c != '{') return fail(r.peek_error(json::msg::kExpectedValue));
    if (auto e = r.enter(); !e) return fail(std::move(e.error()));
    r.eat();
    if (r.skip_ws() != '"') {
      if (r.skip_ws() < 0) return fail(r.peek_error(json::msg::kEofValue));
      return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::kVariantIdentifier).error()));
    }
    auto e = name_from_text(in);
    if (!e) return e;
    if (auto colon = r.object_colon(); !colon) return fail(std::move(colon.error()));
    int v = r.skip_ws();
    if (v == 'n') {
      r.eat();
      if (auto id = r.parse_ident("ull"); !id) return fail(std::move(id.error()));
    } else if (v < 0) {
      return fail(r.peek_error(json::msg::kEofValue));
    } else {
      return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::kUnit).error()));
    }
    int close = r.skip_ws();
    if (close == '}') {
      r.eat();
      r.leave();
      return e;
    }
    return fail(r.error(close < 0 ? json::msg::kEofObject : json::msg::kExpectedValue));
  }

 private:
  static Decoded<E> name_from_text(TextIn& in) {
    in.reader.eat();
    auto s = in.reader.parse_string(in.scratch);
    if (!s) return fail(std::move(s.error()));
    auto e = detail::enum_by_name<E>(*s);
    if (!e) return std::unexpected(in.fix(std::move(e.error())));
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

// Decodes the variant at `index` with `decode_record` (a generic callable taking a
// type tag) for variants with fields.
template <class T, class F, std::size_t... I>
Decoded<T> select_variant(std::size_t index, F&& decode_record, std::index_sequence<I...>) {
  Decoded<T> out = fail("");
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
  return out;
}

template <class T>
Decoded<std::size_t> tag_index(std::string_view name) {
  const auto& names = TaggedDesc<T>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (same_name(names[i], name)) return i;
  }
  return fail(unknown_variant(name, names));
}

template <class T>
Decoded<std::size_t> tag_from_value(json::Value v) {
  if (v.kind() != json::Kind::String) {
    return fail(invalid_type(found::of(v), wanted::kVariantIdentifier));
  }
  return tag_index<T>(v.as_string());
}

}  // namespace detail

// T wraps the variant: struct T { Variant v; }.
template <class T>
struct TaggedCodec {
  using Desc = TaggedDesc<T>;
  static constexpr std::size_t kVariants = std::variant_size_v<typename Desc::Variant>;
  static_assert(Desc::names.size() == kVariants, "a tagged type names each of its variants once");
  static_assert(all_distinct(Desc::names), "a tagged type's variant names are distinct and not empty");

  static Decoded<T> from_value(json::Value v) {
    if (v.kind() == json::Kind::Object) {
      if constexpr (kStrictDuplicates<T>) {
        bool repeated = false;
        v.for_each_repeated_key([&](std::string_view k) { repeated = repeated || k == Desc::tag; });
        if (repeated) return fail(duplicate_field(Desc::tag));
      }
      std::optional<Decoded<std::size_t>> tag;
      v.for_each_member([&](std::string_view k, json::Value m) {
        if (k != Desc::tag) return true;
        tag = detail::tag_from_value<T>(m);
        return false;
      });
      if (!tag) return fail(missing_field(Desc::tag));
      if (!*tag) return std::unexpected(std::move(tag->error()));
      return detail::select_variant<T>(
          **tag,
          [&](auto type) -> Decoded<typename decltype(type)::type> {
            using V = typename decltype(type)::type;
            if (auto err = detail::repeated_field<V>(v)) return std::unexpected(std::move(*err));
            return record_from_members<V>([&](auto&& f) { v.for_each_member(f); });
          },
          std::make_index_sequence<kVariants>{});
    }
    if (v.kind() == json::Kind::Array) return from_elements(elements_of(v));
    return fail(invalid_type(found::of(v), wanted::tagged(Desc::name)));
  }

  // The tag is read from the text where it stands; the other members are buffered as values
  // and decoded once the whole object is read, so their failures are placed at its closing
  // brace (or bracket).
  static Decoded<T> from_text(TextIn& in) {
    json::Reader& r = in.reader;
    int c = r.skip_ws();
    if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
    if (c != '{' && c != '[') {
      return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::tagged(Desc::name)).error()));
    }
    if (auto e = r.enter(); !e) return fail(std::move(e.error()));
    r.eat();
    return c == '{' ? object_from_text(in) : array_from_text(in);
  }

 private:
  static Decoded<T> from_elements(const std::vector<json::Value>& elements) {
    if (elements.empty()) return fail(missing_field(Desc::tag));
    auto tag = detail::tag_from_value<T>(elements[0]);
    if (!tag) return std::unexpected(std::move(tag.error()));
    return detail::select_variant<T>(
        *tag,
        [&](auto type) {
          using V = typename decltype(type)::type;
          return record_from_elements<V>(elements, 1);
        },
        std::make_index_sequence<kVariants>{});
  }

  static Decoded<std::size_t> tag_from_text(TextIn& in) {
    json::Reader& r = in.reader;
    int c = r.skip_ws();
    if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
    if (c != '"') return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::kVariantIdentifier).error()));
    r.eat();
    auto s = r.parse_string(in.scratch);
    if (!s) return fail(std::move(s.error()));
    auto idx = detail::tag_index<T>(*s);
    if (!idx) return std::unexpected(in.fix(std::move(idx.error())));
    return idx;
  }

  static Decoded<T> object_from_text(TextIn& in) {
    json::Reader& r = in.reader;
    MemberList members;
    std::optional<std::size_t> tag;
    std::optional<SchemaError> err;
    bool first = true;
    for (;;) {
      auto key = r.next_key(first, in.scratch);
      if (!key) {
        err = from_reader(std::move(key.error()));
        break;
      }
      if (!*key) break;
      bool is_tag = **key == Desc::tag;
      if (is_tag && tag) {
        err = SchemaError{duplicate_field(Desc::tag), std::nullopt};
        break;
      }
      std::string name(**key);
      if (auto colon = r.object_colon(); !colon) {
        err = from_reader(std::move(colon.error()));
        break;
      }
      if (is_tag) {
        auto t = tag_from_text(in);
        if (!t) {
          err = std::move(t.error());
          break;
        }
        tag = *t;
      } else {
        auto v = r.parse_value(in.doc);
        if (!v) {
          err = from_reader(std::move(v.error()));
          break;
        }
        members.emplace_back(std::move(name), in.doc.value(*v));
      }
    }
    if (!err && !tag) err = SchemaError{missing_field(Desc::tag), std::nullopt};
    auto closed = r.end_map();
    if (err) return std::unexpected(in.fix(std::move(*err)));
    if (!closed) return fail(std::move(closed.error()));
    r.leave();
    // A fault in the variant's fields is placed at the closing brace of this object.
    auto out = detail::select_variant<T>(
        *tag,
        [&](auto type) {
          using V = typename decltype(type)::type;
          return record_from_members<V>([&](auto&& f) {
            for (const auto& [k, v] : members) {
              if (!f(std::string_view(k), v)) return;
            }
          });
        },
        std::make_index_sequence<kVariants>{});
    if (!out) return std::unexpected(in.fix(std::move(out.error())));
    return out;
  }

  static Decoded<T> array_from_text(TextIn& in) {
    json::Reader& r = in.reader;
    std::optional<std::size_t> tag;
    std::vector<json::Value> elements{json::Value()};  // element 0 stands for the tag
    std::optional<SchemaError> err;
    bool first = true;
    for (;;) {
      auto more = r.next_element(first);
      if (!more) {
        err = from_reader(std::move(more.error()));
        break;
      }
      if (!*more) break;
      if (!tag) {
        auto t = tag_from_text(in);
        if (!t) {
          err = std::move(t.error());
          break;
        }
        tag = *t;
        continue;
      }
      auto v = r.parse_value(in.doc);
      if (!v) {
        err = from_reader(std::move(v.error()));
        break;
      }
      elements.push_back(in.doc.value(*v));
    }
    if (!err && !tag) err = SchemaError{missing_field(Desc::tag), std::nullopt};
    auto closed = r.end_seq();
    if (err) return std::unexpected(in.fix(std::move(*err)));
    if (!closed) return fail(std::move(closed.error()));
    r.leave();
    auto out = detail::select_variant<T>(
        *tag,
        [&](auto type) {
          using V = typename decltype(type)::type;
          return record_from_elements<V>(elements, 1);
        },
        std::make_index_sequence<kVariants>{});
    if (!out) return std::unexpected(in.fix(std::move(out.error())));
    return out;
  }
};

// Decodes a request record from the parsed request: the same verdict as decoding its text,
// without reading the text again. Use decode_text for the message of a failure.
template <class T>
Decoded<T> decode_parsed(json::Value v) {
  return Codec<T>::from_value(v);
}

// Decodes a whole request text as T: exactly one value, then only whitespace.
template <class T>
Decoded<T> decode_text(std::string_view text, json::Document& doc) {
  json::Reader reader(text);
  TextIn in{reader, doc, {}};
  auto r = Codec<T>::from_text(in);
  if (!r) return r;
  if (auto e = reader.end(); !e) return fail(std::move(e.error()));
  return r;
}

}  // namespace orvane::schema
