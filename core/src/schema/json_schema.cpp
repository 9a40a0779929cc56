#include "schema/json_schema.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "versions.hpp"
#include "json/number.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "schema/keywords.hpp"
#include "schema/messages.hpp"
#include "schema/strategy.hpp"

namespace orvane::schema {

namespace {

// ---- JSON text

using Text = std::string;
using Members = std::vector<std::pair<std::string_view, Text>>;

Text str(std::string_view s) {
  Text t;
  json::append_string(t, s);
  return t;
}

Text number(std::uint64_t n) { return std::to_string(n); }

// An object of `members` in order; a member whose value is empty text is left out.
Text object(const Members& members) {
  Text t = "{";
  for (const auto& [key, value] : members) {
    if (value.empty()) continue;
    if (t.size() > 1) t += ',';
    json::append_string(t, key);
    t += ':';
    t += value;
  }
  return t + '}';
}

Text array(const std::vector<Text>& items) {
  Text t = "[";
  for (const auto& item : items) {
    if (t.size() > 1) t += ',';
    t += item;
  }
  return t + ']';
}

Text strings(std::span<const std::string_view> names) {
  std::vector<Text> items;
  for (auto name : names) items.push_back(str(name));
  return array(items);
}

// `schema`, an object, with the member `key` put first.
Text with_first(std::string_view key, const Text& value, const Text& schema) {
  Text t = "{";
  json::append_string(t, key);
  t += ':';
  t += value;
  if (schema.size() > 2) t += ',';
  t.append(schema, 1);
  return t;
}

Text titled(std::string_view title, const std::string& description, const Text& schema) {
  return with_first("title", str(title), with_first("description", str(description), schema));
}

Text of_type(std::string_view type) { return object({{"type", str(type)}}); }

// An array of exactly `items`.
Text tuple(const std::vector<Text>& items) {
  return object({{"type", str("array")},
                 {"prefixItems", array(items)},
                 {"minItems", number(items.size())},
                 {"items", "false"}});
}

// An object with exactly one member, named by one of `names`; `key` ("properties" or
// "additionalProperties") says what its content is.
Text one_member(std::span<const std::string_view> names, std::string_view key, Text content) {
  return object({{"type", str("object")},
                 {"minProperties", "1"},
                 {"maxProperties", "1"},
                 {"propertyNames", object({{"enum", strings(names)}})},
                 {key, std::move(content)}});
}

// ---- what a C++ type is

template <class T>
constexpr bool kIsOptional = false;
template <class T>
constexpr bool kIsOptional<std::optional<T>> = true;
template <class T>
constexpr bool kIsVector = false;
template <class T>
constexpr bool kIsVector<std::vector<T>> = true;
template <class T>
constexpr bool kIsNamed = false;
template <class T>
constexpr bool kIsNamed<Named<T>> = true;
template <class T>
constexpr bool kIsOwned = false;
template <class T>
constexpr bool kIsOwned<std::unique_ptr<T>> = true;

template <class T>
concept Enum = requires { EnumDesc<T>::names; };
template <class T>
concept Tagged = requires { TaggedDesc<T>::names; };
template <class T>
concept Record = detail::HasFields<T>;

template <class R, class F>
void for_each_field(F&& f) {
  if constexpr (Record<R>) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (f(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<detail::field_count<R>()>{});
  }
}

// The declaration of field I of R (a function, so that naming it in a generic lambda waits
// for the lambda's own instantiation).
template <class R, std::size_t I>
constexpr const auto& field_at() {
  return std::get<I>(RecordDesc<R>::fields);
}

template <class R, std::size_t I>
using FieldType = std::remove_cvref_t<decltype(std::declval<R&>().*field_at<R, I>().member)>;

// ---- values, for defaults

template <class T>
void write_value(Text& out, const T& v);

// The members of record `r`, each after a comma unless `first`; unset optional fields are
// left out.
template <class R>
void write_fields(Text& out, const R& r, bool first) {
  for_each_field<R>([&](auto index) {
    constexpr const auto& fld = field_at<R, decltype(index)::value>();
    const auto& value = r.*fld.member;
    if constexpr (kIsOptional<std::remove_cvref_t<decltype(value)>>) {
      if (!value) return;
    }
    if (!first) out += ',';
    first = false;
    json::append_string(out, fld.key);
    out += ':';
    write_value(out, value);
  });
}

template <class T>
void write_value(Text& out, const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    out += v ? "true" : "false";
  } else if constexpr (std::is_same_v<T, double>) {
    json::append_float(out, v);
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    out += number(v);
  } else if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string>) {
    json::append_string(out, v);
  } else if constexpr (kIsOptional<T>) {
    if (v) {
      write_value(out, *v);
    } else {
      out += "null";
    }
  } else if constexpr (kIsNamed<T>) {
    out += '{';
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i > 0) out += ',';
      json::append_string(out, v[i].first);
      out += ':';
      write_value(out, v[i].second);
    }
    out += '}';
  } else if constexpr (kIsVector<T>) {
    out += '[';
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i > 0) out += ',';
      write_value(out, v[i]);
    }
    out += ']';
  } else if constexpr (Enum<T>) {
    json::append_string(out, EnumDesc<T>::names[std::size_t(v)]);
  } else if constexpr (Tagged<T>) {
    std::visit(
        [&](const auto& variant) {
          out += '{';
          json::append_string(out, TaggedDesc<T>::tag);
          out += ':';
          json::append_string(out, TaggedDesc<T>::names[v.v.index()]);
          write_fields(out, variant, false);
          out += '}';
        },
        v.v);
  } else if constexpr (Record<T>) {
    out += '{';
    write_fields(out, v, true);
    out += '}';
  } else {
    static_assert(sizeof(T) == 0, "a default of a type the JSON Schema cannot write");
  }
}

// ---- schemas

class Generator {
 public:
  // The schema of a value of type T where one is wanted: a reference into $defs for named
  // types, which are defined on first use.
  template <class T>
  Text use() {
    if constexpr (std::is_same_v<T, bool>) {
      return of_type("boolean");
    } else if constexpr (std::is_same_v<T, double>) {
      return def("f64", [] {
        return object({{"description", str("Any JSON number, held as a 64-bit float.")},
                       {"type", str("number")}});
      });
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
      return def("u32", [] {
        return object({{"description", str("An unsigned 32-bit integer written without "
                                           "fraction or exponent (5, not 5.0 or 5e0).")},
                       {"type", str("integer")},
                       {"minimum", "0"},
                       {"maximum", number(std::numeric_limits<std::uint32_t>::max())}});
      });
    } else if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string> ||
                         std::is_same_v<T, IndicatorRef>) {
      return of_type("string");
    } else if constexpr (kIsOptional<T>) {
      return object({{"anyOf", array({of_type("null"), use<typename T::value_type>()})}});
    } else if constexpr (kIsNamed<T>) {
      return object({{"type", str("object")},
                     {"additionalProperties", use<typename T::value_type::second_type>()}});
    } else if constexpr (kIsVector<T>) {
      return object({{"type", str("array")}, {"items", use<typename T::value_type>()}});
    } else if constexpr (kIsOwned<T>) {
      return use<typename T::element_type>();
    } else if constexpr (Enum<T>) {
      return def(EnumDesc<T>::name, [this] { return enumeration<T>(); });
    } else if constexpr (Tagged<T>) {
      return def(TaggedDesc<T>::name, [this] { return tagged<T>(); });
    } else if constexpr (Record<T>) {
      return def(RecordDesc<T>::name, [this] { return record<T>(); });
    } else if constexpr (std::is_same_v<T, Condition>) {
      return def("Condition", [this] { return condition(); });
    } else if constexpr (std::is_same_v<T, Operand>) {
      return def("Operand", [this] { return operand(); });
    } else if constexpr (std::is_same_v<T, OperandExpr>) {
      return def("OperandExpr", [this] { return operand_expr(); });
    } else {
      static_assert(sizeof(T) == 0, "a type the JSON Schema of strategy documents does not know");
    }
  }

  // The object form of record R; `tag`, when given, is its first member.
  template <class R>
  Text record_object(const Members& tag) {
    Members properties = tag;
    std::vector<Text> required;
    for (const auto& member : tag) required.push_back(str(member.first));
    for_each_field<R>([&](auto index) {
      constexpr const auto& fld = field_at<R, decltype(index)::value>();
      properties.emplace_back(fld.key, field_schema<R, decltype(index)::value>());
      if (fld.presence == Presence::Required) required.push_back(str(fld.key));
    });
    return object({{"type", str("object")},
                   {"properties", object(properties)},
                   {"required", required.empty() ? Text() : array(required)}});
  }

  Text defs() const { return object(defs_); }

 private:
  Members defs_;  // in the order first reached

  // A reference to $defs/`name`, defined by `body` when first reached. The name is claimed
  // before the body is made, so a type that contains itself refers to itself.
  template <class Body>
  Text def(std::string_view name, Body&& body) {
    bool known = false;
    for (const auto& d : defs_) known = known || d.first == name;
    if (!known) {
      defs_.emplace_back(name, Text());
      Text made = body();
      for (auto& d : defs_) {
        if (d.first == name) d.second = std::move(made);
      }
    }
    return object({{"$ref", str("#/$defs/" + std::string(name))}});
  }

  // Field I of R, with the record's own initial value as its default when it has one.
  template <class R, std::size_t I>
  Text field_schema() {
    constexpr const auto& fld = std::get<I>(RecordDesc<R>::fields);
    Text schema = use<FieldType<R, I>>();
    if constexpr (fld.presence == Presence::Default) {
      Text value;
      write_value(value, R{}.*fld.member);
      schema = with_first("default", value, schema);
    }
    return schema;
  }

  // The array form of record R after `items` (a tag): the fields in order, as many as reach
  // the last required one. A variant without fields reads no further elements.
  template <class R>
  Text record_array(std::vector<Text> items) {
    std::size_t least = items.size();
    for_each_field<R>([&](auto index) {
      constexpr const auto& fld = field_at<R, decltype(index)::value>();
      items.push_back(field_schema<R, decltype(index)::value>());
      if (fld.presence == Presence::Required) least = items.size();
    });
    return object({{"type", str("array")},
                   {"prefixItems", array(items)},
                   {"minItems", least > 0 ? number(least) : Text()},
                   {"items", Record<R> ? "false" : ""}});
  }

  template <class R>
  Text record() {
    static_assert(
        requires { RecordDesc<R>::description; },
        "a record in the JSON Schema declares a description");
    bool all_default = true;
    for_each_field<R>([&](auto index) {
      all_default =
          all_default && field_at<R, decltype(index)::value>().presence != Presence::Required;
    });
    std::string description(RecordDesc<R>::description);
    description += ": an object, or an array of its fields in order";
    description += all_default ? "; every field has a default." : ".";
    return titled(RecordDesc<R>::name, description,
                  object({{"anyOf", array({record_object<R>({}), record_array<R>({})})}}));
  }

  template <class E>
  Text enumeration() {
    static_assert(
        requires {
          EnumDesc<E>::name;
          EnumDesc<E>::description;
        }, "an enumeration in the JSON Schema declares a name and a description");
    Text names = strings(EnumDesc<E>::names);
    std::string description(EnumDesc<E>::description);
    description += ": its name, or {\"name\": null}.";
    return titled(EnumDesc<E>::name, description,
                  object({{"anyOf", array({object({{"enum", names}}),
                                           one_member(EnumDesc<E>::names, "additionalProperties",
                                                      of_type("null"))})}}));
  }

  // Every variant in object form, its tag a constant, then every variant in array form.
  template <class T>
  Text tagged() {
    using Desc = TaggedDesc<T>;
    static_assert(
        requires { Desc::description; }, "a tagged type in the JSON Schema declares a description");
    std::vector<Text> objects;
    std::vector<Text> arrays;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            using V = std::variant_alternative_t<I, typename Desc::Variant>;
            Text tag = object({{"const", str(Desc::names[I])}});
            objects.push_back(record_object<V>({{Desc::tag, tag}}));
            arrays.push_back(record_array<V>({tag}));
          }(),
          ...);
    }(std::make_index_sequence<std::variant_size_v<typename Desc::Variant>>{});
    objects.insert(objects.end(), arrays.begin(), arrays.end());
    std::string description(Desc::description);
    description += ", tagged by \"" + std::string(Desc::tag) +
                   "\"; or an array: the tag, then the fields in order.";
    return titled(Desc::name, description, object({{"oneOf", array(objects)}}));
  }

  Text two_operands() {
    return def("TwoOperands", [this] { return tuple({use<Operand>(), use<Operand>()}); });
  }

  Text operand_and_count() {
    return def("OperandAndCount", [this] {
      static_assert(std::is_same_v<decltype(Condition::bars), decltype(OperandExpr::bars)>);
      return tuple({use<Operand>(), use<decltype(Condition::bars)>()});
    });
  }

  // What follows a condition or operand keyword (keywords.hpp), as the decoder reads it.
  Text content_of(Content content) {
    switch (content) {
      case Content::TwoOperands:
        return two_operands();
      case Content::ThreeOperands:
        return tuple({use<Operand>(), use<Operand>(), use<Operand>()});
      case Content::OperandAndBars:
        return operand_and_count();
      case Content::Conditions:
        return use<decltype(Condition::children)>();
      case Content::OneCondition:
        return use<Condition>();
      case Content::Flag:
        return use<decltype(Condition::flag)>();
      case Content::BarsCompare:
        return def("BarsCompare", [this] {
          static_assert(kBarsKeywords.size() == std::size_t(BarsCompare::Op::Eq) + 1);
          return titled("BarsCompare",
                        "An object with exactly one member: a comparison and a bar count.",
                        one_member(kBarsKeywords, "additionalProperties",
                                   use<decltype(BarsCompare::bars)>()));
        });
      case Content::PriceField:
        return use<decltype(OperandExpr::price)>();
    }
    return {};
  }

  Text condition() {
    static_assert(kConditionKeywords.size() == std::size_t(Condition::Op::BarsSinceEntry) + 1);
    Members properties;
    for (std::size_t i = 0; i < kConditionKeywords.size(); ++i) {
      properties.emplace_back(kConditionKeywords[i], content_of(kConditionContents[i]));
    }
    return titled("Condition",
                  "A rule: an object with exactly one member, the keyword and its content.",
                  one_member(kConditionKeywords, "properties", object(properties)));
  }

  // An operand is any of its forms, untagged.
  Text operand() {
    using Form = decltype(Operand::form);
    std::vector<Text> forms;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (forms.push_back(use<std::variant_alternative_t<I, Form>>()), ...);
    }(std::make_index_sequence<std::variant_size_v<Form>>{});
    return titled("Operand",
                  "An indicator name (any string), a constant (any number), or an expression.",
                  object({{"anyOf", array(forms)}}));
  }

  Text operand_expr() {
    static_assert(kOperandKeywords.size() == std::size_t(OperandExpr::Op::Div) + 1);
    Members properties;
    for (std::size_t i = 0; i < kOperandKeywords.size(); ++i) {
      properties.emplace_back(kOperandKeywords[i], content_of(kOperandContents[i]));
    }
    return titled("OperandExpr", "An operand expression: an object with exactly one member.",
                  one_member(kOperandKeywords, "properties", object(properties)));
  }
};

}  // namespace

std::string strategy_schema_json() {
  Generator g;
  // The document itself in object form; what its fields reach goes into $defs.
  Text schema = g.record_object<StrategySpec>({});
  const std::string version(kCompilerVersion);
  std::string description(RecordDesc<StrategySpec>::description);
  description += " in object form, as orvane-compile " + version +
                 " accepts it. Unknown keys are allowed everywhere except in the one-member "
                 "objects (conditions, operand expressions, bar comparisons and names written "
                 "as {\"name\": null}). Records and tagged values below the top level may also "
                 "be written as arrays of their fields in order.";
  const std::string comment =
      "Generated by the compiler from the declarations it decodes with. Four gaps: JSON "
      "Schema's \"integer\" matches any number with a zero fraction, so 5.0, 5e0 and -0 pass "
      "where the compiler wants an unsigned 32-bit integer ($defs/u32) and rejects them (a "
      "validator whose \"integer\" accepts only integer literals closes this gap); the "
      "document itself is described in object form only, while the compiler also reads it "
      "as an array of its fields in order; a number beyond the range of a 64-bit float (such "
      "as 1e400) matches \"number\", while the compiler does not read it; and a document "
      "may nest no deeper than " +
      std::to_string(strategy_depth()) +
      " levels of arrays and objects (the compiler reads a request to " +
      std::to_string(json::kMaxDepth) +
      " levels, and the strategy stands inside two of them), which JSON Schema cannot say.";
  schema = with_first("$comment", str(comment), schema);
  schema = with_first("description", str(description), schema);
  schema = with_first("title", str("Strategy document"), schema);
  schema = with_first("$id", str("urn:orvane-compile:strategy:" + version), schema);
  schema = with_first("$schema", str("https://json-schema.org/draft/2020-12/schema"), schema);
  schema.pop_back();
  schema += ",\"$defs\":" + g.defs() + '}';
  return schema;
}

}  // namespace orvane::schema
