// Conditions and operands: keyword objects with exactly one member, and the untagged operand.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "schema/checked_writer.hpp"
#include "schema/keywords.hpp"
#include "schema/strategy.hpp"

namespace orvane::schema {

namespace {

void append_quoted(std::string& out, std::string_view name) {
  out += '`';
  out += name;
  out += '`';
}

// "`a`, `b` and `c`", or with `last` " or " "`a`, `b` or `c`".
template <class Names>
void append_list(std::string& out, const Names& names, std::string_view last = " and ") {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += i + 1 == names.size() ? last : ", ";
    append_quoted(out, names[i]);
  }
}

void append_guess(std::string& out, std::optional<std::string_view> close) {
  if (!close) return;
  out += "; did you mean ";
  append_quoted(out, *close);
  out += '?';
}

// The advice for an object that holds more than one keyword (or none).
std::string one_keyword_hint(json::Value v, bool conditions) {
  std::vector<std::string_view> keys;
  v.for_each_member([&](std::string_view key, json::Value) {
    keys.push_back(key);
    return true;
  });
  std::string out;
  if (keys.empty()) {
    out = "the object is empty";
  } else {
    out = "found ";
    append_list(out, keys);
  }
  out += conditions ? ": one keyword per condition object; join conditions with `all` or `any`"
                    : ": one keyword per object";
  return out;
}

// What the content of a keyword that takes operands looks like.
std::string_view shape_of(std::size_t n, bool last_is_bars) {
  if (n == 3) return "[operand, low, high]";
  return last_is_bars ? "[operand, bars]" : "[operand, operand]";
}

// "`keyword` takes [operand, bars]".
std::string takes(std::string_view keyword, std::string_view shape) {
  std::string out;
  append_quoted(out, keyword);
  out += " takes ";
  out += shape;
  return out;
}

// The advice for a value that is no operand.
std::string operand_hint(json::Value v) {
  constexpr std::string_view kForms =
      "an operand is a number, an indicator's name, or an object with one of ";
  std::string out;
  if (v.kind() != json::Kind::Object || v.size() != 1) {
    out = kForms;
    append_list(out, kOperandKeywords, " or ");
    out += R"( (such as {"price": "close"}))";
    return out;
  }
  auto m = first_member(v);
  auto idx = index_of(kOperandKeywords, m.key);
  if (!idx) {
    append_quoted(out, m.key);
    out += " is not an operand keyword; ";
    out += kForms;
    append_list(out, kOperandKeywords, " or ");
    append_guess(out, closest_name(m.key, kOperandKeywords));
    return out;
  }
  if (kOperandContents[*idx] == Content::PriceField) {
    const auto& fields = EnumDesc<PriceField>::names;
    out = "`price` takes one of ";
    append_list(out, fields, " or ");
    if (m.value.kind() == json::Kind::String) append_guess(out, closest_name(m.value.as_string(), fields));
    return out;
  }
  return takes(m.key, shape_of(2, kOperandContents[*idx] == Content::OperandAndBars));
}

// A variant written as {"keyword": content}: the keyword's index and the content, into
// `idx` and `content`. Every keyword needs content, so a bare keyword string is a unit
// variant where a newtype variant was wanted.
template <std::size_t N>
std::optional<SchemaError> keyword_member(json::Value v,
                                          const std::array<std::string_view, N>& names,
                                          std::size_t& idx, json::Value& content) {
  auto failed = [](std::uint32_t node, std::string message) {
    return SchemaError{std::move(message), node, Place::End};
  };
  if (v.kind() == json::Kind::String) {
    if (!index_of(names, v.as_string())) return failed(v.index(), unknown_variant(v.as_string(), names));
    return failed(v.index(), invalid_type(found::kUnitVariant, wanted::kNewtypeVariant));
  }
  if (v.kind() != json::Kind::Object) return wrong_kind(v, wanted::kStringOrMap).error();
  if (v.size() != 1) {
    SchemaError e = failed(v.index(), invalid_value(found::kMap, wanted::kSingleKeyMap));
    e.hint = one_keyword_hint(v, static_cast<const void*>(&names) == &kConditionKeywords);
    return e;
  }
  auto m = first_member(v);
  auto found_at = index_of(names, m.key);
  if (!found_at) return failed(m.key_node, unknown_variant(m.key, names));
  idx = *found_at;
  content = m.value;
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
                                   std::uint32_t* bars, Operand* out, std::string_view keyword) {
  if (v.kind() != json::Kind::Array) return wrong_kind(v, wanted::tuple(n));
  std::size_t count = 0;
  Failure err;
  std::size_t i = 0;
  v.for_each_element([&](json::Value e) {
    if (i >= n) return false;
    const bool is_bars = last_is_bars && i == n - 1;
    ++i;
    if (is_bars) {
      auto b = Codec<std::uint32_t>::from_value(e);
      if (!b) return keep_first(err, std::move(b.error()));
      *bars = *b;
      return true;
    }
    if (auto e_err = decode_operand(e, out[count])) return keep_first(err, std::move(*e_err));
    ++count;
    return true;
  });
  if (err && !Diagnosis::active()) return std::unexpected(std::move(*err));
  std::size_t len = v.size();
  const std::string shape = takes(keyword, shape_of(n, last_is_bars));
  if (len < n) keep_first(err, SchemaError{invalid_length(len, wanted::tuple(n)), v.index(), Place::End, false, shape});
  if (len > n) {
    keep_first(err, SchemaError{invalid_length(len, wanted::kFewerElements), v.index(), Place::End, false, shape});
  }
  if (err) return std::unexpected(std::move(*err));
  return count;
}

// The expression form of an operand; false when it does not fit.
bool operand_expr(json::Value v, Operand& out) {
  if (v.kind() != json::Kind::Object || v.size() != 1) return false;
  auto [key_node, key, content] = first_member(v);
  auto idx = index_of(kOperandKeywords, key);
  if (!idx) return false;
  auto expr = std::make_unique<OperandExpr>();
  expr->op = OperandExpr::Op(*idx);
  if (kOperandContents[*idx] == Content::PriceField) {
    auto f = Codec<PriceField>::from_value(content);
    if (!f) return false;
    expr->price = *f;
  } else {
    const bool bars = kOperandContents[*idx] == Content::OperandAndBars;
    auto args = operand_tuple(content, 2, bars, &expr->bars, expr->args.data(), key);
    if (!args) return false;
  }
  out.form = std::move(expr);
  return true;
}

Failure decode_operand(json::Value v, Operand& out) {
  if (v.kind() == json::Kind::String) {
    out.form = IndicatorRef{v.as_string(), v.index()};
  } else if (v.is_number()) {
    out.form = v.as_double();
  } else if (Diagnosis::Pause trying; !operand_expr(v, out)) {
    return SchemaError{std::string(kUntaggedOperand), v.index(), Place::End, false, operand_hint(v)};
  }
  return std::nullopt;
}

Failure decode_condition(json::Value v, Condition& out) {
  std::size_t idx = 0;
  json::Value c;
  if (auto err = keyword_member(v, kConditionKeywords, idx, c)) return err;
  out.op = Condition::Op(idx);
  switch (kConditionContents[idx]) {
    case Content::TwoOperands:
    case Content::ThreeOperands:
    case Content::OperandAndBars: {
      const Content content = kConditionContents[idx];
      auto ops = operand_tuple(c, content == Content::ThreeOperands ? 3 : 2,
                               content == Content::OperandAndBars, &out.bars, out.operands.data(),
                               kConditionKeywords[idx]);
      if (!ops) return std::move(ops.error());
      out.operand_count = std::uint8_t(*ops);
      return std::nullopt;
    }
    case Content::Conditions: {
      if (c.kind() != json::Kind::Array) return wrong_kind(c, wanted::kSequence).error();
      out.children.reserve(c.size());
      Failure err;
      c.for_each_element([&](json::Value e) {
        auto child_err = decode_condition(e, out.children.emplace_back());
        return !child_err || keep_first(err, std::move(*child_err));
      });
      return err;
    }
    case Content::OneCondition:
      return decode_condition(c, out.children.emplace_back());
    case Content::Flag: {
      auto flag = Codec<bool>::from_value(c);
      if (!flag) return std::move(flag.error());
      out.flag = *flag;
      return std::nullopt;
    }
    case Content::BarsCompare: {
      std::size_t op = 0;
      json::Value n;
      if (auto err = keyword_member(c, kBarsKeywords, op, n)) return err;
      auto bars = Codec<std::uint32_t>::from_value(n);
      if (!bars) return std::move(bars.error());
      out.since = BarsCompare{BarsCompare::Op(op), *bars};
      return std::nullopt;
    }
    case Content::PriceField: break;  // an operand's content only
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

namespace {
void refs_of_operand(const Operand& o, const std::function<void(const IndicatorRef&)>& f) {
  if (const auto* ref = std::get_if<IndicatorRef>(&o.form)) return f(*ref);
  if (const auto* expr = std::get_if<std::unique_ptr<OperandExpr>>(&o.form)) {
    const OperandExpr& e = **expr;
    if (e.op == OperandExpr::Op::Price) return;
    refs_of_operand(e.args[0], f);
    if (e.op != OperandExpr::Op::Prev) refs_of_operand(e.args[1], f);
  }
}
void refs_of_condition(const Condition& c, const std::function<void(const IndicatorRef&)>& f) {
  for (std::size_t i = 0; i < c.operand_count; ++i) refs_of_operand(c.operands[i], f);
  for (const Condition& child : c.children) refs_of_condition(child, f);
}
}  // namespace

void for_each_indicator_ref(const StrategySpec& spec, const std::function<void(const IndicatorRef&)>& f) {
  refs_of_condition(spec.entry, f);
  refs_of_condition(spec.exit, f);
  if (spec.short_entry) refs_of_condition(*spec.short_entry, f);
  if (spec.short_exit) refs_of_condition(*spec.short_exit, f);
}

Decoded<StrategySpec> decode_strategy_spec(json::Value strategy) {
  return Codec<StrategySpec>::from_value(strategy);
}

// ---- checked writing (checked_writer.hpp): the verdicts of decode_operand and
// decode_condition, each value written as it is checked ----

template <>
struct Checked<Operand> {
  static bool put(CanonicalWriter& w, json::Value v);
};
template <>
struct Checked<Condition> {
  static bool put(CanonicalWriter& w, json::Value v);
};

namespace {

// The keyword of a one-member object {"keyword": content} (keyword_member's verdict), with the
// member in `m`.
template <const auto& kNames>
std::optional<std::size_t> checked_keyword(json::Value v, FirstMember& m) {
  if (v.kind() != json::Kind::Object || v.size() != 1) return std::nullopt;
  m = checked::only_member(v);
  return checked::find_name<kNames>(m.key);
}

void open_keyword(CanonicalWriter& w, std::string_view key) {
  w.put('{');
  w.put_key(key);
  w.put(':');
}

// operand_tuple's verdict: exactly `n` operands, or `n - 1` and a bar count.
bool checked_tuple(CanonicalWriter& w, json::Value v, std::size_t n, bool last_is_bars) {
  if (v.kind() != json::Kind::Array || v.size() != n) return false;
  bool ok = true;
  std::size_t i = 0;
  w.put('[');
  v.for_each_element([&](json::Value e) {
    if (i) w.put(',');
    const bool is_bars = last_is_bars && i == n - 1;
    ++i;
    return ok = is_bars ? Checked<std::uint32_t>::put(w, e) : Checked<Operand>::put(w, e);
  });
  w.put(']');
  return ok;
}

}  // namespace

bool Checked<Operand>::put(CanonicalWriter& w, json::Value v) {
  if (v.kind() == json::Kind::String || v.is_number()) {
    // A string is an indicator's name (for_each_indicator_ref's IndicatorRef).
    if (w.notes && v.kind() == json::Kind::String) w.notes->name(v.as_string());
    checked::put_as_is(w, v);
    return true;
  }
  FirstMember m;
  auto idx = checked_keyword<kOperandKeywords>(v, m);
  if (!idx) return false;
  open_keyword(w, m.key);
  const Content content = kOperandContents[*idx];
  const bool ok = content == Content::PriceField
                      ? Checked<PriceField>::put(w, m.value)
                      : checked_tuple(w, m.value, 2, content == Content::OperandAndBars);
  w.put('}');
  return ok;
}

bool Checked<Condition>::put(CanonicalWriter& w, json::Value v) {
  FirstMember m;
  auto idx = checked_keyword<kConditionKeywords>(v, m);
  if (!idx) return false;
  open_keyword(w, m.key);
  bool ok = false;
  switch (kConditionContents[*idx]) {
    case Content::TwoOperands:
      ok = checked_tuple(w, m.value, 2, false);
      break;
    case Content::ThreeOperands:
      ok = checked_tuple(w, m.value, 3, false);
      break;
    case Content::OperandAndBars:
      ok = checked_tuple(w, m.value, 2, true);
      break;
    case Content::Conditions:
      ok = Checked<std::vector<Condition>>::put(w, m.value);
      break;
    case Content::OneCondition:
      ok = Checked<Condition>::put(w, m.value);
      break;
    case Content::Flag:
      ok = Checked<bool>::put(w, m.value);
      break;
    case Content::BarsCompare: {
      FirstMember bars;
      if (!checked_keyword<kBarsKeywords>(m.value, bars)) return false;
      open_keyword(w, bars.key);
      ok = Checked<std::uint32_t>::put(w, bars.value);
      w.put('}');
      break;
    }
    case Content::PriceField:  // an operand's content only
      checked::put_as_is(w, m.value);
      ok = true;
      break;
  }
  w.put('}');
  return ok;
}

bool write_checked_strategy(json::Value strategy, std::string& out, CheckNotes* notes) {
  if (notes) {
    // The declared indicators, where the decoder takes them from (object or positional form).
    constexpr std::size_t kAt = [] {
      const auto& keys = checked::kFieldKeys<StrategySpec>;
      std::size_t i = 0;
      while (i < keys.size() && keys[i] != "indicators") ++i;
      return i;
    }();
    if (strategy.kind() == json::Kind::Object) {
      notes->names = strategy.find("indicators");
    } else if (strategy.kind() == json::Kind::Array) {
      std::size_t i = 0;
      strategy.for_each_element([&](json::Value e) {
        if (i++ == kAt) notes->names = e;
        return i <= kAt;
      });
    }
  }
  CanonicalWriter w(out, strategy.document(), notes);
  return Checked<StrategySpec>::put(w, strategy);
}

}  // namespace orvane::schema
