"""The benchmark peers answer the compile dry runs byte for byte like the module.

The peers in bench/peers.py are what the harness compares the module against,
so they must do the same work and give the same answers. These tests run them
on the benchmark workloads (the ~2 KB strategy for every target and level, a
1 MB inline dataset, a CSV dataset) and on documents that stress the float
format, string escaping and key order. The orjson peer is checked where orjson
is installed.
"""

import json
import random
import struct
import sys
from pathlib import Path

import pytest

from orvane_compile import Compiler

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
try:
    import peers  # noqa: E402
    import workloads  # noqa: E402
finally:
    sys.path.remove(str(BENCH))


def _peer_params():
    params = [pytest.param("json", id="json")]
    try:
        import orjson  # noqa: F401

        params.append(pytest.param("orjson", id="orjson"))
    except ImportError:
        params.append(
            pytest.param("orjson", id="orjson", marks=pytest.mark.skip(reason="orjson not installed"))
        )
    return params


@pytest.fixture(params=_peer_params())
def peer(request):
    return peers.JsonPeer() if request.param == "json" else peers.OrjsonPeer()


def _same(peer, text):
    ours = Compiler().command(text)
    assert '"ok":false' not in ours, ours
    assert peer.command(text) == ours


TARGETS = [
    {"kind": "wasm"},
    {"kind": "binary"},
    {"kind": "no_std", "mcu": "thumbv6m-none-eabi"},
    {"kind": "no_std", "mcu": "riscv32imac-unknown-none-elf"},
]


@pytest.mark.parametrize("target", TARGETS, ids=lambda t: t.get("mcu", t["kind"]))
@pytest.mark.parametrize("opt_level", ["debug", "release", "size", None])
def test_small_workload(peer, target, opt_level):
    _same(peer, workloads.small_request(target, opt_level))


def test_small_workload_with_crate_name(peer):
    req = workloads.compile_request(workloads.strategy(), crate_name="given_name")
    _same(peer, json.dumps(req))


def test_one_megabyte_inline_workload(peer):
    _same(peer, workloads.inline_request(workloads.MB))


def test_many_candles_with_crate_name(peer):
    # Enough candles that their text is digested while it is written, with a crate name and
    # an mcu in the digested spec around them.
    req = json.loads(workloads.inline_request(3 * workloads.MB, target={"kind": "no_std", "mcu": "thumbv7em-none-eabihf"}))
    req["spec"]["crate_name"] = "many_candles"
    assert len(req["spec"]["embed_data"]["candles"]) > 30000
    _same(peer, json.dumps(req))


def test_empty_inline_dataset(peer):
    req = workloads.compile_request(
        workloads.strategy(), {"kind": "binary"}, embed_data={"kind": "inline", "candles": []}
    )
    _same(peer, json.dumps(req))


def test_csv_workload(peer, tmp_path):
    path = tmp_path / "candles.csv"
    workloads.write_csv(path, 300_000)
    _same(peer, workloads.csv_request(path))
    _same(peer, workloads.csv_request(path, {"kind": "wasm"}, "size"))


def test_csv_with_bom_and_crlf(peer, tmp_path):
    path = tmp_path / "odd.csv"
    path.write_bytes("\ufefft,o\r\n1,2.5\r\n3,é".encode())
    _same(peer, workloads.csv_request(path))


def _edge_strategy():
    s = workloads.strategy()
    s["indicators"]["pos"] = ["ema", [9, 1e-7, 2.5e-5, 1e-5], "trade"]
    s["indicators"]["big"] = {"type": "x", "params": [1e16, 1.7976931348623157e308, -5e-324]}
    s["entry"] = {"all": [s["entry"], {"gt": [{"price": {"close": None}}, -0.0]}]}
    s["zz"] = {
        "floats": [0.1, 0.30000000000000004, 1e15, 9999000000000000.0, 1e22, 123456789.125, 1e-6],
        "ints": [0, 18446744073709551615, -9223372036854775808, -1],
        "text": "quote\" back\\ ctl\x01\x1f\x7f tab\t nl\n cr\r bs\b ff\f /\u2028\u2029 é 😀",
        "é": 1,
        "\ufb00": 2,
        "\U0001f600": 3,
        "Z": [],
        "a": {},
        "ab": [{"d": 1.0, "c": "x"}],
        "1e5 inside a string, 2e-05 too": "3e+16",
    }
    return s


def test_edge_documents(peer):
    strat = _edge_strategy()
    for ensure_ascii in (True, False):
        req = workloads.compile_request(strat, {"kind": "wasm"})
        _same(peer, json.dumps(req, ensure_ascii=ensure_ascii))
        req = workloads.compile_request(
            strat, {"kind": "binary"}, embed_data={"kind": "inline", "candles": [strat, 1e-9, "x"]}
        )
        _same(peer, json.dumps(req, ensure_ascii=ensure_ascii, indent=1))


def test_positional_forms(peer):
    s = workloads.strategy()
    s["costs"] = [1.0, 2]
    s["sizing"] = ["fixed_qty", 3]
    s["risk"] = []
    _same(peer, json.dumps(workloads.compile_request(s)))
    positional = [1, "ETH-PERP", None, "4h", {}, {"in_position": False}, {"in_position": True},
                  None, None, {"type": "fixed_fraction", "fraction": 0.1}]
    _same(peer, json.dumps(workloads.compile_request(positional, crate_name="pos")))


INVALID = [
    ("symbol", None),
    ("symbol", 5),
    ("spec_version", 1.0),
    ("spec_version", -1),
    ("warmup", "x"),
    ("indicators", []),
    ("indicators", {"a": {"params": [14]}}),
    ("indicators", {"a": {"type": "ema", "params": [14, "x"]}}),
    ("indicators", {"a": {"type": "ema", "feed": "candles"}}),
    ("entry", {"gt": ["a"]}),
    ("entry", {"gt": ["a", True]}),
    ("entry", {"gt": ["a", {"price": "mid"}]}),
    ("entry", {"gt": ["a", {"prev": ["a", -1]}]}),
    ("entry", {"rising": ["a", 2.5]}),
    ("entry", {"all": {"gt": [1, 2]}}),
    ("entry", {"not": "in_position"}),
    ("entry", {"bars_since_entry": {"ne": 3}}),
    ("entry", {}),
    ("exit", {"gt": [1, 2], "lt": [1, 2]}),
    ("short_entry", {"nope": []}),
    ("sizing", {"fraction": 0.1}),
    ("sizing", {"type": "vol_target", "target_vol": 0.2, "lookback": 20.0}),
    ("sizing", ["fixed_qty"]),
    ("costs", None),
    ("costs", {"slippage": {"type": "volume_impact"}}),
    ("costs", [1, 2, {"type": "spread"}, False, 5]),
    ("risk", {"liquidation": None}),
    ("execution", {"order_type": "x"}),
    ("execution", {"fill_timing": {"close": 1}}),
    ("execution", {"latency_bars": 4294967296}),
]


@pytest.mark.parametrize("key,value", INVALID, ids=[f"{k}={v!r}"[:40] for k, v in INVALID])
def test_peers_reject_what_the_module_rejects(peer, key, value):
    s = workloads.strategy()
    s[key] = value
    text = json.dumps(workloads.compile_request(s))
    ours = Compiler().command(text)
    assert ours.startswith('{"ok":false,"error":"bad spec: strategy is not a valid StrategySpec: ')
    assert peer.command(text).startswith(ours[: ours.index("StrategySpec: ")])


@pytest.mark.parametrize(
    "spec_changes,prefix",
    [
        ({"crate_name": "1000pepe"}, "bad spec: crate name"),
        ({"target": {"kind": "no_std", "mcu": "thumbv6m"}}, "bad target: mcu"),
        ({"embed_data": {"kind": "csv", "path": "/nonexistent/x.csv"}}, "io: reading "),
    ],
)
def test_peers_reject_pipeline_failures(peer, spec_changes, prefix):
    req = workloads.compile_request(workloads.strategy())
    req["spec"].update(spec_changes)
    text = json.dumps(req)
    ours = json.loads(Compiler().command(text))
    theirs = json.loads(peer.command(text))
    assert ours["error"].startswith(prefix)
    assert theirs == ours


def test_float_format():
    cases = [
        (100.0, "100.0"), (1e15, "1000000000000000.0"), (1e16, "1e+16"), (2.5e-5, "0.000025"),
        (1e-5, "0.00001"), (1e-6, "1e-6"), (1.5e-7, "1.5e-7"), (12.5, "12.5"),
        (1.7976931348623157e308, "1.7976931348623157e+308"), (5e-324, "5e-324"),
        (9999000000000000.0, "9999000000000000.0"), (0.30000000000000004, "0.30000000000000004"),
        (1.8446744073709552e19, "1.8446744073709552e+19"), (-0.0, "-0.0"), (0.0, "0.0"),
        (-9.223372036854776e18, "-9.223372036854776e+18"),
    ]
    for v, text in cases:
        assert peers.format_float(v) == text


def test_peer_canonical_floats_round_trip(peer):
    rng = random.Random(5)
    values = []
    while len(values) < 5000:
        v = struct.unpack("<d", rng.randbytes(8))[0]
        if v == v and abs(v) != float("inf"):
            values.append(v)
        values.append(rng.uniform(-1, 1) * 10.0 ** rng.randint(-8, 20))
    out = peer.canonical(values).decode()
    assert out == "[" + ",".join(map(peers.format_float, values)) + "]"
    assert json.loads(out) == values


def test_workloads_are_deterministic_and_sized():
    a = workloads.inline_request(workloads.MB)
    assert a == workloads.inline_request(workloads.MB)
    assert workloads.MB <= len(a) < workloads.MB + 200
    doc = json.loads(a)
    assert json.dumps(doc) == a
    bars = doc["spec"]["embed_data"]["candles"]
    assert bars[0] == {"t": 1700000000000, "o": 42000.0, "h": bars[0]["h"], "l": bars[0]["l"],
                       "c": bars[0]["c"], "v": bars[0]["v"]}
    assert all(b["t"] - a["t"] == 60000 for a, b in zip(bars, bars[1:]))
    assert all(round(b[k], 2) == b[k] for b in bars for k in "ohlc")
    assert all(round(b["v"], 4) == b["v"] and b["l"] <= min(b["o"], b["c"]) for b in bars)
    assert bars[:3] == workloads.candles(3)
    assert 2000 <= len(json.dumps(workloads.strategy())) <= 2600
