"""Strategy documents (object form) with the compiler's verdict on each.

``CASES`` holds (id, document, message, where) rows. For a document the
compiler refuses, ``message`` is the decoder's exact message for its first
fault (without the "bad spec: " prefix and without a place) and ``where`` the
path of the member it is about, from the compile spec down
("strategy.sizing.qty"). For a valid document ``message`` is None and
``where`` lists its warnings as (path, message) pairs: members nothing
declares and indicators that ``indicators`` does not declare (BASE declares
the indicator "a" its rules name). Shared by the API tests (exact messages)
and the JSON Schema tests (same verdict as the schema).

``FLOAT_INTEGER_IDS`` names the cases that fail only because an unsigned
32-bit integer field holds a number written with a fraction (5.0): JSON
Schema's "integer" accepts those.
"""

import copy

BASE = {
    "symbol": "BTC/USDT",
    "timeframe": "1h",
    "indicators": {"a": {"type": "ema"}},
    "entry": {"gt": ["a", 1]},
    "exit": {"lt": ["a", 1]},
    "sizing": {"type": "fixed_qty", "qty": 1},
}

OPERAND = "data did not match any variant of untagged enum Operand"
CONDITIONS = (
    "one of `gt`, `lt`, `ge`, `le`, `eq`, `ne`, `cross_above`, `cross_below`, `between`, "
    "`rising`, `falling`, `all`, `any`, `not`, `in_position`, `bars_since_entry`"
)
FEEDS = "one of `kline`, `trade`, `orderbook`, `trade_quote`, `derivatives`, `cross_section`"
SIZINGS = "one of `fixed_fraction`, `fixed_qty`, `fixed_cash`, `vol_target`, `risk_per_trade`"
SLIPPAGES = "one of `fixed_bps`, `spread`, `volume_impact`"
ORDER_TYPES = "one of `market`, `limit`, `stop`, `stop_limit`"
BARS = "one of `gt`, `lt`, `ge`, `le`, `eq`"
SINGLE_KEY = "invalid value: map, expected map with a single key"
STRATEGY_FIELDS = (
    "one of `spec_version`, `symbol`, `ref_symbol`, `timeframe`, `indicators`, `entry`, `exit`, "
    "`short_entry`, `short_exit`, `sizing`, `costs`, `risk`, `execution`, `warmup`"
)


def doc(drop=(), **members):
    """BASE without the keys in ``drop``, with ``members`` set (in that order)."""
    document = {key: copy.deepcopy(value) for key, value in BASE.items() if key not in drop}
    document.update(members)
    return document


def entry(condition):
    return doc(entry=condition)


def operand(value):
    return doc(entry={"gt": ["a", value]})


def indicator(spec):
    return doc(indicators={"a": spec})


TOP_LEVEL = [
    ("minimal", doc(), None, []),
    ("spec-version-0", doc(spec_version=0), None, []),
    ("spec-version-99", doc(spec_version=99), None, []),
    ("spec-version-u32-max", doc(spec_version=4294967295), None, []),
    ("spec-version-float", doc(spec_version=1.0), "invalid type: floating point `1.0`, expected u32",
     "strategy.spec_version"),
    ("spec-version-negative", doc(spec_version=-1), "invalid value: integer `-1`, expected u32",
     "strategy.spec_version"),
    ("spec-version-too-big", doc(spec_version=4294967296),
     "invalid value: integer `4294967296`, expected u32", "strategy.spec_version"),
    ("spec-version-null", doc(spec_version=None), "invalid type: null, expected u32", "strategy.spec_version"),
    ("key-error-before-missing", doc(drop=("symbol", "timeframe"), spec_version="2"),
     'invalid type: string "2", expected u32', "strategy.spec_version"),
    ("missing-symbol-and-timeframe", doc(drop=("symbol", "timeframe")), "missing field `symbol`", "strategy"),
    ("missing-symbol-and-entry", doc(drop=("symbol", "entry")), "missing field `symbol`", "strategy"),
    ("missing-timeframe", doc(drop=("timeframe",)), "missing field `timeframe`", "strategy"),
    ("missing-indicators", doc(drop=("indicators",)), "missing field `indicators`", "strategy"),
    ("missing-entry", doc(drop=("entry",)), "missing field `entry`", "strategy"),
    ("missing-exit", doc(drop=("exit",)), "missing field `exit`", "strategy"),
    ("missing-sizing", doc(drop=("sizing",)), "missing field `sizing`", "strategy"),
    ("empty-object", {}, "missing field `symbol`", "strategy"),
    ("empty-symbol", doc(symbol=""), None, []),
    ("digit-symbol", doc(symbol="1000PEPE"), None, []),
    ("symbol-number", doc(symbol=5), "invalid type: integer `5`, expected a string", "strategy.symbol"),
    ("symbol-null", doc(symbol=None), "invalid type: null, expected a string", "strategy.symbol"),
    ("timeframe-bool", doc(timeframe=True), "invalid type: boolean `true`, expected a string", "strategy.timeframe"),
    ("ref-symbol-null", doc(ref_symbol=None), None, []),
    ("ref-symbol-string", doc(ref_symbol="ETH/USDT"), None, []),
    ("ref-symbol-number", doc(ref_symbol=5), "invalid type: integer `5`, expected a string", "strategy.ref_symbol"),
    ("warmup-null", doc(warmup=None), None, []),
    ("warmup-50", doc(warmup=50), None, []),
    ("warmup-fraction", doc(warmup=1.5), "invalid type: floating point `1.5`, expected u32", "strategy.warmup"),
    ("warmup-whole-float", doc(warmup=1000.0), "invalid type: floating point `1000.0`, expected u32",
     "strategy.warmup"),
    ("warmup-string", doc(warmup="3"), 'invalid type: string "3", expected u32', "strategy.warmup"),
    ("unknown-key-array", doc(extra=[1, [2], {}]), None,
     [("strategy.extra", "unknown field `extra`, expected " + STRATEGY_FIELDS)]),
    ("unknown-key-object", doc(extra={"z": 1, "a": {"y": None}}), None,
     [("strategy.extra", "unknown field `extra`, expected " + STRATEGY_FIELDS)]),
    ("unknown-key-number", doc(extra=-12), None,
     [("strategy.extra", "unknown field `extra`, expected " + STRATEGY_FIELDS)]),
    ("sections-empty", doc(costs={}, risk={}, execution={}), None, []),
    ("costs-null", doc(costs=None), "invalid type: null, expected struct Costs", "strategy.costs"),
    ("risk-null", doc(risk=None), "invalid type: null, expected struct Risk", "strategy.risk"),
    ("execution-null", doc(execution=None), "invalid type: null, expected struct Execution", "strategy.execution"),
    ("first-key-error-wins", doc(costs=None, risk=None), "invalid type: null, expected struct Costs", "strategy.costs"),
    ("short-rules-null", doc(short_entry=None, short_exit=None), None, []),
    ("short-rules-set", doc(short_entry={"lt": ["a", 0]}, short_exit={"gt": ["a", 0]}), None, []),
    ("short-entry-bad", doc(short_entry=[]), "invalid type: sequence, expected string or map", "strategy.short_entry"),
]

INDICATORS = [
    ("indicator-type-only", indicator({"type": "ema"}), None, []),
    ("indicator-full", indicator({"type": "ema", "params": [14, 2.5, -1], "feed": "trade"}), None, []),
    ("indicator-missing-type", indicator({"params": [14]}), "missing field `type`", "strategy.indicators.a"),
    ("indicator-param-string", indicator({"type": "ema", "params": [14, "x"]}),
     'invalid type: string "x", expected f64', "strategy.indicators.a.params[1]"),
    ("indicator-params-null", indicator({"type": "ema", "params": None}),
     "invalid type: null, expected a sequence", "strategy.indicators.a.params"),
    ("indicator-type-number", indicator({"type": 5}), "invalid type: integer `5`, expected a string",
     "strategy.indicators.a.type"),
    ("indicator-string", indicator("ema"), 'invalid type: string "ema", expected struct IndicatorSpec',
     "strategy.indicators.a"),
    ("indicator-positional", indicator(["ema", [14], "kline"]), None, []),
    ("indicator-positional-type-only", indicator(["ema"]), None, []),
    ("indicator-positional-empty", indicator([]),
     "invalid length 0, expected struct IndicatorSpec with 3 elements", "strategy.indicators.a"),
    ("indicator-positional-long", indicator(["ema", [14], "kline", 1]),
     "invalid length 4, expected fewer elements in array", "strategy.indicators.a"),
    ("indicators-array", doc(indicators=[]), "invalid type: sequence, expected a map", "strategy.indicators"),
    ("indicators-null", doc(indicators=None), "invalid type: null, expected a map", "strategy.indicators"),
    ("feed-name", indicator({"type": "ema", "feed": "kline"}), None, []),
    ("feed-map", indicator({"type": "ema", "feed": {"cross_section": None}}), None, []),
    ("feed-null", indicator({"type": "ema", "feed": None}), None, []),
    ("feed-unknown", indicator({"type": "ema", "feed": "candles"}),
     "unknown variant `candles`, expected " + FEEDS, "strategy.indicators.a.feed"),
    ("feed-empty-map", indicator({"type": "ema", "feed": {}}), SINGLE_KEY, "strategy.indicators.a.feed"),
    ("feed-two-keys", indicator({"type": "ema", "feed": {"kline": None, "trade": None}}), SINGLE_KEY,
     "strategy.indicators.a.feed"),
    ("feed-number", indicator({"type": "ema", "feed": 3}),
     "invalid type: integer `3`, expected string or map", "strategy.indicators.a.feed"),
    ("feed-map-value", indicator({"type": "ema", "feed": {"kline": 1}}),
     "invalid type: integer `1`, expected unit", "strategy.indicators.a.feed.kline"),
]

CONDITION_CASES = [
    ("gt", entry({"gt": ["a", 1]}), None, []),
    ("gt-short", entry({"gt": ["a"]}), "invalid length 1, expected a tuple of size 2", "strategy.entry.gt"),
    ("gt-empty", entry({"gt": []}), "invalid length 0, expected a tuple of size 2", "strategy.entry.gt"),
    ("gt-long", entry({"gt": ["a", 1, 2]}), "invalid length 3, expected fewer elements in array", "strategy.entry.gt"),
    ("gt-string", entry({"gt": "a"}), 'invalid type: string "a", expected a tuple of size 2', "strategy.entry.gt"),
    ("cross-above", entry({"cross_above": ["f", "s"]}), None,
     [("strategy.entry.cross_above[0]", "indicator `f` is not declared in `indicators`"),
      ("strategy.entry.cross_above[1]", "indicator `s` is not declared in `indicators`")]),
    ("between", entry({"between": [{"price": "close"}, 100, 200]}), None, []),
    ("between-short", entry({"between": [1, 2]}), "invalid length 2, expected a tuple of size 3",
     "strategy.entry.between"),
    ("rising", entry({"rising": ["rsi", 3]}), None,
     [("strategy.entry.rising[0]", "indicator `rsi` is not declared in `indicators`")]),
    ("rising-fraction", entry({"rising": ["rsi", 2.5]}),
     "invalid type: floating point `2.5`, expected u32", "strategy.entry.rising[1]"),
    ("falling-whole-float", entry({"falling": ["rsi", 3.0]}),
     "invalid type: floating point `3.0`, expected u32", "strategy.entry.falling[1]"),
    ("rising-negative", entry({"rising": ["rsi", -1]}), "invalid value: integer `-1`, expected u32",
     "strategy.entry.rising[1]"),
    ("in-position-bare", entry("in_position"), "invalid type: unit variant, expected newtype variant",
     "strategy.entry"),
    ("in-position-number", entry({"in_position": 1}), "invalid type: integer `1`, expected a boolean",
     "strategy.entry.in_position"),
    ("unknown-keyword", entry({"nope": 1}), "unknown variant `nope`, expected " + CONDITIONS, "strategy.entry.nope"),
    ("unknown-bare", entry("nope"), "unknown variant `nope`, expected " + CONDITIONS, "strategy.entry"),
    ("empty-map", entry({}), SINGLE_KEY, "strategy.entry"),
    ("two-keys", entry({"gt": [1, 2], "lt": [1, 2]}), SINGLE_KEY, "strategy.entry"),
    ("number", entry(5), "invalid type: integer `5`, expected string or map", "strategy.entry"),
    ("null", entry(None), "invalid type: null, expected string or map", "strategy.entry"),
    ("array", entry([{"gt": [1, 2]}]), "invalid type: sequence, expected string or map", "strategy.entry"),
    ("all-empty", entry({"all": []}), None, []),
    ("any-empty", entry({"any": []}), None, []),
    ("all-map", entry({"all": {"gt": [1, 2]}}), "invalid type: map, expected a sequence", "strategy.entry.all"),
    ("all-nested-bad", entry({"all": [{"in_position": False}, {"any": [{"lt": ["a"]}]}]}),
     "invalid length 1, expected a tuple of size 2", "strategy.entry.all[1].any[0].lt"),
    ("not-not", entry({"not": {"not": {"in_position": True}}}), None, []),
    ("not-array", entry({"not": [{"in_position": True}]}), "invalid type: sequence, expected string or map",
     "strategy.entry.not"),
    ("bars-since-entry", entry({"bars_since_entry": {"ge": 10}}), None, []),
    ("bars-ne", entry({"bars_since_entry": {"ne": 10}}), "unknown variant `ne`, expected " + BARS,
     "strategy.entry.bars_since_entry.ne"),
    ("bars-bare", entry({"bars_since_entry": "ge"}), "invalid type: unit variant, expected newtype variant",
     "strategy.entry.bars_since_entry"),
    ("bars-fraction", entry({"bars_since_entry": {"ge": 1.5}}),
     "invalid type: floating point `1.5`, expected u32", "strategy.entry.bars_since_entry.ge"),
    ("bars-whole-float", entry({"bars_since_entry": {"eq": 10.0}}),
     "invalid type: floating point `10.0`, expected u32", "strategy.entry.bars_since_entry.eq"),
    ("bars-negative", entry({"bars_since_entry": {"lt": -1}}), "invalid value: integer `-1`, expected u32",
     "strategy.entry.bars_since_entry.lt"),
    ("bars-empty", entry({"bars_since_entry": {}}), SINGLE_KEY, "strategy.entry.bars_since_entry"),
    ("bars-number", entry({"bars_since_entry": 3}), "invalid type: integer `3`, expected string or map",
     "strategy.entry.bars_since_entry"),
    ("exit-bad", doc(exit={"gt": 1}), "invalid type: integer `1`, expected a tuple of size 2", "strategy.exit.gt"),
]

OPERAND_CASES = [
    ("operand-string", operand("anything"), None,
     [("strategy.entry.gt[1]", "indicator `anything` is not declared in `indicators`")]),
    ("operand-negative", operand(-2.5), None, []),
    ("operand-true", operand(True), OPERAND, "strategy.entry.gt[1]"),
    ("operand-null", operand(None), OPERAND, "strategy.entry.gt[1]"),
    ("operand-array", operand([1]), OPERAND, "strategy.entry.gt[1]"),
    ("operand-empty-map", operand({}), OPERAND, "strategy.entry.gt[1]"),
    ("price", operand({"price": "close"}), None, []),
    ("price-map", operand({"price": {"close": None}}), None, []),
    ("price-hlc3", operand({"price": "hlc3"}), None, []),
    ("price-unknown", operand({"price": "typical"}), OPERAND, "strategy.entry.gt[1]"),
    ("price-map-value", operand({"price": {"close": 1}}), OPERAND, "strategy.entry.gt[1]"),
    ("expr-unknown", operand({"pow": [1, 2]}), OPERAND, "strategy.entry.gt[1]"),
    ("expr-two-keys", operand({"add": [1, 2], "sub": [1, 2]}), OPERAND, "strategy.entry.gt[1]"),
    ("add-short", operand({"add": [1]}), OPERAND, "strategy.entry.gt[1]"),
    ("add-long", operand({"add": [1, 2, 3]}), OPERAND, "strategy.entry.gt[1]"),
    ("prev-negative", operand({"prev": ["a", -1]}), OPERAND, "strategy.entry.gt[1]"),
    ("prev-fraction", operand({"prev": ["a", 1.5]}), OPERAND, "strategy.entry.gt[1]"),
    ("prev-whole-float", operand({"prev": ["a", 2.0]}), OPERAND, "strategy.entry.gt[1]"),
    ("prev-inner-bad", operand({"prev": [True, 1]}), OPERAND, "strategy.entry.gt[1]"),
    ("nested", operand({"prev": [{"add": ["a", {"price": "hlc3"}]}, 2]}), None, []),
    ("deep-arithmetic", operand({"div": ["a", {"mul": [2, {"sub": [1, {"price": "ohlc4"}]}]}]}), None, []),
    ("deep-arithmetic-bad", operand({"div": ["a", {"mul": [2, {"sub": [1, {"price": "x"}]}]}]}), OPERAND,
     "strategy.entry.gt[1]"),
]

SIZING_CASES = [
    ("fixed-fraction", doc(sizing={"type": "fixed_fraction", "fraction": 0.1}), None, []),
    ("fixed-cash", doc(sizing={"type": "fixed_cash", "cash": 1000}), None, []),
    ("risk-per-trade", doc(sizing={"type": "risk_per_trade", "risk_pct": 1}), None, []),
    ("vol-target", doc(sizing={"type": "vol_target", "target_vol": 0.15, "lookback": 20}), None, []),
    ("tag-last-with-unknown", doc(sizing={"fraction": 0.1, "note": [1], "type": "fixed_fraction"}), None,
     [("strategy.sizing.note", "unknown field `note`, expected `fraction`")]),
    ("other-variant-field-ignored", doc(sizing={"type": "fixed_qty", "qty": 1, "fraction": "x"}), None,
     [("strategy.sizing.fraction", "unknown field `fraction`, expected `qty`")]),
    ("missing-tag", doc(sizing={"fraction": 0.1}), "missing field `type`", "strategy.sizing"),
    ("missing-field", doc(sizing={"type": "fixed_fraction"}), "missing field `fraction`", "strategy.sizing"),
    ("vol-target-missing-lookback", doc(sizing={"type": "vol_target", "target_vol": 0.2}),
     "missing field `lookback`", "strategy.sizing"),
    ("unknown-variant", doc(sizing={"type": "x"}), "unknown variant `x`, expected " + SIZINGS, "strategy.sizing.type"),
    ("tag-number", doc(sizing={"type": 1}), "invalid type: integer `1`, expected variant identifier",
     "strategy.sizing.type"),
    ("tag-null", doc(sizing={"type": None}), "invalid type: null, expected variant identifier", "strategy.sizing.type"),
    ("lookback-whole-float", doc(sizing={"type": "vol_target", "target_vol": 0.2, "lookback": 20.0}),
     "invalid type: floating point `20.0`, expected u32", "strategy.sizing.lookback"),
    ("lookback-negative", doc(sizing={"type": "vol_target", "target_vol": 0.2, "lookback": -5}),
     "invalid value: integer `-5`, expected u32", "strategy.sizing.lookback"),
    ("qty-string", doc(sizing={"type": "fixed_qty", "qty": "1"}), 'invalid type: string "1", expected f64',
     "strategy.sizing.qty"),
    ("sizing-null", doc(sizing=None), "invalid type: null, expected internally tagged enum Sizing", "strategy.sizing"),
    ("sizing-string", doc(sizing="fixed_qty"),
     'invalid type: string "fixed_qty", expected internally tagged enum Sizing', "strategy.sizing"),
    ("positional", doc(sizing=["fixed_qty", 3]), None, []),
    ("positional-vol-target", doc(sizing=["vol_target", 0.1, 30]), None, []),
    ("positional-short", doc(sizing=["fixed_qty"]),
     "invalid length 0, expected struct variant Sizing::FixedQty with 1 element", "strategy.sizing"),
    ("positional-vol-target-short", doc(sizing=["vol_target", 0.1]),
     "invalid length 1, expected struct variant Sizing::VolTarget with 2 elements", "strategy.sizing"),
    ("positional-long", doc(sizing=["fixed_qty", 3, 4]), "invalid length 2, expected fewer elements in array",
     "strategy.sizing"),
    ("positional-empty", doc(sizing=[]), "missing field `type`", "strategy.sizing"),
    ("positional-tag-number", doc(sizing=[1]), "invalid type: integer `1`, expected variant identifier",
     "strategy.sizing[0]"),
]

COSTS_CASES = [
    ("costs-values", doc(costs={"maker_bps": 2, "taker_bps": 2.5, "funding": True}), None, []),
    ("costs-negative-fee", doc(costs={"maker_bps": -1}), None, []),
    ("slippage-spread", doc(costs={"slippage": {"type": "spread"}}), None, []),
    # Accepted, but `spread` has no fields: the member it ignores is a warning.
    ("slippage-spread-extra", doc(costs={"slippage": {"type": "spread", "bps": "x"}}), None,
     [("strategy.costs.slippage.bps", "unknown field `bps`, expected `type`")]),
    ("slippage-volume-impact", doc(costs={"slippage": {"type": "volume_impact", "coef": 0.1}}), None, []),
    ("slippage-missing-coef", doc(costs={"slippage": {"type": "volume_impact"}}), "missing field `coef`",
     "strategy.costs.slippage"),
    ("slippage-unknown", doc(costs={"slippage": {"type": "x"}}), "unknown variant `x`, expected " + SLIPPAGES,
     "strategy.costs.slippage.type"),
    ("slippage-null", doc(costs={"slippage": None}),
     "invalid type: null, expected internally tagged enum Slippage", "strategy.costs.slippage"),
    ("slippage-positional", doc(costs={"slippage": ["fixed_bps", 3]}), None, []),
    ("slippage-positional-spread-extra", doc(costs={"slippage": ["spread", 1]}), None, []),
    ("slippage-positional-short", doc(costs={"slippage": ["fixed_bps"]}),
     "invalid length 0, expected struct variant Slippage::FixedBps with 1 element", "strategy.costs.slippage"),
    ("funding-number", doc(costs={"funding": 1}), "invalid type: integer `1`, expected a boolean",
     "strategy.costs.funding"),
    ("maker-string", doc(costs={"maker_bps": "x"}), 'invalid type: string "x", expected f64',
     "strategy.costs.maker_bps"),
    ("costs-positional", doc(costs=[1.0, 2.0]), None, []),
    ("costs-positional-empty", doc(costs=[]), None, []),
    ("costs-positional-long", doc(costs=[1, 2, {"type": "spread"}, False, 5]),
     "invalid length 5, expected fewer elements in array", "strategy.costs"),
    ("costs-string", doc(costs="x"), 'invalid type: string "x", expected struct Costs', "strategy.costs"),
]

RISK_CASES = [
    ("risk-stop-null", doc(risk={"stop_loss_pct": None}), None, []),
    ("risk-all", doc(risk={"stop_loss_pct": 2, "take_profit_pct": 4.5, "trailing_stop_pct": 1,
                           "max_leverage": 3, "max_position_pct": 50, "liquidation": True}), None, []),
    ("risk-liquidation-null", doc(risk={"liquidation": None}), "invalid type: null, expected a boolean",
     "strategy.risk.liquidation"),
    ("risk-take-profit-string", doc(risk={"take_profit_pct": "4"}), 'invalid type: string "4", expected f64',
     "strategy.risk.take_profit_pct"),
    ("risk-positional", doc(risk=[1.0, 2.0, None, None, None, True]), None, []),
    ("risk-positional-long", doc(risk=[None, None, None, None, None, False, 1]),
     "invalid length 7, expected fewer elements in array", "strategy.risk"),
    ("risk-number", doc(risk=1), "invalid type: integer `1`, expected struct Risk", "strategy.risk"),
]

EXECUTION_CASES = [
    ("execution-limit", doc(execution={"order_type": "limit", "limit_offset_pct": 0.1}), None, []),
    ("execution-all", doc(execution={"order_type": "stop_limit", "fill_timing": "close", "limit_offset_pct": 0.1,
                                     "stop_offset_pct": 0.2, "latency_bars": 2, "partial_fills": True,
                                     "max_participation": 0.1}), None, []),
    ("order-type-unknown", doc(execution={"order_type": "x"}), "unknown variant `x`, expected " + ORDER_TYPES,
     "strategy.execution.order_type"),
    ("fill-timing-unknown", doc(execution={"fill_timing": "open"}),
     "unknown variant `open`, expected `next_open` or `close`", "strategy.execution.fill_timing"),
    ("fill-timing-map", doc(execution={"fill_timing": {"close": None}}), None, []),
    ("order-type-empty-map", doc(execution={"order_type": {}}), SINGLE_KEY, "strategy.execution.order_type"),
    ("order-type-number", doc(execution={"order_type": 3}), "invalid type: integer `3`, expected string or map",
     "strategy.execution.order_type"),
    ("order-type-map-value", doc(execution={"order_type": {"limit": 1}}),
     "invalid type: integer `1`, expected unit", "strategy.execution.order_type.limit"),
    ("latency-too-big", doc(execution={"latency_bars": 4294967296}),
     "invalid value: integer `4294967296`, expected u32", "strategy.execution.latency_bars"),
    ("latency-whole-float", doc(execution={"latency_bars": 2.0}),
     "invalid type: floating point `2.0`, expected u32", "strategy.execution.latency_bars"),
    ("partial-fills-string", doc(execution={"partial_fills": "yes"}),
     'invalid type: string "yes", expected a boolean', "strategy.execution.partial_fills"),
    ("execution-positional", doc(execution=["market", "close"]), None, []),
    ("execution-positional-bad", doc(execution=["market", "open"]),
     "unknown variant `open`, expected `next_open` or `close`", "strategy.execution[1]"),
]

CASES = TOP_LEVEL + INDICATORS + CONDITION_CASES + OPERAND_CASES + SIZING_CASES + COSTS_CASES \
    + RISK_CASES + EXECUTION_CASES

FLOAT_INTEGER_IDS = frozenset({
    "spec-version-float",
    "warmup-whole-float",
    "falling-whole-float",
    "bars-whole-float",
    "prev-whole-float",
    "lookback-whole-float",
    "latency-whole-float",
})


def ids(table):
    return [case[0] for case in table]
