// Conditions and operands: keyword objects with exactly one member, and the untagged operand.
#include <array>

#include "schema/keywords.hpp"
#include "schema/strategy.hpp"

namespace orvane::schema {

namespace {

template <std::size_t N>
std::optional<std::size_t> keyword_index(const std::array<std::string_view, N>& names,
                                         std::string_view k) {
  for (std::size_t i = 0; i < N; ++i) {
    if (same_name(names[i], k)) return i;
  }
  return std::nullopt;
}

// A variant written as {"keyword": content}: the keyword's index and the content, into
// `idx` and `content`. Every keyword needs content, so a bare keyword string is a unit
// variant where a newtype variant was wanted.
template <std::size_t N>
std::optional<SchemaError> keyword_member(json::Value v,
                                          const std::array<std::string_view, N>& names,
                                          std::size_t& idx, json::Value& content) {
  auto failed = [](std::string message) { return SchemaError{std::move(message), std::nullopt}; };
  if (v.kind() == json::Kind::String) {
    if (!keyword_index(names, v.as_string())) return failed(unknown_variant(v.as_string(), names));
    return failed(invalid_type(found::kUnitVariant, wanted::kNewtypeVariant));
  }
  if (v.kind() != json::Kind::Object)
    return failed(invalid_type(found::of(v), wanted::kStringOrMap));
  if (v.size() != 1) return failed(invalid_value(found::kMap, wanted::kSingleKeyMap));
  auto [key, value] = first_member(v);
  auto found_at = keyword_index(names, key);
  if (!found_at) return failed(unknown_variant(key, names));
  idx = *found_at;
  content = value;
  return std::nullopt;
}

// Conditions and operands are decoded into place: a tree of them is checked without moving
// its nodes from one result to the next.
using Failure = std::optional<SchemaError>;
Failure decode_operand(json::Value v, Operand& out);
Failure decode_condition(json::Value v, Condition& out);

// The operand list of a comparison: exactly `n` operands, or `n - 1` and a bar count, into
// `out` (room for three).
Decoded<std::size_t> operand_tuple(json::Value v, std::size_t n, bool last_is_bars,
                                   std::uint32_t* bars, Operand* out) {
  if (v.kind() != json::Kind::Array) return fail(invalid_type(found::of(v), wanted::tuple(n)));
  std::size_t count = 0;
  Failure err;
  std::size_t i = 0;
  v.for_each_element([&](json::Value e) {
    if (i >= n) return false;
    if (last_is_bars && i == n - 1) {
      auto b = Codec<std::uint32_t>::from_value(e);
      if (!b) return err = std::move(b.error()), false;
      *bars = *b;
    } else {
      if ((err = decode_operand(e, out[count]))) return false;
      ++count;
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

// The expression form of an operand; false when it does not fit.
bool operand_expr(json::Value v, Operand& out) {
  if (v.kind() != json::Kind::Object || v.size() != 1) return false;
  auto [key, content] = first_member(v);
  auto idx = keyword_index(kOperandKeywords, key);
  if (!idx) return false;
  auto expr = std::make_unique<OperandExpr>();
  expr->op = OperandExpr::Op(*idx);
  if (expr->op == OperandExpr::Op::Price) {
    auto f = Codec<PriceField>::from_value(content);
    if (!f) return false;
    expr->price = *f;
  } else {
    bool prev = expr->op == OperandExpr::Op::Prev;
    auto args = operand_tuple(content, 2, prev, &expr->bars, expr->args.data());
    if (!args) return false;
  }
  out.form = std::move(expr);
  return true;
}

Failure decode_operand(json::Value v, Operand& out) {
  if (v.kind() == json::Kind::String) {
    out.form = v.as_string();
  } else if (v.is_number()) {
    out.form = v.as_double();
  } else if (!operand_expr(v, out)) {
    return SchemaError{std::string(kUntaggedOperand), std::nullopt};
  }
  return std::nullopt;
}

Failure decode_condition(json::Value v, Condition& out) {
  std::size_t idx = 0;
  json::Value c;
  if (auto err = keyword_member(v, kConditionKeywords, idx, c)) return err;
  using Op = Condition::Op;
  out.op = Op(idx);
  switch (out.op) {
    case Op::Between:
    case Op::Rising:
    case Op::Falling:
    case Op::Gt:
    case Op::Lt:
    case Op::Ge:
    case Op::Le:
    case Op::Eq:
    case Op::Ne:
    case Op::CrossAbove:
    case Op::CrossBelow: {
      bool bars = out.op == Op::Rising || out.op == Op::Falling;
      auto ops =
          operand_tuple(c, out.op == Op::Between ? 3 : 2, bars, &out.bars, out.operands.data());
      if (!ops) return std::move(ops.error());
      out.operand_count = std::uint8_t(*ops);
      return std::nullopt;
    }
    case Op::All:
    case Op::Any: {
      if (c.kind() != json::Kind::Array) {
        return SchemaError{invalid_type(found::of(c), wanted::kSequence), std::nullopt};
      }
      out.children.reserve(c.size());
      Failure err;
      c.for_each_element([&](json::Value e) {
        err = decode_condition(e, out.children.emplace_back());
        return !err;
      });
      return err;
    }
    case Op::Not:
      return decode_condition(c, out.children.emplace_back());
    case Op::InPosition: {
      auto flag = Codec<bool>::from_value(c);
      if (!flag) return std::move(flag.error());
      out.flag = *flag;
      return std::nullopt;
    }
    case Op::BarsSinceEntry: {
      std::size_t op = 0;
      json::Value n;
      if (auto err = keyword_member(c, kBarsKeywords, op, n)) return err;
      auto bars = Codec<std::uint32_t>::from_value(n);
      if (!bars) return std::move(bars.error());
      out.since = BarsCompare{BarsCompare::Op(op), *bars};
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

Decoded<Operand> Codec<Operand>::from_value(json::Value v) {
  Operand out;
  if (auto err = decode_operand(v, out)) return std::unexpected(std::move(*err));
  return out;
}

Decoded<Condition> Codec<Condition>::from_value(json::Value v) {
  Condition out{};
  if (auto err = decode_condition(v, out)) return std::unexpected(std::move(*err));
  return out;
}

Decoded<StrategySpec> decode_strategy_spec(json::Value strategy) {
  return Codec<StrategySpec>::from_value(strategy);
}

}  // namespace orvane::schema
