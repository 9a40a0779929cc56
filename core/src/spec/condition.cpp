// Conditions and operands: keyword objects with exactly one member, and the untagged operand.
#include <array>

#include "spec/strategy.hpp"

namespace orvane::spec {

namespace {

constexpr std::array<std::string_view, 16> kConditionKeywords{
    "gt", "lt", "ge", "le", "eq", "ne", "cross_above", "cross_below", "between", "rising",
    "falling", "all", "any", "not", "in_position", "bars_since_entry"};
constexpr std::array<std::string_view, 5> kBarsKeywords{"gt", "lt", "ge", "le", "eq"};
constexpr std::array<std::string_view, 6> kOperandKeywords{"price", "prev", "add",
                                                           "sub", "mul", "div"};

template <std::size_t N>
std::optional<std::size_t> keyword_index(const std::array<std::string_view, N>& names,
                                         std::string_view k) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == k) return i;
  }
  return std::nullopt;
}

// A variant written as {"keyword": content}; every keyword needs content, so a bare keyword
// string is a unit variant where a newtype variant was wanted.
template <class T, std::size_t N, class Content>
Decoded<T> keyword_variant(json::Value v, const std::array<std::string_view, N>& names,
                           Content&& content) {
  if (v.kind() == json::Kind::String) {
    if (!keyword_index(names, v.as_string())) return fail(unknown_variant(v.as_string(), names));
    return fail(invalid_type(found::kUnitVariant, wanted::kNewtypeVariant));
  }
  if (v.kind() != json::Kind::Object) return fail(invalid_type(found::of(v), wanted::kStringOrMap));
  if (v.size() != 1) return fail(invalid_value(found::kMap, wanted::kSingleKeyMap));
  auto [key, value] = first_member(v);
  auto idx = keyword_index(names, key);
  if (!idx) return fail(unknown_variant(key, names));
  return content(*idx, value);
}

// The operand list of a comparison: exactly `n` operands, or `n - 1` and a bar count, into
// `out` (room for three).
Decoded<std::size_t> operand_tuple(json::Value v, std::size_t n, bool last_is_bars,
                                   std::uint32_t* bars, Operand* out) {
  if (v.kind() != json::Kind::Array) return fail(invalid_type(found::of(v), wanted::tuple(n)));
  std::size_t count = 0;
  std::optional<SchemaError> err;
  std::size_t i = 0;
  v.for_each_element([&](json::Value e) {
    if (i >= n) return false;
    if (last_is_bars && i == n - 1) {
      auto b = Codec<std::uint32_t>::from_value(e);
      if (!b) return err = std::move(b.error()), false;
      *bars = *b;
    } else {
      auto o = Codec<Operand>::from_value(e);
      if (!o) return err = std::move(o.error()), false;
      out[count++] = std::move(*o);
    }
    ++i;
    return true;
  });
  if (err) return std::unexpected(std::move(*err));
  std::size_t len = v.size();
  if (len < n) return fail(invalid_length(len, wanted::tuple(n)));
  if (len > n) return fail(invalid_length(len, wanted::kFewerElements));
  return count;
}

// The expression form of an operand; nullopt when it does not fit.
std::optional<Operand> operand_expr(json::Value v) {
  if (v.kind() != json::Kind::Object || v.size() != 1) return std::nullopt;
  auto [key, content] = first_member(v);
  auto idx = keyword_index(kOperandKeywords, key);
  if (!idx) return std::nullopt;
  auto expr = std::make_unique<OperandExpr>();
  expr->op = OperandExpr::Op(*idx);
  if (expr->op == OperandExpr::Op::Price) {
    auto f = Codec<PriceField>::from_value(content);
    if (!f) return std::nullopt;
    expr->price = *f;
  } else {
    bool prev = expr->op == OperandExpr::Op::Prev;
    auto args = operand_tuple(content, 2, prev, &expr->bars, expr->args.data());
    if (!args) return std::nullopt;
  }
  return Operand{std::move(expr)};
}

}  // namespace

Decoded<Operand> Codec<Operand>::from_value(json::Value v) {
  if (v.kind() == json::Kind::String) return Operand{v.as_string()};
  if (v.is_number()) return Operand{v.as_double()};
  if (auto expr = operand_expr(v)) return std::move(*expr);
  return fail(std::string(kUntaggedOperand));
}

Decoded<Condition> Codec<Condition>::from_value(json::Value v) {
  return keyword_variant<Condition>(v, kConditionKeywords, [](std::size_t idx, json::Value c)
                                                               -> Decoded<Condition> {
    using Op = Condition::Op;
    Condition out{};
    out.op = Op(idx);
    switch (out.op) {
      case Op::Between:
      case Op::Rising:
      case Op::Falling:
      case Op::Gt: case Op::Lt: case Op::Ge: case Op::Le: case Op::Eq: case Op::Ne:
      case Op::CrossAbove: case Op::CrossBelow: {
        bool bars = out.op == Op::Rising || out.op == Op::Falling;
        auto ops = operand_tuple(c, out.op == Op::Between ? 3 : 2, bars, &out.bars,
                                 out.operands.data());
        if (!ops) return std::unexpected(std::move(ops.error()));
        out.operand_count = std::uint8_t(*ops);
        return out;
      }
      case Op::All:
      case Op::Any: {
        auto children = Codec<std::vector<Condition>>::from_value(c);
        if (!children) return std::unexpected(std::move(children.error()));
        out.children = std::move(*children);
        return out;
      }
      case Op::Not: {
        auto child = Codec<Condition>::from_value(c);
        if (!child) return std::unexpected(std::move(child.error()));
        out.children.push_back(std::move(*child));
        return out;
      }
      case Op::InPosition: {
        auto flag = Codec<bool>::from_value(c);
        if (!flag) return std::unexpected(std::move(flag.error()));
        out.flag = *flag;
        return out;
      }
      case Op::BarsSinceEntry: {
        auto since = keyword_variant<BarsCompare>(
            c, kBarsKeywords, [](std::size_t op, json::Value n) -> Decoded<BarsCompare> {
              auto bars = Codec<std::uint32_t>::from_value(n);
              if (!bars) return std::unexpected(std::move(bars.error()));
              return BarsCompare{BarsCompare::Op(op), *bars};
            });
        if (!since) return std::unexpected(std::move(since.error()));
        out.since = *since;
        return out;
      }
    }
    return out;
  });
}

Decoded<StrategySpec> decode_strategy_spec(json::Value strategy) {
  return Codec<StrategySpec>::from_value(strategy);
}

}  // namespace orvane::spec
