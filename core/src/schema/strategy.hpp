#pragma once
// The strategy document's typed schema. Decoding it only checks the document: the document
// itself travels on unchanged as a JSON value.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "schema/decode.hpp"

namespace orvane::schema {

// Texts in the typed record are views of the document it was decoded from, which outlives it.

// ---- operands and conditions ----

enum class PriceField { Open, High, Low, Close, Volume, Hlc3, Ohlc4 };

struct OperandExpr;
// An indicator named by an operand, and where the name is in the document.
struct IndicatorRef {
  std::string_view name;
  std::uint32_t node = 0;
};
struct Operand {
  // An indicator name, a constant, or an expression.
  std::variant<IndicatorRef, double, std::unique_ptr<OperandExpr>> form;
};
struct OperandExpr {
  enum class Op { Price, Prev, Add, Sub, Mul, Div } op;
  PriceField price = PriceField::Close;  // Price
  std::uint32_t bars = 0;                // Prev
  std::array<Operand, 2> args;           // Prev: 1, arithmetic: 2
};

struct BarsCompare {
  enum class Op { Gt, Lt, Ge, Le, Eq } op;
  std::uint32_t bars;
};

struct Condition {
  enum class Op {
    Gt, Lt, Ge, Le, Eq, Ne, CrossAbove, CrossBelow, Between, Rising, Falling,
    All, Any, Not, InPosition, BarsSinceEntry
  } op;
  std::array<Operand, 3> operands;  // comparisons, between, rising/falling
  std::uint8_t operand_count = 0;
  std::uint32_t bars = 0;           // rising/falling
  std::vector<Condition> children;  // all/any/not
  bool flag = false;                // in_position
  BarsCompare since{};              // bars_since_entry
};

template <>
struct Codec<Operand> {
  static Decoded<Operand> from_value(json::Value v);
};
template <>
struct Codec<Condition> {
  static Decoded<Condition> from_value(json::Value v);
};

// ---- sizing, costs, risk, execution ----

struct FixedFraction { double fraction = 0; };
struct FixedQty { double qty = 0; };
struct FixedCash { double cash = 0; };
struct VolTarget { double target_vol = 0; std::uint32_t lookback = 0; };
struct RiskPerTrade { double risk_pct = 0; };
struct Sizing {
  std::variant<FixedFraction, FixedQty, FixedCash, VolTarget, RiskPerTrade> v;
};

struct FixedBps { double bps = 0; };
struct Spread {};
struct VolumeImpact { double coef = 0; };
struct Slippage {
  std::variant<FixedBps, Spread, VolumeImpact> v;
};

struct Costs {
  double maker_bps = 0.0;
  double taker_bps = 0.0;
  Slippage slippage{FixedBps{0.0}};
  bool funding = false;
};

struct Risk {
  std::optional<double> stop_loss_pct, take_profit_pct, trailing_stop_pct, max_leverage,
      max_position_pct;
  bool liquidation = false;
};

enum class OrderType { Market, Limit, Stop, StopLimit };
enum class FillTiming { NextOpen, Close };

struct Execution {
  OrderType order_type = OrderType::Market;
  FillTiming fill_timing = FillTiming::NextOpen;
  std::optional<double> limit_offset_pct, stop_offset_pct;
  std::uint32_t latency_bars = 0;
  bool partial_fills = false;
  std::optional<double> max_participation;
};

// ---- the document ----

enum class Feed { Kline, Trade, Orderbook, TradeQuote, Derivatives, CrossSection };

struct IndicatorSpec {
  std::string_view type;
  std::vector<double> params;
  std::optional<Feed> feed;
};

struct StrategySpec {
  std::uint32_t spec_version = 1;
  std::string_view symbol;
  std::optional<std::string_view> ref_symbol;
  std::string_view timeframe;
  Named<IndicatorSpec> indicators;
  Condition entry{};
  Condition exit{};
  std::optional<Condition> short_entry, short_exit;
  Sizing sizing{};
  Costs costs{};
  Risk risk{};
  Execution execution{};
  std::optional<std::uint32_t> warmup;
};

Decoded<StrategySpec> decode_strategy_spec(json::Value strategy);

// The named fast path of checking a strategy and writing its canonical text: one walk of the
// tape that builds nothing (schema/checked_writer.hpp). True when decode_strategy_spec accepts
// the strategy, whose canonical text (json::canonical_json's) is then appended to `out`; false
// when it refuses it, which it alone words, and `out` then holds an unfinished text. With
// `notes`, an accepted strategy's notes say whether the diagnosis would warn of anything in it
// (CheckNotes: an unknown member, an operand naming an undeclared indicator).
bool write_checked_strategy(json::Value strategy, std::string& out, CheckNotes* notes = nullptr);

// Calls `f(ref)` for every indicator an operand of the strategy's conditions names.
void for_each_indicator_ref(const StrategySpec& spec, const std::function<void(const IndicatorRef&)>& f);

// ---- declarations ----

using P = Presence;

template <> struct EnumDesc<PriceField> {
  static constexpr std::string_view name = "PriceField";
  static constexpr std::string_view description = "A price field";
  static constexpr std::array<std::string_view, 7> names{"open", "high", "low", "close",
                                                          "volume", "hlc3", "ohlc4"};
};
template <> struct EnumDesc<Feed> {
  static constexpr std::string_view name = "Feed";
  static constexpr std::string_view description = "The data feed";
  static constexpr std::array<std::string_view, 6> names{
      "kline", "trade", "orderbook", "trade_quote", "derivatives", "cross_section"};
};
template <> struct EnumDesc<OrderType> {
  static constexpr std::string_view name = "OrderType";
  static constexpr std::string_view description = "The order type";
  static constexpr std::array<std::string_view, 4> names{"market", "limit", "stop", "stop_limit"};
};
template <> struct EnumDesc<FillTiming> {
  static constexpr std::string_view name = "FillTiming";
  static constexpr std::string_view description = "When orders fill";
  static constexpr std::array<std::string_view, 2> names{"next_open", "close"};
};
template <> struct Codec<PriceField> : EnumCodec<PriceField> {};
template <> struct Codec<Feed> : EnumCodec<Feed> {};
template <> struct Codec<OrderType> : EnumCodec<OrderType> {};
template <> struct Codec<FillTiming> : EnumCodec<FillTiming> {};

template <> struct RecordDesc<FixedFraction> {
  static constexpr std::string_view name = "Sizing::FixedFraction";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("fraction", &FixedFraction::fraction)};
};
template <> struct RecordDesc<FixedQty> {
  static constexpr std::string_view name = "Sizing::FixedQty";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("qty", &FixedQty::qty)};
};
template <> struct RecordDesc<FixedCash> {
  static constexpr std::string_view name = "Sizing::FixedCash";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("cash", &FixedCash::cash)};
};
template <> struct RecordDesc<VolTarget> {
  static constexpr std::string_view name = "Sizing::VolTarget";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("target_vol", &VolTarget::target_vol),
                                            field("lookback", &VolTarget::lookback)};
};
template <> struct RecordDesc<RiskPerTrade> {
  static constexpr std::string_view name = "Sizing::RiskPerTrade";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("risk_pct", &RiskPerTrade::risk_pct)};
};
template <> struct TaggedDesc<Sizing> {
  static constexpr std::string_view name = "Sizing";
  static constexpr std::string_view description = "Position sizing";
  static constexpr std::string_view tag = "type";
  static constexpr std::array<std::string_view, 5> names{"fixed_fraction", "fixed_qty",
                                                          "fixed_cash", "vol_target",
                                                          "risk_per_trade"};
  using Variant = decltype(Sizing::v);
};
template <> struct Codec<Sizing> : TaggedCodec<Sizing> {};

template <> struct RecordDesc<FixedBps> {
  static constexpr std::string_view name = "Slippage::FixedBps";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("bps", &FixedBps::bps)};
};
template <> struct RecordDesc<VolumeImpact> {
  static constexpr std::string_view name = "Slippage::VolumeImpact";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("coef", &VolumeImpact::coef)};
};
template <> struct TaggedDesc<Slippage> {
  static constexpr std::string_view name = "Slippage";
  static constexpr std::string_view description = "The slippage model";
  static constexpr std::string_view tag = "type";
  static constexpr std::array<std::string_view, 3> names{"fixed_bps", "spread", "volume_impact"};
  using Variant = decltype(Slippage::v);
};
template <> struct Codec<Slippage> : TaggedCodec<Slippage> {};

template <> struct RecordDesc<Costs> {
  static constexpr std::string_view name = "Costs";
  static constexpr std::string_view description = "Trading costs";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("maker_bps", &Costs::maker_bps, P::Default),
      field("taker_bps", &Costs::taker_bps, P::Default),
      field("slippage", &Costs::slippage, P::Default),
      field("funding", &Costs::funding, P::Default)};
};
template <> struct Codec<Costs> : RecordCodec<Costs> {};

template <> struct RecordDesc<Risk> {
  static constexpr std::string_view name = "Risk";
  static constexpr std::string_view description = "Risk limits";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("stop_loss_pct", &Risk::stop_loss_pct, P::Optional),
      field("take_profit_pct", &Risk::take_profit_pct, P::Optional),
      field("trailing_stop_pct", &Risk::trailing_stop_pct, P::Optional),
      field("max_leverage", &Risk::max_leverage, P::Optional),
      field("max_position_pct", &Risk::max_position_pct, P::Optional),
      field("liquidation", &Risk::liquidation, P::Default)};
};
template <> struct Codec<Risk> : RecordCodec<Risk> {};

template <> struct RecordDesc<Execution> {
  static constexpr std::string_view name = "Execution";
  static constexpr std::string_view description = "Execution rules";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("order_type", &Execution::order_type, P::Default),
      field("fill_timing", &Execution::fill_timing, P::Default),
      field("limit_offset_pct", &Execution::limit_offset_pct, P::Optional),
      field("stop_offset_pct", &Execution::stop_offset_pct, P::Optional),
      field("latency_bars", &Execution::latency_bars, P::Default),
      field("partial_fills", &Execution::partial_fills, P::Default),
      field("max_participation", &Execution::max_participation, P::Optional)};
};
template <> struct Codec<Execution> : RecordCodec<Execution> {};

template <> struct RecordDesc<IndicatorSpec> {
  static constexpr std::string_view name = "IndicatorSpec";
  static constexpr std::string_view description = "An indicator";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{field("type", &IndicatorSpec::type),
                                            field("params", &IndicatorSpec::params, P::Default),
                                            field("feed", &IndicatorSpec::feed, P::Optional)};
};
template <> struct Codec<IndicatorSpec> : RecordCodec<IndicatorSpec> {};

template <> struct RecordDesc<StrategySpec> {
  static constexpr std::string_view name = "StrategySpec";
  static constexpr std::string_view description = "A trading-strategy document";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("spec_version", &StrategySpec::spec_version, P::Default),
      field("symbol", &StrategySpec::symbol),
      field("ref_symbol", &StrategySpec::ref_symbol, P::Optional),
      field("timeframe", &StrategySpec::timeframe),
      field("indicators", &StrategySpec::indicators),
      field("entry", &StrategySpec::entry),
      field("exit", &StrategySpec::exit),
      field("short_entry", &StrategySpec::short_entry, P::Optional),
      field("short_exit", &StrategySpec::short_exit, P::Optional),
      field("sizing", &StrategySpec::sizing),
      field("costs", &StrategySpec::costs, P::Default),
      field("risk", &StrategySpec::risk, P::Default),
      field("execution", &StrategySpec::execution, P::Default),
      field("warmup", &StrategySpec::warmup, P::Optional)};
};
template <> struct Codec<StrategySpec> : RecordCodec<StrategySpec> {};

}  // namespace orvane::schema
