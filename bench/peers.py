"""Two pure-Python peers of the compile dry run, for the benchmarks.

Each peer takes the same command text as ``Compiler().command`` and, for a
compile dry run, answers the same response text byte for byte:

- ``JsonPeer``: the standard library ``json`` and ``hashlib``.
- ``OrjsonPeer``: ``orjson`` and ``hashlib``.

Both do the whole job the extension does: parse the request, check the
strategy's shape, derive the crate name, check the target, write the
canonical texts, render the project files from ``core/templates``, and digest
everything into the manifest. They are written to be fast in their own terms
(one canonical text of the candles, spliced into the text that spec_hash digests and
digested in pieces, no re-parsing), so that the comparison is fair.

The shape check follows the strategy schema closely (every record, variant,
operand and condition form, positional records included) but its error texts
are only approximate; on a valid request the answer is exact. Two corners of
the number model are not reproduced: the literal ``-0`` and integers beyond
64 bits, which the extension reads as floats and the peers as integers.
Commands other than a compile dry run answer an error.
"""

from __future__ import annotations

import hashlib
import json
import re
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
TEMPLATES = HERE.parent / "core" / "templates"

VERSION = "0.2.0"
BACKTEST_DEP = "0.1.5"
MCUS = frozenset(
    (
        "thumbv6m-none-eabi",
        "thumbv7m-none-eabi",
        "thumbv7em-none-eabi",
        "thumbv7em-none-eabihf",
        "thumbv8m.main-none-eabi",
        "thumbv8m.main-none-eabihf",
        "riscv32imac-unknown-none-elf",
    )
)
PROFILES = {
    "debug": "",
    "release": "[profile.release]\nlto = true\ncodegen-units = 1\n",
    "size": (
        "[profile.release]\nopt-level = \"z\"\nlto = true\ncodegen-units = 1\n"
        "panic = \"abort\"\nstrip = true\n"
    ),
}


def _template(name: str) -> str:
    return (TEMPLATES / name).read_text(encoding="utf-8")


CARGO_TEMPLATES = {
    "wasm": _template("wasm.Cargo.toml"),
    "binary": _template("binary.Cargo.toml"),
    "no_std": _template("no_std.Cargo.toml"),
}
# (path, contents) of the target's source file, digested once.
SOURCES = {
    "wasm": ("src/lib.rs", _template("wasm.lib.rs").encode()),
    "binary": ("src/main.rs", _template("binary.main.rs").encode()),
    "no_std": ("src/lib.rs", _template("no_std.lib.rs").encode()),
}
_SOURCE_DIGESTS = {k: hashlib.sha256(v).hexdigest() for k, (_, v) in SOURCES.items()}


# ---------------------------------------------------------------------------
# Float format: shortest round-trip digits; positional for decimal exponents
# -5..15, otherwise d[.ddd]e[+-]x with no zero padding.


def format_float(v: float) -> str:
    """The float's text in the compact JSON number format."""
    if v == 0.0:
        return "-0.0" if str(v)[0] == "-" else "0.0"
    r = repr(v)
    neg = r[0] == "-"
    if neg:
        r = r[1:]
    mant, _, exp = r.partition("e")
    ip, _, fp = mant.partition(".")
    # The decimal point stands after len(ip) of these digits.
    all_digits = ip + fp
    sig = all_digits.lstrip("0")
    x = len(ip) - 1 - (len(all_digits) - len(sig)) + (int(exp) if exp else 0)
    digits = sig.rstrip("0")
    return ("-" if neg else "") + _place(digits, x)


def _place(digits: str, x: int) -> str:
    n = len(digits)
    if -5 <= x <= 15:
        if x >= n - 1:
            return digits + "0" * (x - n + 1) + ".0"
        if x >= 0:
            return digits[: x + 1] + "." + digits[x + 1 :]
        return "0." + "0" * (-x - 1) + digits
    head = digits[0] + ("." + digits[1:] if n > 1 else "")
    return head + "e" + ("+" if x > 0 else "-") + str(abs(x))


# Exponent-form number tokens in compact text, with strings matched whole so
# that nothing inside a string is touched.
_EXP_TOKEN_STR = re.compile(r'"(?:[^"\\]|\\.)*"|(-?)(\d)(?:\.(\d+))?e([+-]?\d+)')
_EXP_HINT_STR = re.compile(r"\de")
_EXP_TOKEN_BYTES = re.compile(rb'"(?:[^"\\]|\\.)*"|(\de)(\d)')
_EXP_HINT_BYTES = re.compile(rb"\de\d")


def _fix_exp_str(m: re.Match) -> str:
    if m.group(2) is None:
        return m.group(0)
    digits = (m.group(2) + (m.group(3) or "")).rstrip("0") or "0"
    return m.group(1) + _place(digits, int(m.group(4)))


def _fix_exp_bytes(m: re.Match) -> bytes:
    if m.group(1) is None:
        return m.group(0)
    return m.group(1) + b"+" + m.group(2)


# ---------------------------------------------------------------------------
# The shape check of a strategy document.


class Bad(Exception):
    """A request that the compiler would answer with an error."""


_OPERAND = "data did not match any variant of untagged enum Operand"
_FEEDS = frozenset(("kline", "trade", "orderbook", "trade_quote", "derivatives", "cross_section"))
_PRICE_FIELDS = frozenset(("open", "high", "low", "close", "volume", "hlc3", "ohlc4"))
_ORDER_TYPES = frozenset(("market", "limit", "stop", "stop_limit"))
_FILL_TIMINGS = frozenset(("next_open", "close"))
_OPT_LEVELS = ("debug", "release", "size")
_BARS_KEYS = frozenset(("gt", "lt", "ge", "le", "eq"))
_U32_MAX = 0xFFFFFFFF


def _kind(v: object) -> str:
    t = type(v)
    if v is None:
        return "null"
    if t is bool:
        return f"boolean `{'true' if v else 'false'}`"
    if t is int:
        return f"integer `{v}`"
    if t is float:
        return f"floating point `{format_float(v)}`"
    if t is str:
        return "string " + json.dumps(v, ensure_ascii=False)
    if t is list:
        return "sequence"
    return "map"


def _type_error(v: object, wanted: str) -> Bad:
    return Bad(f"invalid type: {_kind(v)}, expected {wanted}")


def _u32(v: object) -> None:
    if type(v) is int:
        if 0 <= v <= _U32_MAX:
            return
        raise Bad(f"invalid value: integer `{v}`, expected u32")
    raise _type_error(v, "u32")


def _f64(v: object) -> None:
    t = type(v)
    if t is not float and t is not int:
        raise _type_error(v, "f64")


def _opt_f64(v: object) -> None:
    if v is not None:
        _f64(v)


def _bool(v: object) -> None:
    if type(v) is not bool:
        raise _type_error(v, "a boolean")


def _string(v: object) -> None:
    if type(v) is not str:
        raise _type_error(v, "a string")


def _opt_string(v: object) -> None:
    if v is not None:
        _string(v)


def _opt_u32(v: object) -> None:
    if v is not None:
        _u32(v)


def _enum(names: frozenset) -> Callable[[object], None]:
    def check(v: object) -> None:
        if type(v) is str:
            if v in names:
                return
            raise Bad(f"unknown variant `{v}`")
        if type(v) is dict:
            if len(v) != 1:
                raise Bad("invalid value: map, expected map with a single key")
            ((k, inner),) = v.items()
            if k not in names:
                raise Bad(f"unknown variant `{k}`")
            if inner is not None:
                raise _type_error(inner, "unit")
            return
        raise _type_error(v, "string or map")

    return check


_feed = _enum(_FEEDS)
_order_type = _enum(_ORDER_TYPES)
_fill_timing = _enum(_FILL_TIMINGS)


def _record(
    v: object, name: str, fields: tuple, checks: dict, required: tuple
) -> None:
    """Checks a record given as an object or positionally as an array."""
    t = type(v)
    if t is list:
        if len(v) > len(fields):
            raise Bad(f"invalid length {len(v)}, expected fewer elements in array")
        v = dict(zip(fields, v))
    elif t is not dict:
        raise _type_error(v, "struct " + name)
    for k, item in v.items():
        check = checks.get(k)
        if check is not None:
            check(item)
    for k in required:
        if k not in v:
            raise Bad(f"missing field `{k}`")


def _tagged(v: object, name: str, tag: str, variants: dict) -> None:
    """Checks an internally tagged value: object or positional array."""
    t = type(v)
    if t is list:
        if not v:
            raise Bad(f"missing field `{tag}`")
        kind = v[0]
        if type(kind) is not str:
            raise _type_error(kind, "variant identifier")
        variant = variants.get(kind)
        if variant is None:
            raise Bad(f"unknown variant `{kind}`")
        fields = tuple(variant)
        rest = v[1:]
        if len(rest) < len(fields) or len(rest) > len(fields):
            raise Bad(f"invalid length {len(rest)}, expected struct variant {name}")
        for (_, check), item in zip(variant.items(), rest):
            check(item)
        return
    if t is not dict:
        raise _type_error(v, "internally tagged enum " + name)
    if tag not in v:
        raise Bad(f"missing field `{tag}`")
    kind = v[tag]
    if type(kind) is not str:
        raise _type_error(kind, "variant identifier")
    variant = variants.get(kind)
    if variant is None:
        raise Bad(f"unknown variant `{kind}`")
    for k, check in variant.items():
        if k in v:
            check(v[k])
    for k in variant:
        if k not in v:
            raise Bad(f"missing field `{k}`")


_SIZING = {
    "fixed_fraction": {"fraction": _f64},
    "fixed_qty": {"qty": _f64},
    "fixed_cash": {"cash": _f64},
    "vol_target": {"target_vol": _f64, "lookback": _u32},
    "risk_per_trade": {"risk_pct": _f64},
}
_SLIPPAGE = {"fixed_bps": {"bps": _f64}, "spread": {}, "volume_impact": {"coef": _f64}}


def _sizing(v: object) -> None:
    _tagged(v, "Sizing", "type", _SIZING)


def _slippage(v: object) -> None:
    _tagged(v, "Slippage", "type", _SLIPPAGE)


_COSTS_FIELDS = ("maker_bps", "taker_bps", "slippage", "funding")
_COSTS_CHECKS = {"maker_bps": _f64, "taker_bps": _f64, "slippage": _slippage, "funding": _bool}
_RISK_FIELDS = (
    "stop_loss_pct",
    "take_profit_pct",
    "trailing_stop_pct",
    "max_leverage",
    "max_position_pct",
    "liquidation",
)
_RISK_CHECKS = {k: _opt_f64 for k in _RISK_FIELDS[:5]} | {"liquidation": _bool}
_EXEC_FIELDS = (
    "order_type",
    "fill_timing",
    "limit_offset_pct",
    "stop_offset_pct",
    "latency_bars",
    "partial_fills",
    "max_participation",
)
_EXEC_CHECKS = {
    "order_type": _order_type,
    "fill_timing": _fill_timing,
    "limit_offset_pct": _opt_f64,
    "stop_offset_pct": _opt_f64,
    "latency_bars": _u32,
    "partial_fills": _bool,
    "max_participation": _opt_f64,
}


def _costs(v: object) -> None:
    _record(v, "Costs", _COSTS_FIELDS, _COSTS_CHECKS, ())


def _risk(v: object) -> None:
    _record(v, "Risk", _RISK_FIELDS, _RISK_CHECKS, ())


def _execution(v: object) -> None:
    _record(v, "Execution", _EXEC_FIELDS, _EXEC_CHECKS, ())


def _is_operand(o: object) -> bool:
    t = type(o)
    if t is str or t is float or t is int:
        return True
    if t is not dict or len(o) != 1:
        return False
    ((k, v),) = o.items()
    if k == "price":
        if type(v) is str:
            return v in _PRICE_FIELDS
        if type(v) is dict and len(v) == 1:
            ((name, inner),) = v.items()
            return name in _PRICE_FIELDS and inner is None
        return False
    if type(v) is not list or len(v) != 2:
        return False
    if k == "prev":
        n = v[1]
        return type(n) is int and 0 <= n <= _U32_MAX and _is_operand(v[0])
    if k == "add" or k == "sub" or k == "mul" or k == "div":
        return _is_operand(v[0]) and _is_operand(v[1])
    return False


def _operand(o: object) -> None:
    if not _is_operand(o):
        raise Bad(_OPERAND)


def _tuple(v: object, n: int) -> list:
    if type(v) is not list:
        raise _type_error(v, f"a tuple of size {n}")
    if len(v) < n:
        raise Bad(f"invalid length {len(v)}, expected a tuple of size {n}")
    if len(v) > n:
        raise Bad(f"invalid length {len(v)}, expected fewer elements in array")
    return v


def _two(v: object) -> None:
    a, b = _tuple(v, 2)
    _operand(a)
    _operand(b)


def _between(v: object) -> None:
    for o in _tuple(v, 3):
        _operand(o)


def _trend(v: object) -> None:
    a, n = _tuple(v, 2)
    _operand(a)
    _u32(n)


def _conditions(v: object) -> None:
    if type(v) is not list:
        raise _type_error(v, "a sequence")
    for c in v:
        _condition(c)


def _bars_since_entry(v: object) -> None:
    if type(v) is dict:
        if len(v) != 1:
            raise Bad("invalid value: map, expected map with a single key")
        ((k, n),) = v.items()
        if k not in _BARS_KEYS:
            raise Bad(f"unknown variant `{k}`")
        _u32(n)
    elif type(v) is str:
        if v in _BARS_KEYS:
            raise Bad("invalid type: unit variant, expected newtype variant")
        raise Bad(f"unknown variant `{v}`")
    else:
        raise _type_error(v, "string or map")


_CONDITIONS: dict[str, Callable[[object], None]] = {
    "gt": _two,
    "lt": _two,
    "ge": _two,
    "le": _two,
    "eq": _two,
    "ne": _two,
    "cross_above": _two,
    "cross_below": _two,
    "between": _between,
    "rising": _trend,
    "falling": _trend,
    "all": _conditions,
    "any": _conditions,
    "not": lambda v: _condition(v),
    "in_position": _bool,
    "bars_since_entry": _bars_since_entry,
}


def _condition(c: object) -> None:
    t = type(c)
    if t is dict:
        if len(c) != 1:
            raise Bad("invalid value: map, expected map with a single key")
        ((k, v),) = c.items()
        check = _CONDITIONS.get(k)
        if check is None:
            raise Bad(f"unknown variant `{k}`")
        check(v)
    elif t is str:
        if c in _CONDITIONS:
            raise Bad("invalid type: unit variant, expected newtype variant")
        raise Bad(f"unknown variant `{c}`")
    else:
        raise _type_error(c, "string or map")


def _opt_condition(c: object) -> None:
    if c is not None:
        _condition(c)


def _params(v: object) -> None:
    if type(v) is not list:
        raise _type_error(v, "a sequence")
    for p in v:
        _f64(p)


def _opt_feed(v: object) -> None:
    if v is not None:
        _feed(v)


_INDICATOR_FIELDS = ("type", "params", "feed")
_INDICATOR_CHECKS = {"type": _string, "params": _params, "feed": _opt_feed}


def _indicators(v: object) -> None:
    if type(v) is not dict:
        raise _type_error(v, "a map")
    for spec in v.values():
        _record(spec, "IndicatorSpec", _INDICATOR_FIELDS, _INDICATOR_CHECKS, ("type",))


_STRATEGY_FIELDS = (
    "spec_version",
    "symbol",
    "ref_symbol",
    "timeframe",
    "indicators",
    "entry",
    "exit",
    "short_entry",
    "short_exit",
    "sizing",
    "costs",
    "risk",
    "execution",
    "warmup",
)
_STRATEGY_CHECKS = {
    "spec_version": _u32,
    "symbol": _string,
    "ref_symbol": _opt_string,
    "timeframe": _string,
    "indicators": _indicators,
    "entry": _condition,
    "exit": _condition,
    "short_entry": _opt_condition,
    "short_exit": _opt_condition,
    "sizing": _sizing,
    "costs": _costs,
    "risk": _risk,
    "execution": _execution,
    "warmup": _opt_u32,
}
_STRATEGY_REQUIRED = ("symbol", "timeframe", "indicators", "entry", "exit", "sizing")


def check_strategy(s: object) -> None:
    """Raises ``Bad`` unless ``s`` has the shape of a strategy document."""
    try:
        _record(s, "StrategySpec", _STRATEGY_FIELDS, _STRATEGY_CHECKS, _STRATEGY_REQUIRED)
    except Bad as e:
        raise Bad("bad spec: strategy is not a valid StrategySpec: " + str(e)) from None


# ---------------------------------------------------------------------------
# The request.


_CRATE_RE = re.compile(r"[a-z][a-z0-9_]*")
_SPEC_FIELDS = ("strategy", "target", "opt_level", "embed_data", "crate_name")


def _crate_char(ch: str) -> str:
    if "a" <= ch <= "z" or "0" <= ch <= "9":
        return ch
    if "A" <= ch <= "Z":
        return chr(ord(ch) + 32)
    return "_"


def crate_name_for(spec: dict) -> str:
    name = spec.get("crate_name")
    if name is None:
        s = spec["strategy"]
        symbol = s.get("symbol") if type(s) is dict else None
        if type(symbol) is not str:
            raise Bad("bad spec: no crate_name and the strategy has no string `symbol` to derive one")
        name = "".join(map(_crate_char, symbol))
    if _CRATE_RE.fullmatch(name) is None:
        raise Bad(
            f"bad spec: crate name {json.dumps(name, ensure_ascii=False)} is not a valid "
            "identifier (^[a-z][a-z0-9_]*$); set `crate_name`"
        )
    return name


def _decode_target(t: object) -> tuple[str, str | None]:
    if type(t) is not dict:
        raise Bad("bad compile request: invalid target")
    kind = t.get("kind")
    if kind == "wasm" or kind == "binary":
        return kind, None
    if kind == "no_std":
        mcu = t.get("mcu")
        if type(mcu) is not str:
            raise Bad("bad compile request: missing field `mcu`")
        return kind, mcu
    raise Bad("bad compile request: unknown target kind")


def _decode_opt_level(v: object) -> str:
    if v is None:
        raise Bad("bad compile request: expected value")
    if type(v) is dict and len(v) == 1:
        ((k, inner),) = v.items()
        if inner is None:
            v = k
    if type(v) is str and v in _OPT_LEVELS:
        return v
    raise Bad("bad compile request: unknown opt_level")


def _decode_embed(v: object) -> tuple[str, object] | None:
    if v is None:
        return None
    if type(v) is not dict:
        raise Bad("bad compile request: invalid embed_data")
    kind = v.get("kind")
    if kind == "csv":
        path = v.get("path")
        if type(path) is not str:
            raise Bad("bad compile request: missing field `path`")
        return "csv", path
    if kind == "inline":
        candles = v.get("candles")
        if type(candles) is not list:
            raise Bad("bad compile request: missing field `candles`")
        return "inline", candles
    raise Bad("bad compile request: unknown embed_data kind")


class _Peer:
    """The dry-run pipeline; subclasses supply the JSON reader and writers."""

    name = ""

    # --- supplied by subclasses ---
    def loads(self, text: str) -> object:
        raise NotImplementedError

    def canonical(self, v: object) -> bytes:
        """Canonical text of a value, as UTF-8 bytes."""
        raise NotImplementedError

    def string(self, s: str) -> str:
        """A string in the compact text form."""
        raise NotImplementedError

    # --- the command ---
    def command(self, text: str) -> str:
        try:
            return self._compile(text)
        except Bad as e:
            return '{"ok":false,"error":' + self.string(str(e)) + "}"

    def _compile(self, text: str) -> str:
        try:
            req = self.loads(text)
        except ValueError as e:
            raise Bad(f"invalid command envelope: {e}") from None
        if type(req) is not dict or req.get("cmd") != "compile":
            raise Bad("only compile dry runs are modelled")
        if req.get("dry_run") is not True:
            raise Bad("only compile dry runs are modelled")
        spec = req.get("spec")
        if type(spec) is list:
            spec = dict(zip(_SPEC_FIELDS, spec))
        if type(spec) is not dict:
            raise Bad("bad compile request: invalid spec")
        if "strategy" not in spec:
            raise Bad("bad compile request: missing field `strategy`")
        if "target" not in spec:
            raise Bad("bad compile request: missing field `target`")
        kind, mcu = _decode_target(spec["target"])
        opt_level = _decode_opt_level(spec["opt_level"]) if "opt_level" in spec else "release"
        embed = _decode_embed(spec.get("embed_data"))
        crate_given = spec.get("crate_name")
        if crate_given is not None and type(crate_given) is not str:
            raise Bad("bad compile request: invalid crate_name")

        strategy = spec["strategy"]
        # Pipeline steps, in order: shape, crate name, target, data.
        check_strategy(strategy)
        crate = crate_name_for(spec)
        if kind == "no_std" and mcu not in MCUS:
            raise Bad(f"bad target: mcu {json.dumps(mcu, ensure_ascii=False)} is not in the allowlist")
        spec_text = self.canonical(strategy)
        data_path = data_bytes = None
        if embed is not None and embed[0] == "csv":
            data_path = embed[1]
            try:
                with open(data_path, "rb") as f:
                    data_bytes = f.read()
            except OSError as e:
                raise Bad(f"io: reading {data_path}: {e.strerror} (os error {e.errno})") from None
            if not data_bytes.isascii():
                try:
                    data_bytes.decode("utf-8")
                except UnicodeDecodeError:
                    raise Bad(
                        f"io: reading {data_path}: stream did not contain valid UTF-8"
                    ) from None
        elif embed is not None:
            data_bytes = self.canonical(embed[1])

        # The file set, in byte order of paths.
        if mcu is not None:
            target_text = '{"kind":"no_std","mcu":' + self.string(mcu) + "}"
        else:
            target_text = '{"kind":"' + kind + '"}'
        cargo = (
            CARGO_TEMPLATES[kind]
            .replace("{{crate_name}}", crate)
            .replace("{{backtest_dep}}", BACKTEST_DEP)
            .replace("{{profile}}", PROFILES[opt_level])
            .encode()
        )
        sha = hashlib.sha256
        files: list[tuple[str, str, int]] = []  # path, digest, length
        if kind != "binary":
            config = b'[build]\ntarget = "' + (mcu or "wasm32-unknown-unknown").encode() + b'"\n'
            files.append((".cargo/config.toml", sha(config).hexdigest(), len(config)))
        files.append(("Cargo.toml", sha(cargo).hexdigest(), len(cargo)))
        if embed is not None:
            path = "src/candles.csv" if data_path is not None else "src/candles.json"
            files.append((path, sha(data_bytes).hexdigest(), len(data_bytes)))
        src_path, src = SOURCES[kind]
        files.append((src_path, _SOURCE_DIGESTS[kind], len(src)))
        files.append(("src/spec.json", sha(spec_text).hexdigest(), len(spec_text)))

        # spec_hash: canonical text of the written compile spec, in pieces.
        h = sha()
        if crate_given is not None:
            h.update(b'{"crate_name":' + self.string(crate_given).encode() + b",")
        else:
            h.update(b"{")
        if embed is not None:
            if data_path is not None:
                h.update(
                    b'"embed_data":{"kind":"csv","path":' + self.string(data_path).encode() + b"},"
                )
            else:
                h.update(b'"embed_data":{"candles":')
                h.update(data_bytes)
                h.update(b',"kind":"inline"},')
        h.update(b'"opt_level":"' + opt_level.encode() + b'","strategy":')
        h.update(spec_text)
        h.update(b',"target":' + target_text.encode() + b"}")
        spec_hash = h.hexdigest()

        listing = "".join(f"{p}\n{d}\n" for p, d, _ in files)
        project_hash = sha(listing.encode()).hexdigest()
        file_objs = ",".join(
            f'{{"path":"{p}","sha256":"{d}","bytes_len":{n}}}' for p, d, n in files
        )
        return (
            '{"target":' + target_text
            + ',"manifest":{"compiler_version":"' + VERSION
            + '","target":' + target_text
            + ',"opt_level":"' + opt_level
            + '","crate_name":"' + crate
            + '","spec_hash":"' + spec_hash
            + '","backtest_dep":"' + BACKTEST_DEP
            + '","files":[' + file_objs
            + '],"project_hash":"' + project_hash
            + '"},"built":false}'
        )


class JsonPeer(_Peer):
    """Standard library ``json`` and ``hashlib``."""

    name = "json"

    def __init__(self) -> None:
        self._canon = json.JSONEncoder(
            ensure_ascii=False, check_circular=False, sort_keys=True, separators=(",", ":")
        ).encode
        self._string = json.JSONEncoder(ensure_ascii=False, check_circular=False).encode
        self.loads = json.loads  # type: ignore[method-assign]

    def canonical(self, v: object) -> bytes:
        text = self._canon(v)
        # Floats are written as their repr: only exponent forms need rewriting
        # ("1e-05" -> "0.00001", "1.5e-07" -> "1.5e-7"); repr and the compact
        # format agree on everything else.
        if "e" in text and _EXP_HINT_STR.search(text) is not None:
            text = _EXP_TOKEN_STR.sub(_fix_exp_str, text)
        return text.encode()

    def string(self, s: str) -> str:
        return self._string(s)


class OrjsonPeer(_Peer):
    """``orjson`` and ``hashlib``."""

    name = "orjson"

    def __init__(self) -> None:
        import orjson

        self._dumps = orjson.dumps
        self._sort = orjson.OPT_SORT_KEYS
        self.loads = orjson.loads  # type: ignore[method-assign]

    def canonical(self, v: object) -> bytes:
        out = self._dumps(v, option=self._sort)
        # orjson writes large exponents without their sign ("1e16"); the
        # compact format has "1e+16". Everything else agrees.
        if b"e" in out and _EXP_HINT_BYTES.search(out) is not None:
            out = _EXP_TOKEN_BYTES.sub(_fix_exp_bytes, out)
        return out

    def string(self, s: str) -> str:
        return self._dumps(s).decode()


def peers(require_orjson: bool = False) -> list[_Peer]:
    """The available peers: always the json one, the orjson one when installed."""
    out: list[_Peer] = [JsonPeer()]
    try:
        out.append(OrjsonPeer())
    except ImportError:
        if require_orjson:
            raise
    return out
