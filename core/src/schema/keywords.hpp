#pragma once
// The keywords of conditions, of the bar comparison of `bars_since_entry` and of operand
// expressions, in the order of Condition::Op, BarsCompare::Op and OperandExpr::Op. The
// decoder and the JSON Schema of strategy documents both read them from here.
#include <array>
#include <string_view>

namespace orvane::schema {

inline constexpr std::array<std::string_view, 16> kConditionKeywords{
    "gt", "lt", "ge", "le", "eq", "ne", "cross_above", "cross_below", "between", "rising",
    "falling", "all", "any", "not", "in_position", "bars_since_entry"};
inline constexpr std::array<std::string_view, 5> kBarsKeywords{"gt", "lt", "ge", "le", "eq"};
inline constexpr std::array<std::string_view, 6> kOperandKeywords{"price", "prev", "add",
                                                                  "sub", "mul", "div"};

}  // namespace orvane::schema
