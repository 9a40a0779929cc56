#pragma once
// The keywords of conditions, of the bar comparison of `bars_since_entry` and of operand
// expressions, in the order of Condition::Op, BarsCompare::Op and OperandExpr::Op, and what
// follows each. The decoder and the JSON Schema of strategy documents both read them from here.
#include <array>
#include <cstdint>
#include <string_view>

namespace orvane::schema {

inline constexpr std::array<std::string_view, 16> kConditionKeywords{
    "gt", "lt", "ge", "le", "eq", "ne", "cross_above", "cross_below", "between", "rising",
    "falling", "all", "any", "not", "in_position", "bars_since_entry"};
inline constexpr std::array<std::string_view, 5> kBarsKeywords{"gt", "lt", "ge", "le", "eq"};
inline constexpr std::array<std::string_view, 6> kOperandKeywords{"price", "prev", "add",
                                                                  "sub", "mul", "div"};

// What follows a keyword.
enum class Content : std::uint8_t {
  TwoOperands,     // [a, b]
  ThreeOperands,   // [x, low, high]
  OperandAndBars,  // [a, bars]
  Conditions,      // [condition, ...]
  OneCondition,    // condition
  Flag,            // true or false
  BarsCompare,     // {"gt": bars}, a keyword of kBarsKeywords
  PriceField,      // "close", a name of PriceField
};

inline constexpr std::array<Content, kConditionKeywords.size()> kConditionContents{
    Content::TwoOperands,    Content::TwoOperands,    Content::TwoOperands, Content::TwoOperands,
    Content::TwoOperands,    Content::TwoOperands,    Content::TwoOperands, Content::TwoOperands,
    Content::ThreeOperands,  Content::OperandAndBars, Content::OperandAndBars, Content::Conditions,
    Content::Conditions,     Content::OneCondition,   Content::Flag,        Content::BarsCompare};
inline constexpr std::array<Content, kOperandKeywords.size()> kOperandContents{
    Content::PriceField,  Content::OperandAndBars, Content::TwoOperands,
    Content::TwoOperands, Content::TwoOperands,    Content::TwoOperands};

}  // namespace orvane::schema
