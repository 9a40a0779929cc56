"""Strategy documents checked against the strategy schema.

Each case is one strategy text sent in a dry-run compile. A valid one must
answer the whole dry-run response that the request model predicts; an invalid
one must answer the bad-spec error with the decoder's exact message (strategy
messages carry no position, since the strategy is decoded from a parsed
value).
"""

import pytest

from _requests import STRATEGY_ERROR, compile_request, error_response, expected_dry_run, strategy

VALID = None
OPERAND = "data did not match any variant of untagged enum Operand"
CONDITIONS = (
    "one of `gt`, `lt`, `ge`, `le`, `eq`, `ne`, `cross_above`, `cross_below`, `between`, "
    "`rising`, `falling`, `all`, `any`, `not`, `in_position`, `bars_since_entry`"
)
FEEDS = "one of `kline`, `trade`, `orderbook`, `trade_quote`, `derivatives`, `cross_section`"
SIZINGS = "one of `fixed_fraction`, `fixed_qty`, `fixed_cash`, `vol_target`, `risk_per_trade`"
SLIPPAGES = "one of `fixed_bps`, `spread`, `volume_impact`"
ORDER_TYPES = "one of `market`, `limit`, `stop`, `stop_limit`"
FILL_TIMINGS = "`next_open` or `close`"
BARS = "one of `gt`, `lt`, `ge`, `le`, `eq`"

GT = '{"gt":["a",1]}'
LT = '{"lt":["a",1]}'
SIZING = '{"type":"fixed_qty","qty":1}'


def check(compiler, strategy_text, message):
    """Dry-run ``strategy_text`` (with a fixed crate name) and compare the answer."""
    request = compile_request(strategy_text, crate_name='"strat"')
    if message is VALID:
        expected = expected_dry_run(strategy_text, crate="strat", crate_name="strat")
    else:
        expected = error_response(STRATEGY_ERROR + message)
    assert compiler.command(request) == expected


def cases(table):
    return pytest.mark.parametrize(("strategy_text", "message"), [c[1:] for c in table],
                                   ids=[c[0] for c in table])


# ---------------------------------------------------------------------------
# The top-level record: required fields, defaults, options, unknown keys.

TOP_LEVEL = [
    ("minimal", strategy(), VALID),
    ("spec-version-0", strategy(spec_version="0"), VALID),
    ("spec-version-99", strategy(spec_version="99"), VALID),
    ("spec-version-u32-max", strategy(spec_version="4294967295"), VALID),
    ("ref-symbol-null", strategy(ref_symbol="null"), VALID),
    ("ref-symbol-string", strategy(ref_symbol='"ETH/USDT"'), VALID),
    ("warmup-null", strategy(warmup="null"), VALID),
    ("warmup-50", strategy(warmup="50"), VALID),
    ("short-rules-null", strategy(short_entry="null", short_exit="null"), VALID),
    ("short-rules-set", strategy(short_entry=GT, short_exit=LT), VALID),
    ("empty-timeframe", strategy(timeframe='""'), VALID),
    ("empty-symbol-with-crate-name", strategy(symbol='""'), VALID),
    ("unknown-key-array", strategy(extra="[1,[2],{}]"), VALID),
    ("unknown-key-object", strategy(extra='{"z":1,"a":{"y":null,"b":true}}'), VALID),
    ("unknown-key-number", strategy(extra="-12"), VALID),
    ("unknown-key-bad-looking", strategy(spec_versions='"x"', costs_="null"), VALID),
    ("sections-explicit-defaults", strategy(
        costs='{"maker_bps":0.0,"taker_bps":0.0,"slippage":{"type":"fixed_bps","bps":0.0},"funding":false}',
        risk='{"stop_loss_pct":null,"take_profit_pct":null,"trailing_stop_pct":null,'
             '"max_leverage":null,"max_position_pct":null,"liquidation":false}',
        execution='{"order_type":"market","fill_timing":"next_open","limit_offset_pct":null,'
                  '"stop_offset_pct":null,"latency_bars":0,"partial_fills":false,"max_participation":null}',
    ), VALID),
    ("sections-empty", strategy(costs="{}", risk="{}", execution="{}"), VALID),
    ("keys-reordered", '{"sizing":' + SIZING + ',"exit":' + LT + ',"entry":' + GT
     + ',"indicators":{},"timeframe":"1h","symbol":"X"}', VALID),
    # A repeated key keeps its last value; the earlier one is never decoded.
    ("repeated-key-last-wins", strategy(symbol='5', timeframe='"1h","symbol":"BTC"'), VALID),
    ("missing-symbol", strategy(drop=("symbol",)), "missing field `symbol`"),
    ("missing-timeframe", strategy(drop=("timeframe",)), "missing field `timeframe`"),
    ("missing-indicators", strategy(drop=("indicators",)), "missing field `indicators`"),
    ("missing-entry", strategy(drop=("entry",)), "missing field `entry`"),
    ("missing-exit", strategy(drop=("exit",)), "missing field `exit`"),
    ("missing-sizing", strategy(drop=("sizing",)), "missing field `sizing`"),
    ("missing-symbol-and-entry", strategy(drop=("symbol", "entry")), "missing field `symbol`"),
    ("missing-exit-and-sizing", strategy(drop=("exit", "sizing")), "missing field `exit`"),
    ("empty-object", "{}", "missing field `symbol`"),
    ("missing-symbol-timeframe", strategy(drop=("symbol", "timeframe")), "missing field `symbol`"),
    ("key-error-before-missing", strategy(drop=("symbol", "timeframe"), spec_version='"2"'),
     'invalid type: string "2", expected u32'),
    ("late-key-error-before-missing", strategy(drop=("sizing",), costs="null"),
     "invalid type: null, expected struct Costs"),
    ("first-key-error-wins", strategy(costs="null", risk="null"),
     "invalid type: null, expected struct Costs"),
    ("document-order-decides", strategy(risk="null", costs="null"),
     "invalid type: null, expected struct Risk"),
    ("repeated-key-bad-last", strategy(symbol='"BTC"', timeframe='"1h","symbol":5'),
     "invalid type: integer `5`, expected a string"),
    ("symbol-null", strategy(symbol="null"), "invalid type: null, expected a string"),
    ("symbol-number", strategy(symbol="5"), "invalid type: integer `5`, expected a string"),
    ("timeframe-bool", strategy(timeframe="true"), "invalid type: boolean `true`, expected a string"),
    ("ref-symbol-number", strategy(ref_symbol="5"), "invalid type: integer `5`, expected a string"),
    ("indicators-null", strategy(indicators="null"), "invalid type: null, expected a map"),
    ("indicators-array", strategy(indicators="[]"), "invalid type: sequence, expected a map"),
    ("indicators-string", strategy(indicators='"x"'), 'invalid type: string "x", expected a map'),
    ("entry-null", strategy(entry="null"), "invalid type: null, expected string or map"),
    ("exit-number", strategy(exit="5"), "invalid type: integer `5`, expected string or map"),
    ("entry-before-exit", strategy(entry="5", exit="null"),
     "invalid type: integer `5`, expected string or map"),
    ("short-entry-bad", strategy(short_entry="[]"), "invalid type: sequence, expected string or map"),
    ("short-exit-bad", strategy(short_exit='{"nope":1}'), "unknown variant `nope`, expected " + CONDITIONS),
    ("sizing-null", strategy(sizing="null"), "invalid type: null, expected internally tagged enum Sizing"),
    ("costs-null", strategy(costs="null"), "invalid type: null, expected struct Costs"),
    ("risk-null", strategy(risk="null"), "invalid type: null, expected struct Risk"),
    ("execution-null", strategy(execution="null"), "invalid type: null, expected struct Execution"),
    ("spec-version-null", strategy(spec_version="null"), "invalid type: null, expected u32"),
    ("warmup-negative", strategy(warmup="-1"), "invalid value: integer `-1`, expected u32"),
    ("warmup-float", strategy(warmup="1.5"), "invalid type: floating point `1.5`, expected u32"),
    ("warmup-string", strategy(warmup='"3"'), 'invalid type: string "3", expected u32'),
]


@cases(TOP_LEVEL)
def test_top_level(compiler, strategy_text, message):
    check(compiler, strategy_text, message)


# ---------------------------------------------------------------------------
# The whole document's JSON kind and its positional form.

POSITIONAL_10 = '[1,"BTC/USDT",null,"1h",{},' + GT + "," + LT + ",null,null," + SIZING + "]"
POSITIONAL_14 = POSITIONAL_10[:-1] + ",{},{},{},null]"

DOCUMENT_FORMS = [
    ("positional-10", POSITIONAL_10, VALID),
    ("positional-14", POSITIONAL_14, VALID),
    ("positional-15", POSITIONAL_14[:-1] + ",0]", "invalid length 15, expected fewer elements in array"),
    ("positional-empty", "[]", "invalid length 1, expected struct StrategySpec with 14 elements"),
    ("positional-version-only", "[1]", "invalid length 1, expected struct StrategySpec with 14 elements"),
    # ref_symbol is optional, so the next required field is timeframe.
    ("positional-to-symbol", '[1,"X"]', "invalid length 3, expected struct StrategySpec with 14 elements"),
    ("positional-to-timeframe", '[1,"X",null,"1h"]',
     "invalid length 4, expected struct StrategySpec with 14 elements"),
    ("positional-to-exit", '[1,"X",null,"1h",{},' + GT + "," + LT + "]",
     "invalid length 9, expected struct StrategySpec with 14 elements"),
    ("positional-bad-element", '[1,2]', "invalid type: integer `2`, expected a string"),
    ("integer", "5", "invalid type: integer `5`, expected struct StrategySpec"),
    ("negative", "-5", "invalid type: integer `-5`, expected struct StrategySpec"),
    ("float", "2.5", "invalid type: floating point `2.5`, expected struct StrategySpec"),
    ("string", '"x"', 'invalid type: string "x", expected struct StrategySpec'),
    ("null", "null", "invalid type: null, expected struct StrategySpec"),
    ("bool", "false", "invalid type: boolean `false`, expected struct StrategySpec"),
]


@cases(DOCUMENT_FORMS)
def test_document_forms(compiler, strategy_text, message):
    check(compiler, strategy_text, message)


# ---------------------------------------------------------------------------
# Number kinds: u32 fields, and how a found float is written in messages.

U32_AND_FLOATS = [
    ("u32-1.0", "1.0", "invalid type: floating point `1.0`, expected u32"),
    ("u32-5.0", "5.0", "invalid type: floating point `5.0`, expected u32"),
    ("u32-exponent", "1e3", "invalid type: floating point `1000.0`, expected u32"),
    ("u32-minus-1", "-1", "invalid value: integer `-1`, expected u32"),
    ("u32-i64-min", "-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32"),
    ("u32-max-plus-1", "4294967296", "invalid value: integer `4294967296`, expected u32"),
    ("u32-u64-max", "18446744073709551615", "invalid value: integer `18446744073709551615`, expected u32"),
    ("u32-beyond-u64", "18446744073709551616",
     "invalid type: floating point `1.8446744073709552e+19`, expected u32"),
    ("u32-below-i64", "-9223372036854775809",
     "invalid type: floating point `-9.223372036854776e+18`, expected u32"),
    ("u32-minus-zero", "-0", "invalid type: floating point `-0.0`, expected u32"),
    ("u32-zero-float", "0.0", "invalid type: floating point `0.0`, expected u32"),
    ("u32-bool", "true", "invalid type: boolean `true`, expected u32"),
    ("u32-map", "{}", "invalid type: map, expected u32"),
    ("u32-sequence", "[1]", "invalid type: sequence, expected u32"),
    ("float-12.5", "12.5", "invalid type: floating point `12.5`, expected u32"),
    ("float-1.50", "1.50", "invalid type: floating point `1.5`, expected u32"),
    ("float-10e-1", "10e-1", "invalid type: floating point `1.0`, expected u32"),
    ("float-1e2", "1e2", "invalid type: floating point `100.0`, expected u32"),
    ("float-0.00001", "0.00001", "invalid type: floating point `0.00001`, expected u32"),
    ("float-0.000025", "0.000025", "invalid type: floating point `0.000025`, expected u32"),
    ("float-0.000001", "0.000001", "invalid type: floating point `1e-6`, expected u32"),
    ("float-1.5e-7", "1.5e-7", "invalid type: floating point `1.5e-7`, expected u32"),
    ("float-1e15", "1e15", "invalid type: floating point `1000000000000000.0`, expected u32"),
    ("float-9999e12", "9999000000000000.0", "invalid type: floating point `9999000000000000.0`, expected u32"),
    ("float-1e16", "1e16", "invalid type: floating point `1e+16`, expected u32"),
    ("float-17-digits", "0.30000000000000004",
     "invalid type: floating point `0.30000000000000004`, expected u32"),
    ("float-max", "1.7976931348623157e308",
     "invalid type: floating point `1.7976931348623157e+308`, expected u32"),
    ("float-min-subnormal", "5e-324", "invalid type: floating point `5e-324`, expected u32"),
    ("float-underflow", "1e-400", "invalid type: floating point `0.0`, expected u32"),
    ("float-negative", "-2.5E+20", "invalid type: floating point `-2.5e+20`, expected u32"),
]


@pytest.mark.parametrize(("literal", "message"), [c[1:] for c in U32_AND_FLOATS],
                         ids=[c[0] for c in U32_AND_FLOATS])
@pytest.mark.parametrize("field", ["spec_version", "warmup"])
def test_u32_fields_and_found_floats(compiler, field, literal, message):
    check(compiler, strategy(**{field: literal}), message)


# ---------------------------------------------------------------------------
# The quoted form of a found string.

QUOTED = [
    ("plain", '"2"', '"2"'),
    ("double-quote", r'"a\"b"', r'"a\"b"'),
    ("backslash", r'"a\\b"', r'"a\\b"'),
    ("tab-cr-lf", r'"t\tr\rn\n"', r'"t\tr\rn\n"'),
    ("nul", r'"\u0000"', r'"\0"'),
    ("c0-controls", r'"\u0001\u001f\b\f"', r'"\u{1}\u{1f}\u{8}\u{c}"'),
    ("del-and-c1", r'"\u007f\u0085"', r'"\u{7f}\u{85}"'),
    ("combining-marks", r'"e\u0301x\u20dd"', r'"e\u{301}x\u{20dd}"'),
    ("spacing-mark-mc", r'"\u0903"', r'"\u{903}"'),
    ("format-cf", r'"a\u200bb\ufeff"', r'"a\u{200b}b\u{feff}"'),
    ("line-and-paragraph-separators", r'"\u2028\u2029"', r'"\u{2028}\u{2029}"'),
    ("spaces-other-than-blank", r'" \u00a0\u3000"', r'" \u{a0}\u{3000}"'),
    ("private-use-and-unassigned", r'"\ue000\u0378"', r'"\u{e000}\u{378}"'),
    ("non-ascii-letters", '"é€😀Ω"', '"é€😀Ω"'),
    ("escaped-non-ascii", r'"\u00e9\ud83d\ude00"', '"é😀"'),
    ("slash-and-apostrophe", r'"a\/b'"'"'c"', '"a/b\'c"'),
    ("empty", '""', '""'),
]


@pytest.mark.parametrize(("literal", "quoted"), [c[1:] for c in QUOTED], ids=[c[0] for c in QUOTED])
def test_found_string_quoted_form(compiler, literal, quoted):
    check(compiler, strategy(spec_version=literal), f"invalid type: string {quoted}, expected u32")


# ---------------------------------------------------------------------------
# Indicators and feeds.


def ind(spec_text, name="rsi"):
    return strategy(indicators="{" + f'"{name}":' + spec_text + "}")


INDICATORS = [
    ("full", ind('{"type":"rsi","params":[14],"feed":"kline"}'), VALID),
    ("type-only", ind('{"type":"ema"}'), VALID),
    ("unchecked-type-name", ind('{"type":"no such indicator","params":[]}'), VALID),
    ("empty-name", ind('{"type":"ema"}', name=""), VALID),
    ("several", strategy(indicators='{"b":{"type":"sma"},"a":{"type":"ema","params":[1,2]}}'), VALID),
    ("params-number-kinds", ind('{"type":"x","params":[1,-2,2.5,1e3,18446744073709551615]}'), VALID),
    ("params-null-feed", ind('{"type":"x","params":[],"feed":null}'), VALID),
    ("unknown-member", ind('{"type":"x","period":{"a":1}}'), VALID),
    ("positional", ind('["ema",[14],"kline"]'), VALID),
    ("positional-type-only", ind('["ema"]'), VALID),
    ("positional-empty", ind("[]"), "invalid length 0, expected struct IndicatorSpec with 3 elements"),
    ("positional-four", ind('["ema",[14],"kline",1]'), "invalid length 4, expected fewer elements in array"),
    ("missing-type", ind('{"params":[14]}'), "missing field `type`"),
    ("empty-object", ind("{}"), "missing field `type`"),
    ("type-null", ind('{"type":null}'), "invalid type: null, expected a string"),
    ("type-number", ind('{"type":7}'), "invalid type: integer `7`, expected a string"),
    ("params-string-element", ind('{"type":"ema","params":[14,"x"]}'), 'invalid type: string "x", expected f64'),
    ("params-bool-element", ind('{"type":"ema","params":[true]}'), "invalid type: boolean `true`, expected f64"),
    ("params-null-element", ind('{"type":"ema","params":[null]}'), "invalid type: null, expected f64"),
    ("params-nested", ind('{"type":"ema","params":[[1]]}'), "invalid type: sequence, expected f64"),
    ("params-null", ind('{"type":"ema","params":null}'), "invalid type: null, expected a sequence"),
    ("params-string", ind('{"type":"ema","params":"x"}'), 'invalid type: string "x", expected a sequence'),
    ("params-map", ind('{"type":"ema","params":{}}'), "invalid type: map, expected a sequence"),
    ("params-number", ind('{"type":"ema","params":14}'), "invalid type: integer `14`, expected a sequence"),
    ("error-before-missing-type", ind('{"params":null}'), "invalid type: null, expected a sequence"),
    ("indicator-number", ind("5"), "invalid type: integer `5`, expected struct IndicatorSpec"),
    ("indicator-null", ind("null"), "invalid type: null, expected struct IndicatorSpec"),
    ("indicator-string", ind('"ema"'), 'invalid type: string "ema", expected struct IndicatorSpec'),
]


@cases(INDICATORS)
def test_indicators(compiler, strategy_text, message):
    check(compiler, strategy_text, message)


FEED_CASES = [
    ("kline", '"kline"', VALID),
    ("trade", '"trade"', VALID),
    ("orderbook", '"orderbook"', VALID),
    ("trade-quote", '"trade_quote"', VALID),
    ("derivatives", '"derivatives"', VALID),
    ("cross-section", '"cross_section"', VALID),
    ("map-form", '{"kline":null}', VALID),
    ("map-form-last", '{"cross_section":null}', VALID),
    ("null", "null", VALID),
    ("unknown", '"candles"', "unknown variant `candles`, expected " + FEEDS),
    ("case-sensitive", '"Kline"', "unknown variant `Kline`, expected " + FEEDS),
    ("unknown-map-key", '{"candles":null}', "unknown variant `candles`, expected " + FEEDS),
    ("map-value-not-null", '{"kline":1}', "invalid type: integer `1`, expected unit"),
    ("map-value-map", '{"kline":{}}', "invalid type: map, expected unit"),
    ("map-value-string", '{"kline":"x"}', 'invalid type: string "x", expected unit'),
    ("empty-map", "{}", "invalid value: map, expected map with a single key"),
    ("two-keys", '{"kline":null,"trade":null}', "invalid value: map, expected map with a single key"),
    ("number", "3", "invalid type: integer `3`, expected string or map"),
    ("bool", "true", "invalid type: boolean `true`, expected string or map"),
    ("array", '["kline"]', "invalid type: sequence, expected string or map"),
]


@pytest.mark.parametrize(("feed", "message"), [c[1:] for c in FEED_CASES], ids=[c[0] for c in FEED_CASES])
def test_feed(compiler, feed, message):
    check(compiler, ind('{"type":"ema","feed":' + feed + "}"), message)


# ---------------------------------------------------------------------------
# Conditions, tried as the entry rule.

CONDITION_CASES = [
    ("gt", GT, VALID),
    ("lt", '{"lt":[1,"a"]}', VALID),
    ("ge", '{"ge":["a","b"]}', VALID),
    ("le", '{"le":[1,2]}', VALID),
    ("eq", '{"eq":["a",0]}', VALID),
    ("ne", '{"ne":["a",-1]}', VALID),
    ("cross-above", '{"cross_above":["fast","slow"]}', VALID),
    ("cross-below", '{"cross_below":["fast","slow"]}', VALID),
    ("between", '{"between":[{"price":"close"},100,200]}', VALID),
    ("rising", '{"rising":["rsi",3]}', VALID),
    ("falling", '{"falling":["rsi",0]}', VALID),
    ("rising-u32-max", '{"rising":["rsi",4294967295]}', VALID),
    ("all", '{"all":[{"in_position":false},{"lt":["rsi",30]}]}', VALID),
    ("all-empty", '{"all":[]}', VALID),
    ("any-empty", '{"any":[]}', VALID),
    ("any", '{"any":[{"gt":["a",1]},{"not":{"in_position":true}}]}', VALID),
    ("not", '{"not":{"in_position":true}}', VALID),
    ("not-not", '{"not":{"not":{"in_position":true}}}', VALID),
    ("in-position", '{"in_position":false}', VALID),
    ("bars-gt", '{"bars_since_entry":{"gt":1}}', VALID),
    ("bars-lt", '{"bars_since_entry":{"lt":2}}', VALID),
    ("bars-ge", '{"bars_since_entry":{"ge":10}}', VALID),
    ("bars-le", '{"bars_since_entry":{"le":0}}', VALID),
    ("bars-eq", '{"bars_since_entry":{"eq":4294967295}}', VALID),
    ("deep", '{"all":[{"any":[{"not":{"all":[{"between":["a",{"price":"low"},{"price":"high"}]}]}}]}]}',
     VALID),
    ("gt-one", '{"gt":["a"]}', "invalid length 1, expected a tuple of size 2"),
    ("gt-none", '{"gt":[]}', "invalid length 0, expected a tuple of size 2"),
    ("gt-three", '{"gt":["a",1,2]}', "invalid length 3, expected fewer elements in array"),
    ("cross-below-four", '{"cross_below":[1,2,3,4]}', "invalid length 4, expected fewer elements in array"),
    ("gt-string", '{"gt":"a"}', 'invalid type: string "a", expected a tuple of size 2'),
    ("ne-map", '{"ne":{"a":1}}', "invalid type: map, expected a tuple of size 2"),
    ("eq-null", '{"eq":null}', "invalid type: null, expected a tuple of size 2"),
    ("between-two", '{"between":[1,2]}', "invalid length 2, expected a tuple of size 3"),
    ("between-four", '{"between":[1,2,3,4]}', "invalid length 4, expected fewer elements in array"),
    ("between-string", '{"between":"x"}', 'invalid type: string "x", expected a tuple of size 3'),
    ("rising-float", '{"rising":["rsi",2.5]}', "invalid type: floating point `2.5`, expected u32"),
    ("rising-negative", '{"rising":["rsi",-1]}', "invalid value: integer `-1`, expected u32"),
    ("falling-too-big", '{"falling":["rsi",4294967296]}', "invalid value: integer `4294967296`, expected u32"),
    ("falling-string-count", '{"falling":["rsi","3"]}', 'invalid type: string "3", expected u32'),
    ("rising-one", '{"rising":["rsi"]}', "invalid length 1, expected a tuple of size 2"),
    ("rising-three", '{"rising":["rsi",1,2]}', "invalid length 3, expected fewer elements in array"),
    ("rising-number", '{"rising":3}', "invalid type: integer `3`, expected a tuple of size 2"),
    ("rising-bad-operand-first", '{"rising":[null,2.5]}', OPERAND),
    ("all-map", '{"all":{"gt":[1,2]}}', "invalid type: map, expected a sequence"),
    ("any-string", '{"any":"gt"}', 'invalid type: string "gt", expected a sequence'),
    ("all-bad-element", '{"all":[' + GT + ',5]}', "invalid type: integer `5`, expected string or map"),
    ("all-first-failure", '{"all":[{"gt":[1]},{"nope":1}]}', "invalid length 1, expected a tuple of size 2"),
    ("not-number", '{"not":5}', "invalid type: integer `5`, expected string or map"),
    ("not-array", '{"not":[' + GT + "]}", "invalid type: sequence, expected string or map"),
    ("in-position-bare", '"in_position"', "invalid type: unit variant, expected newtype variant"),
    ("gt-bare", '"gt"', "invalid type: unit variant, expected newtype variant"),
    ("unknown-bare", '"above"', "unknown variant `above`, expected " + CONDITIONS),
    ("in-position-number", '{"in_position":1}', "invalid type: integer `1`, expected a boolean"),
    ("in-position-null", '{"in_position":null}', "invalid type: null, expected a boolean"),
    ("unknown-keyword", '{"above":["a",1]}', "unknown variant `above`, expected " + CONDITIONS),
    ("keyword-case", '{"GT":["a",1]}', "unknown variant `GT`, expected " + CONDITIONS),
    ("empty-map", "{}", "invalid value: map, expected map with a single key"),
    ("two-keys", '{"gt":[1,2],"lt":[1,2]}', "invalid value: map, expected map with a single key"),
    ("number", "5", "invalid type: integer `5`, expected string or map"),
    ("float", "0.5", "invalid type: floating point `0.5`, expected string or map"),
    ("null", "null", "invalid type: null, expected string or map"),
    ("bool", "true", "invalid type: boolean `true`, expected string or map"),
    ("array", "[]", "invalid type: sequence, expected string or map"),
    ("bars-ne", '{"bars_since_entry":{"ne":10}}', "unknown variant `ne`, expected " + BARS),
    ("bars-bare-keyword", '{"bars_since_entry":"ge"}', "invalid type: unit variant, expected newtype variant"),
    ("bars-bare-unknown", '{"bars_since_entry":"ne"}', "unknown variant `ne`, expected " + BARS),
    ("bars-empty", '{"bars_since_entry":{}}', "invalid value: map, expected map with a single key"),
    ("bars-two-keys", '{"bars_since_entry":{"ge":1,"le":2}}',
     "invalid value: map, expected map with a single key"),
    ("bars-number", '{"bars_since_entry":5}', "invalid type: integer `5`, expected string or map"),
    ("bars-array", '{"bars_since_entry":[]}', "invalid type: sequence, expected string or map"),
    ("bars-negative", '{"bars_since_entry":{"ge":-1}}', "invalid value: integer `-1`, expected u32"),
    ("bars-float", '{"bars_since_entry":{"ge":1.5}}', "invalid type: floating point `1.5`, expected u32"),
    ("bars-null-count", '{"bars_since_entry":{"eq":null}}', "invalid type: null, expected u32"),
]


@cases(CONDITION_CASES)
def test_conditions(compiler, strategy_text, message):
    check(compiler, strategy(entry=strategy_text), message)


@pytest.mark.parametrize("field", ["entry", "exit", "short_entry", "short_exit"])
@pytest.mark.parametrize(("condition", "message"), [
    ('{"between":[1,2]}', "invalid length 2, expected a tuple of size 3"),
    ('{"gt":[true,1]}', OPERAND),
    ('"all"', "invalid type: unit variant, expected newtype variant"),
], ids=["length", "operand", "unit-variant"])
def test_every_rule_field_is_a_condition(compiler, field, condition, message):
    check(compiler, strategy(**{field: condition}), message)


# ---------------------------------------------------------------------------
# Operands, tried as the second operand of gt.

OPERAND_CASES = [
    ("reference", '"rsi"', VALID),
    ("undeclared-reference", '"no_such_indicator"', VALID),
    ("reference-that-looks-like-price", '"close"', VALID),
    ("empty-reference", '""', VALID),
    ("integer", "30", VALID),
    ("negative", "-3", VALID),
    ("float", "2.5", VALID),
    ("exponent", "1e3", VALID),
    ("price-open", '{"price":"open"}', VALID),
    ("price-high", '{"price":"high"}', VALID),
    ("price-low", '{"price":"low"}', VALID),
    ("price-close", '{"price":"close"}', VALID),
    ("price-volume", '{"price":"volume"}', VALID),
    ("price-hlc3", '{"price":"hlc3"}', VALID),
    ("price-ohlc4", '{"price":"ohlc4"}', VALID),
    ("price-map-form", '{"price":{"close":null}}', VALID),
    ("prev", '{"prev":["a",0]}', VALID),
    ("prev-u32-max", '{"prev":[{"price":"close"},4294967295]}', VALID),
    ("add", '{"add":["a",1]}', VALID),
    ("sub", '{"sub":[1,"a"]}', VALID),
    ("mul", '{"mul":[{"price":"high"},0.5]}', VALID),
    ("div", '{"div":["a","b"]}', VALID),
    ("nested", '{"prev":[{"add":["a",{"price":"hlc3"}]},2]}', VALID),
    ("true", "true", OPERAND),
    ("null", "null", OPERAND),
    ("array", "[1,2]", OPERAND),
    ("empty-map", "{}", OPERAND),
    ("two-members", '{"price":"close","add":[1,2]}', OPERAND),
    ("unknown-keyword", '{"avg":[1,2]}', OPERAND),
    ("unknown-price", '{"price":"vwap"}', OPERAND),
    ("price-case", '{"price":"Close"}', OPERAND),
    ("price-map-not-null", '{"price":{"close":1}}', OPERAND),
    ("price-empty-map", '{"price":{}}', OPERAND),
    ("price-number", '{"price":5}', OPERAND),
    ("add-one", '{"add":[1]}', OPERAND),
    ("add-three", '{"add":[1,2,3]}', OPERAND),
    ("add-string", '{"add":"x"}', OPERAND),
    ("add-bad-inner", '{"add":[1,true]}', OPERAND),
    ("prev-negative", '{"prev":["a",-1]}', OPERAND),
    ("prev-fraction", '{"prev":["a",1.5]}', OPERAND),
    ("prev-too-big", '{"prev":["a",4294967296]}', OPERAND),
    ("prev-short", '{"prev":["a"]}', OPERAND),
    ("deep-bad", '{"mul":[1,{"div":[{"prev":[{"price":"hlc4"},1]},2]}]}', OPERAND),
]


@cases(OPERAND_CASES)
def test_operands(compiler, strategy_text, message):
    check(compiler, strategy(entry='{"gt":["a",' + strategy_text + "]}"), message)


@pytest.mark.parametrize(("condition", "message"), [
    ('{"gt":[true,1]}', OPERAND),
    ('{"gt":[null,{"price":"x"}]}', OPERAND),
    ('{"between":[1,2,false]}', OPERAND),
    ('{"between":[{},2,3]}', OPERAND),
    ('{"rising":[[1],3]}', OPERAND),
    ('{"not":{"all":[{"lt":["a",{"sub":[1]}]}]}}', OPERAND),
], ids=["gt-first", "gt-both", "between-third", "between-first", "rising", "nested-condition"])
def test_operand_positions(compiler, condition, message):
    check(compiler, strategy(entry=condition), message)


# ---------------------------------------------------------------------------
# Sizing.

SIZING_CASES = [
    ("fixed-fraction", '{"type":"fixed_fraction","fraction":0.1}', VALID),
    ("fixed-qty", '{"type":"fixed_qty","qty":3}', VALID),
    ("fixed-cash", '{"type":"fixed_cash","cash":1000}', VALID),
    ("vol-target", '{"type":"vol_target","target_vol":0.15,"lookback":20}', VALID),
    ("risk-per-trade", '{"type":"risk_per_trade","risk_pct":-0.5}', VALID),
    ("tag-last-with-unknown", '{"fraction":0.1,"note":[1],"type":"fixed_fraction"}', VALID),
    ("tag-middle", '{"target_vol":0.15,"type":"vol_target","lookback":0}', VALID),
    ("positional-fixed-qty", '["fixed_qty",3]', VALID),
    ("positional-vol-target", '["vol_target",0.15,20]', VALID),
    ("positional-risk", '["risk_per_trade",0.01]', VALID),
    ("missing-tag", '{"fraction":0.1}', "missing field `type`"),
    ("empty", "{}", "missing field `type`"),
    ("missing-fraction", '{"type":"fixed_fraction"}', "missing field `fraction`"),
    ("missing-qty", '{"type":"fixed_qty","fraction":1}', "missing field `qty`"),
    ("missing-cash", '{"type":"fixed_cash"}', "missing field `cash`"),
    ("missing-risk-pct", '{"type":"risk_per_trade"}', "missing field `risk_pct`"),
    ("missing-both-vol-fields", '{"type":"vol_target"}', "missing field `target_vol`"),
    ("missing-target-vol", '{"type":"vol_target","lookback":20}', "missing field `target_vol`"),
    ("missing-lookback", '{"type":"vol_target","target_vol":0.1}', "missing field `lookback`"),
    ("unknown-variant", '{"type":"x"}', "unknown variant `x`, expected " + SIZINGS),
    ("variant-case", '{"type":"Fixed_Qty","qty":1}', "unknown variant `Fixed_Qty`, expected " + SIZINGS),
    ("tag-number", '{"type":1}', "invalid type: integer `1`, expected variant identifier"),
    ("tag-null", '{"type":null,"qty":1}', "invalid type: null, expected variant identifier"),
    ("lookback-float", '{"type":"vol_target","target_vol":0.2,"lookback":20.0}',
     "invalid type: floating point `20.0`, expected u32"),
    ("lookback-negative", '{"type":"vol_target","target_vol":0.2,"lookback":-5}',
     "invalid value: integer `-5`, expected u32"),
    ("qty-string", '{"type":"fixed_qty","qty":"1"}', 'invalid type: string "1", expected f64'),
    ("cash-null", '{"type":"fixed_cash","cash":null}', "invalid type: null, expected f64"),
    ("null", "null", "invalid type: null, expected internally tagged enum Sizing"),
    ("string", '"fixed_qty"', 'invalid type: string "fixed_qty", expected internally tagged enum Sizing'),
    ("number", "5", "invalid type: integer `5`, expected internally tagged enum Sizing"),
    ("bool", "true", "invalid type: boolean `true`, expected internally tagged enum Sizing"),
    ("positional-empty", "[]", "missing field `type`"),
    ("positional-fixed-fraction", '["fixed_fraction"]',
     "invalid length 0, expected struct variant Sizing::FixedFraction with 1 element"),
    ("positional-fixed-qty-short", '["fixed_qty"]',
     "invalid length 0, expected struct variant Sizing::FixedQty with 1 element"),
    ("positional-fixed-cash", '["fixed_cash"]',
     "invalid length 0, expected struct variant Sizing::FixedCash with 1 element"),
    ("positional-vol-target-0", '["vol_target"]',
     "invalid length 0, expected struct variant Sizing::VolTarget with 2 elements"),
    ("positional-vol-target-1", '["vol_target",0.1]',
     "invalid length 1, expected struct variant Sizing::VolTarget with 2 elements"),
    ("positional-risk-per-trade", '["risk_per_trade"]',
     "invalid length 0, expected struct variant Sizing::RiskPerTrade with 1 element"),
    ("positional-unknown", '["x",1]', "unknown variant `x`, expected " + SIZINGS),
    ("positional-tag-number", "[1,2]", "invalid type: integer `1`, expected variant identifier"),
    # Within the parsed document a repeated key has already collapsed to its last value.
    ("repeated-tag-last-wins", '{"type":"fixed_fraction","fraction":0.1,"type":"fixed_qty"}',
     "missing field `qty`"),
]


@cases(SIZING_CASES)
def test_sizing(compiler, strategy_text, message):
    check(compiler, strategy(sizing=strategy_text), message)


# ---------------------------------------------------------------------------
# Costs and slippage.

COSTS_CASES = [
    ("empty", "{}", VALID),
    ("fees", '{"maker_bps":2,"taker_bps":2.5}', VALID),
    ("negative-fee", '{"maker_bps":-1}', VALID),
    ("funding", '{"funding":true}', VALID),
    ("slippage-spread", '{"slippage":{"type":"spread"}}', VALID),
    ("slippage-spread-ignores-members", '{"slippage":{"type":"spread","bps":"x","coef":null}}', VALID),
    ("slippage-fixed-bps", '{"slippage":{"type":"fixed_bps","bps":1.5}}', VALID),
    ("slippage-volume-impact", '{"slippage":{"coef":0.1,"type":"volume_impact"}}', VALID),
    ("slippage-positional", '{"slippage":["fixed_bps",2]}', VALID),
    ("slippage-positional-spread", '{"slippage":["spread"]}', VALID),
    ("positional-two", "[1.0,2.0]", VALID),
    ("positional-empty", "[]", VALID),
    ("positional-full", '[0,0,{"type":"spread"},true]', VALID),
    ("unknown-member", '{"rebate":true}', VALID),
    ("positional-five", '[1,2,{"type":"spread"},false,0]', "invalid length 5, expected fewer elements in array"),
    ("positional-bad", '["x"]', 'invalid type: string "x", expected f64'),
    ("maker-string", '{"maker_bps":"x"}', 'invalid type: string "x", expected f64'),
    ("taker-null", '{"taker_bps":null}', "invalid type: null, expected f64"),
    ("funding-number", '{"funding":1}', "invalid type: integer `1`, expected a boolean"),
    ("funding-null", '{"funding":null}', "invalid type: null, expected a boolean"),
    ("string", '"x"', 'invalid type: string "x", expected struct Costs'),
    ("number", "1", "invalid type: integer `1`, expected struct Costs"),
    ("slippage-volume-impact-no-coef", '{"slippage":{"type":"volume_impact"}}', "missing field `coef`"),
    ("slippage-fixed-bps-no-bps", '{"slippage":{"type":"fixed_bps"}}', "missing field `bps`"),
    ("slippage-no-tag", '{"slippage":{"bps":1}}', "missing field `type`"),
    ("slippage-unknown", '{"slippage":{"type":"x"}}', "unknown variant `x`, expected " + SLIPPAGES),
    ("slippage-null", '{"slippage":null}', "invalid type: null, expected internally tagged enum Slippage"),
    ("slippage-string", '{"slippage":"spread"}',
     'invalid type: string "spread", expected internally tagged enum Slippage'),
    ("slippage-tag-bool", '{"slippage":{"type":false}}', "invalid type: boolean `false`, expected variant identifier"),
    ("slippage-positional-empty", '{"slippage":[]}', "missing field `type`"),
    ("slippage-positional-fixed-bps", '{"slippage":["fixed_bps"]}',
     "invalid length 0, expected struct variant Slippage::FixedBps with 1 element"),
    ("slippage-positional-volume-impact", '{"slippage":["volume_impact"]}',
     "invalid length 0, expected struct variant Slippage::VolumeImpact with 1 element"),
    ("slippage-bps-string", '{"slippage":{"type":"fixed_bps","bps":"1"}}', 'invalid type: string "1", expected f64'),
]


@cases(COSTS_CASES)
def test_costs(compiler, strategy_text, message):
    check(compiler, strategy(costs=strategy_text), message)


# ---------------------------------------------------------------------------
# Risk.

RISK_CASES = [
    ("empty", "{}", VALID),
    ("all-null", '{"stop_loss_pct":null,"take_profit_pct":null,"trailing_stop_pct":null,'
                 '"max_leverage":null,"max_position_pct":null}', VALID),
    ("all-set", '{"stop_loss_pct":0.02,"take_profit_pct":0.05,"trailing_stop_pct":0.01,'
                '"max_leverage":3,"max_position_pct":1.5,"liquidation":true}', VALID),
    ("positional", "[null,null,null,null,null,false]", VALID),
    ("positional-empty", "[]", VALID),
    ("positional-seven", "[null,null,null,null,null,false,1]",
     "invalid length 7, expected fewer elements in array"),
    ("liquidation-null", '{"liquidation":null}', "invalid type: null, expected a boolean"),
    ("liquidation-string", '{"liquidation":"yes"}', 'invalid type: string "yes", expected a boolean'),
    ("stop-loss-string", '{"stop_loss_pct":"x"}', 'invalid type: string "x", expected f64'),
    ("leverage-bool", '{"max_leverage":true}', "invalid type: boolean `true`, expected f64"),
    ("take-profit-map", '{"take_profit_pct":{}}', "invalid type: map, expected f64"),
    ("number", "5", "invalid type: integer `5`, expected struct Risk"),
]


@cases(RISK_CASES)
def test_risk(compiler, strategy_text, message):
    check(compiler, strategy(risk=strategy_text), message)


# ---------------------------------------------------------------------------
# Execution.

EXECUTION_CASES = [
    ("limit-with-offset", '{"order_type":"limit","limit_offset_pct":0.1}', VALID),
    ("market", '{"order_type":"market"}', VALID),
    ("stop", '{"order_type":"stop","stop_offset_pct":0.5}', VALID),
    ("stop-limit-map-form", '{"order_type":{"stop_limit":null}}', VALID),
    ("fill-close", '{"fill_timing":"close"}', VALID),
    ("fill-close-map-form", '{"fill_timing":{"close":null}}', VALID),
    ("fill-next-open", '{"fill_timing":"next_open"}', VALID),
    ("latency-u32-max", '{"latency_bars":4294967295,"partial_fills":true}', VALID),
    ("participation-null", '{"max_participation":null,"limit_offset_pct":null}', VALID),
    ("positional", '["limit","close"]', VALID),
    ("positional-full", '["market","next_open",null,null,0,false,0.25]', VALID),
    ("positional-eight", '["market","next_open",null,null,0,false,null,1]',
     "invalid length 8, expected fewer elements in array"),
    ("order-type-unknown", '{"order_type":"x"}', "unknown variant `x`, expected " + ORDER_TYPES),
    ("order-type-map-value", '{"order_type":{"limit":1}}', "invalid type: integer `1`, expected unit"),
    ("order-type-empty-map", '{"order_type":{}}', "invalid value: map, expected map with a single key"),
    ("order-type-number", '{"order_type":3}', "invalid type: integer `3`, expected string or map"),
    ("order-type-null", '{"order_type":null}', "invalid type: null, expected string or map"),
    ("fill-timing-open", '{"fill_timing":"open"}', "unknown variant `open`, expected " + FILL_TIMINGS),
    ("fill-timing-two-keys", '{"fill_timing":{"close":null,"next_open":null}}',
     "invalid value: map, expected map with a single key"),
    ("latency-too-big", '{"latency_bars":4294967296}', "invalid value: integer `4294967296`, expected u32"),
    ("latency-negative", '{"latency_bars":-1}', "invalid value: integer `-1`, expected u32"),
    ("latency-float", '{"latency_bars":1.5}', "invalid type: floating point `1.5`, expected u32"),
    ("partial-fills-number", '{"partial_fills":1}', "invalid type: integer `1`, expected a boolean"),
    ("limit-offset-string", '{"limit_offset_pct":"1"}', 'invalid type: string "1", expected f64'),
    ("bool", "true", "invalid type: boolean `true`, expected struct Execution"),
]


@cases(EXECUTION_CASES)
def test_execution(compiler, strategy_text, message):
    check(compiler, strategy(execution=strategy_text), message)
