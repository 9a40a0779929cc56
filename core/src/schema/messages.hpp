#pragma once
// The message vocabulary of every decoder, in one place.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace orvane::schema {

// A text in the quoted form: double quotes around it, with escapes for the quote, the
// backslash, control, non-printable and combining characters.
std::string quoted(std::string_view text);

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string name_list(std::span<const std::string_view> names);

// What was found, for invalid-type and invalid-value messages.
namespace found {
inline constexpr std::string_view kNull = "null";
inline constexpr std::string_view kSequence = "sequence";
inline constexpr std::string_view kMap = "map";
inline constexpr std::string_view kUnitVariant = "unit variant";
std::string boolean(bool b);
std::string integer(std::string_view literal);
std::string floating(double v);
std::string string(std::string_view s);
// The found-text of any parsed value.
std::string of(json::Value v);
}  // namespace found

// What was wanted.
namespace wanted {
inline constexpr std::string_view kString = "a string";
inline constexpr std::string_view kBoolean = "a boolean";
inline constexpr std::string_view kU32 = "u32";
inline constexpr std::string_view kF64 = "f64";
inline constexpr std::string_view kMap = "a map";
inline constexpr std::string_view kSequence = "a sequence";
inline constexpr std::string_view kUnit = "unit";
inline constexpr std::string_view kStringOrMap = "string or map";
inline constexpr std::string_view kSingleKeyMap = "map with a single key";
inline constexpr std::string_view kNewtypeVariant = "newtype variant";
inline constexpr std::string_view kVariantIdentifier = "variant identifier";
inline constexpr std::string_view kFewerElements = "fewer elements in array";
std::string tuple(std::size_t n);                                      // "a tuple of size N"
std::string record(std::string_view name);                             // "struct Name"
std::string record_len(std::string_view name, std::size_t fields);     // "struct Name with N elements"
std::string variant_len(std::string_view name, std::size_t fields);    // "struct variant T::V with N element(s)"
std::string tagged(std::string_view type);                             // "internally tagged enum T"
}  // namespace wanted

std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
std::string unknown_variant(std::string_view given, std::span<const std::string_view> names);
std::string invalid_type(std::string_view found, std::string_view wanted);
std::string invalid_value(std::string_view found, std::string_view wanted);
std::string invalid_length(std::size_t n, std::string_view wanted);
// Warnings: a member no declaration knows (decoding skips it), and an operand naming an
// indicator the strategy does not declare; `close` is a declared name it may be a slip for.
std::string unknown_field(std::string_view given, std::span<const std::string_view> declared,
                          std::optional<std::string_view> close);
std::string undeclared_indicator(std::string_view given, std::optional<std::string_view> close);
// A strategy travels two levels down in a compile request (`{"spec":{"strategy":...}}`), so it
// may nest as deep as the request's reader reads (json::kMaxDepth) less those two.
inline constexpr int kRequestLevelsAboveStrategy = 2;
int strategy_depth();
// The diagnostic for a strategy that nests deeper, and what it is about.
std::string strategy_too_deep();
std::string strategy_too_deep_hint();
inline constexpr std::string_view kUntaggedOperand =
    "data did not match any variant of untagged enum Operand";

}  // namespace orvane::schema
