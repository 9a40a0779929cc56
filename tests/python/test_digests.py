"""Digests: spec_hash, per-file digests and project_hash, and what moves them.

spec_hash is recomputed here from canonical texts written out by hand around
the strategy's own canonical text; per-file digests come from the template
texts; project_hash is recomputed from the response's own file list.
"""

import hashlib
import json

import pytest

from _requests import (
    VERSION_ANSWER,
    WASM_CARGO,
    render,
    MIN_STRATEGY,
    STRATEGY_ERROR,
    canonical,
    compile_request,
    error_response,
    expected_dry_run,
    params,
    strategy,
)

S = MIN_STRATEGY
C = json.dumps(json.loads(S), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def sha(text):
    return hashlib.sha256(text.encode("utf-8") if isinstance(text, str) else text).hexdigest()


def manifest(compiler, request):
    response = json.loads(compiler.command(request))
    assert "error" not in response, response
    return response["manifest"]


# ---------------------------------------------------------------------------
# spec_hash covers the written compile spec's canonical text.

SPEC_TEXTS = [
    ("strategy-and-wasm", compile_request(S),
     '{"opt_level":"release","strategy":' + C + ',"target":{"kind":"wasm"}}'),
    ("binary", compile_request(S, '{"kind":"binary"}'),
     '{"opt_level":"release","strategy":' + C + ',"target":{"kind":"binary"}}'),
    ("binary-mcu-not-written", compile_request(S, '{"mcu":"thumbv6m-none-eabi","kind":"binary"}'),
     '{"opt_level":"release","strategy":' + C + ',"target":{"kind":"binary"}}'),
    ("no-std", compile_request(S, '{"mcu":"thumbv6m-none-eabi","kind":"no_std"}'),
     '{"opt_level":"release","strategy":' + C + ',"target":{"kind":"no_std","mcu":"thumbv6m-none-eabi"}}'),
    ("level-debug", compile_request(S, opt_level='"debug"'),
     '{"opt_level":"debug","strategy":' + C + ',"target":{"kind":"wasm"}}'),
    ("level-size-map-form", compile_request(S, opt_level='{"size":null}'),
     '{"opt_level":"size","strategy":' + C + ',"target":{"kind":"wasm"}}'),
    ("crate-name", compile_request(S, crate_name='"mine"'),
     '{"crate_name":"mine","opt_level":"release","strategy":' + C + ',"target":{"kind":"wasm"}}'),
    ("crate-name-equal-to-derived", compile_request(S, crate_name='"btc_usdt"'),
     '{"crate_name":"btc_usdt","opt_level":"release","strategy":' + C + ',"target":{"kind":"wasm"}}'),
    ("inline", compile_request(S, embed_data='{"kind":"inline","candles":[{"o":1,"c":2.5},[3]]}'),
     '{"embed_data":{"candles":[{"c":2.5,"o":1},[3]],"kind":"inline"},"opt_level":"release","strategy":' + C
     + ',"target":{"kind":"wasm"}}'),
    ("everything", compile_request(S, '{"kind":"no_std","mcu":"thumbv7m-none-eabi"}', opt_level='"size"',
                                   embed_data='{"candles":[],"kind":"inline"}', crate_name='"z"'),
     '{"crate_name":"z","embed_data":{"candles":[],"kind":"inline"},"opt_level":"size","strategy":' + C
     + ',"target":{"kind":"no_std","mcu":"thumbv7m-none-eabi"}}'),
    ("unknown-keys-in-request-not-written",
     '{"cmd":"compile","dry_run":true,"x":1,"spec":{"y":2,"strategy":' + S + ',"target":{"kind":"wasm","z":3}}}',
     '{"opt_level":"release","strategy":' + C + ',"target":{"kind":"wasm"}}'),
]


@pytest.mark.parametrize(("request_text", "written"), [c[1:] for c in SPEC_TEXTS], ids=[c[0] for c in SPEC_TEXTS])
def test_spec_hash_is_digest_of_written_spec(compiler, request_text, written):
    assert manifest(compiler, request_text)["spec_hash"] == sha(written)


def test_spec_hash_covers_csv_path_not_contents(compiler, workdir):
    (workdir / "d.csv").write_bytes(b"a,b\n1,2\n")
    request = compile_request(S, embed_data='{"path":"d.csv","kind":"csv"}')
    written = '{"embed_data":{"kind":"csv","path":"d.csv"},"opt_level":"release","strategy":' + C \
        + ',"target":{"kind":"wasm"}}'
    assert manifest(compiler, request)["spec_hash"] == sha(written)


def test_strategy_numbers_and_strings_in_spec_hash(compiler):
    # Integers, signed integers, floats and non-ASCII strings, written the way
    # the canonical text writes them.
    strategy_text = strategy(extra='{"u":18446744073709551615,"n":-9223372036854775808,"f":[1.0,0.5,-2.25],'
                                   '"s":"\u00e9\\u00e9\\"\\n\\t/\\u0001","\u00e9":1,"Z":2,"a":3}')
    written = (
        '{"opt_level":"release","strategy":{"entry":{"gt":["a",1]},"exit":{"lt":["a",1]},'
        '"extra":{"Z":2,"a":3,"f":[1.0,0.5,-2.25],"n":-9223372036854775808,"s":"\u00e9\u00e9\\"\\n\\t/\\u0001",'
        '"u":18446744073709551615,"\u00e9":1},"indicators":{},"sizing":{"fraction":0.1,"type":"fixed_fraction"},'
        '"symbol":"BTC/USDT","timeframe":"1h"},"target":{"kind":"wasm"}}'
    )
    got = manifest(compiler, compile_request(strategy_text))
    assert got["spec_hash"] == sha(written)
    spec_file = [f for f in got["files"] if f["path"] == "src/spec.json"]
    strategy_canonical = written[len('{"opt_level":"release","strategy":'):-len(',"target":{"kind":"wasm"}}')]
    assert spec_file == [{"path": "src/spec.json", "sha256": sha(strategy_canonical),
                          "bytes_len": len(strategy_canonical.encode())}]


# ---------------------------------------------------------------------------
# Requests that differ only in key order and whitespace answer byte for byte
# the same.

PRETTY = json.dumps(json.loads(S), indent=4)
REORDERED = ('{ "sizing" : {"fraction":0.1, "type":"fixed_fraction"},\n\t"exit":{"lt":["a",1]},'
             '"entry" : { "gt" : [ "a" , 1 ] } , "indicators":{ },"timeframe":"1h","symbol":"BTC/USDT"}')

WASM = {"kind": "wasm"}
QTY = strategy(sizing='{"type":"fixed_qty","qty":0.5}')
INLINE = {"kind": "inline", "candles": [{"o": 1, "c": 2}]}
NO_STD = {"kind": "no_std", "mcu": "thumbv6m-none-eabi"}

SAME_ANSWER = [
    ("strategy-key-order-and-blanks", [compile_request(S), compile_request(REORDERED), compile_request(PRETTY)],
     expected_dry_run(S, crate="btc_usdt")),
    ("request-key-order", [
        compile_request(S, '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}', opt_level='"size"', crate_name='"k"'),
        '{"dry_run":true,"spec":{"crate_name":"k","opt_level":"size","target":{"mcu":"thumbv6m-none-eabi",'
        '"kind":"no_std"},"strategy":' + REORDERED + '},"cmd":"compile"}',
        '{\r\n  "spec" : {\r\n    "target" : { "mcu" : "thumbv6m-none-eabi" , "kind" : "no_std" } ,\r\n'
        '    "strategy" : ' + PRETTY + ' ,\r\n    "opt_level" : "size" ,\r\n    "crate_name" : "k"\r\n  } ,\r\n'
        '  "cmd" : "compile" ,\r\n  "dry_run" : true\r\n}\r\n',
    ], expected_dry_run(S, NO_STD, crate="k", crate_name="k", opt_level="size")),
    ("inline-candles-key-order", [
        compile_request(S, embed_data='{"kind":"inline","candles":[{"o":1,"c":2}]}'),
        compile_request(S, embed_data='{ "candles" : [ { "c" : 2 , "o" : 1 } ] , "kind" : "inline" }'),
    ], expected_dry_run(S, crate="btc_usdt", embed=INLINE)),
    ("opt-level-default", [compile_request(S), compile_request(S, opt_level='"release"'),
                           compile_request(S, opt_level='{"release":null}')], expected_dry_run(S, crate="btc_usdt")),
    ("embed-data-null", [compile_request(S), compile_request(S, embed_data="null")],
     expected_dry_run(S, crate="btc_usdt")),
    ("crate-name-null", [compile_request(S), compile_request(S, crate_name="null")],
     expected_dry_run(S, crate="btc_usdt")),
    ("binary-mcu-ignored", [compile_request(S, '{"kind":"binary"}'),
                            compile_request(S, '{"kind":"binary","mcu":"thumbv6m-none-eabi"}')],
     expected_dry_run(S, {"kind": "binary"}, crate="btc_usdt")),
    ("unknown-request-keys", [compile_request(S),
                              '{"cmd":"compile","a":[{}],"spec":{"strategy":' + S
                              + ',"b":null,"target":{"kind":"wasm","c":1}},"dry_run":true}'],
     expected_dry_run(S, crate="btc_usdt")),
    ("same-float", [compile_request(QTY),
                    compile_request(strategy(sizing='{"type":"fixed_qty","qty":0.50}')),
                    compile_request(strategy(sizing='{"type":"fixed_qty","qty":5e-1}'))],
     expected_dry_run(QTY, crate="btc_usdt")),
    ("escapes-resolved", [compile_request(S), compile_request(S.replace("BTC", "\\u0042T\\u0043"))],
     expected_dry_run(S, crate="btc_usdt")),
    ("repeated-key-last-wins", [compile_request(S),
                                compile_request(strategy(symbol='"ETH"', timeframe='"2h","timeframe":"1h",'
                                                                                   '"symbol":"BTC/USDT"'))],
     expected_dry_run(S, crate="btc_usdt")),
    ("strategy-error", [compile_request(strategy(costs='{"funding":1,"maker_bps":0}')),
                        compile_request('{ "costs" : { "maker_bps" : 0 , "funding" : 1 } }')],
     error_response(STRATEGY_ERROR + "invalid type: integer `1`, expected a boolean")),
    ("artifact-bytes-error", ['{"cmd":"artifact_bytes","path":"no/such"}',
                              '{"path" : "no/such" ,\n "cmd" : "artifact_bytes"}'],
     error_response("reading no/such: No such file or directory (os error 2)")),
    ("version", ['{"cmd":"version"}', '{ "x" : [ ] ,\n"cmd":"version" }'],
     VERSION_ANSWER),
]


@pytest.mark.parametrize(("requests", "expected"), params(SAME_ANSWER))
def test_key_order_and_whitespace_do_not_matter(compiler, workdir, requests, expected):
    assert [compiler.command(r) for r in requests] == [expected] * len(requests)


def test_reordered_strategy_answer_is_the_modelled_one(compiler):
    assert compiler.command(compile_request(REORDERED)) == expected_dry_run(S, crate="btc_usdt")


def test_strategy_error_answer_is_exact(compiler):
    response = compiler.command(compile_request('{ "costs" : { "maker_bps" : 0 , "funding" : 1 } }'))
    assert response == error_response(STRATEGY_ERROR + "invalid type: integer `1`, expected a boolean")


# ---------------------------------------------------------------------------
# What each change moves in the manifest.


def changed(before, after):
    out = set()
    for key in before:
        if key == "files":
            old = {f["path"]: f for f in before["files"]}
            new = {f["path"]: f for f in after["files"]}
            out |= {f"files:{p}" for p in old.keys() | new.keys() if old.get(p) != new.get(p)}
        elif before[key] != after[key]:
            out.add(key)
    return out


CHANGES = [
    ("integer-to-float-in-strategy", compile_request(strategy(entry='{"gt":["a",1.0]}')),
     {"spec_hash", "files:src/spec.json", "project_hash"}),
    ("unknown-key-in-strategy", compile_request(strategy(note='"x"')),
     {"spec_hash", "files:src/spec.json", "project_hash"}),
    ("unknown-null-key-in-strategy", compile_request(strategy(note="null")),
     {"spec_hash", "files:src/spec.json", "project_hash"}),
    ("default-written-out-in-strategy", compile_request(strategy(spec_version="1")),
     {"spec_hash", "files:src/spec.json", "project_hash"}),
    ("level-size", compile_request(S, opt_level='"size"'),
     {"spec_hash", "opt_level", "files:Cargo.toml", "project_hash"}),
    ("level-debug", compile_request(S, opt_level='"debug"'),
     {"spec_hash", "opt_level", "files:Cargo.toml", "project_hash"}),
    ("crate-name-equal-to-derived", compile_request(S, crate_name='"btc_usdt"'), {"spec_hash"}),
    ("crate-name-different", compile_request(S, crate_name='"btc_usdu"'),
     {"spec_hash", "crate_name", "files:Cargo.toml", "project_hash"}),
    ("symbol-same-crate", compile_request(strategy(symbol='"BTC-USDT"')),
     {"spec_hash", "files:src/spec.json", "project_hash"}),
    ("binary-target", compile_request(S, '{"kind":"binary"}'),
     {"spec_hash", "target", "files:.cargo/config.toml", "files:Cargo.toml", "files:src/lib.rs",
      "files:src/main.rs", "project_hash"}),
    ("inline-empty", compile_request(S, embed_data='{"kind":"inline","candles":[]}'),
     {"spec_hash", "files:src/candles.json", "project_hash"}),
]


@pytest.mark.parametrize(("request_text", "moved"), [c[1:] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_what_a_change_moves(compiler, request_text, moved):
    base = manifest(compiler, compile_request(S))
    assert changed(base, manifest(compiler, request_text)) == moved


def test_csv_rename_and_content_change(compiler, workdir):
    (workdir / "a.csv").write_bytes(b"t,c\n1,2\n")
    (workdir / "b.csv").write_bytes(b"t,c\n1,2\n")
    (workdir / "c.csv").write_bytes(b"t,c\n1,3\n")
    a, b, c = (manifest(compiler, compile_request(S, embed_data='{"kind":"csv","path":"%s"}' % name))
               for name in ("a.csv", "b.csv", "c.csv"))
    assert changed(a, b) == {"spec_hash"}
    assert changed(b, c) == {"spec_hash", "files:src/candles.csv", "project_hash"}
    (workdir / "a.csv").write_bytes(b"t,c\n1,3\n")
    assert changed(a, manifest(compiler, compile_request(S, embed_data='{"kind":"csv","path":"a.csv"}'))) == {
        "files:src/candles.csv", "project_hash"}


def test_mcu_change(compiler):
    first = manifest(compiler, compile_request(S, '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}'))
    second = manifest(compiler, compile_request(S, '{"kind":"no_std","mcu":"thumbv7m-none-eabi"}'))
    assert changed(first, second) == {"spec_hash", "target", "files:.cargo/config.toml", "project_hash"}


# ---------------------------------------------------------------------------
# File lists and sizes per target, and project_hash over them.

SPEC_LEN = len(C.encode())
FILE_SIZES = [
    ("wasm-release", '{"kind":"wasm"}', None, "btc_usdt",
     [(".cargo/config.toml", 42), ("Cargo.toml", 328), ("src/lib.rs", 626), ("src/spec.json", SPEC_LEN)]),
    ("wasm-debug", '{"kind":"wasm"}', '"debug"', "btc_usdt",
     [(".cargo/config.toml", 42), ("Cargo.toml", 281), ("src/lib.rs", 626), ("src/spec.json", SPEC_LEN)]),
    ("wasm-size", '{"kind":"wasm"}', '"size"', "btc_usdt",
     [(".cargo/config.toml", 42), ("Cargo.toml", 373), ("src/lib.rs", 626), ("src/spec.json", SPEC_LEN)]),
    ("wasm-one-letter-crate", '{"kind":"wasm"}', None, "a",
     [(".cargo/config.toml", 42), ("Cargo.toml", 321), ("src/lib.rs", 626), ("src/spec.json", SPEC_LEN)]),
    ("binary-release", '{"kind":"binary"}', None, "btc_usdt",
     [("Cargo.toml", 276), ("src/main.rs", 432), ("src/spec.json", SPEC_LEN)]),
    ("binary-debug", '{"kind":"binary"}', '"debug"', "btc_usdt",
     [("Cargo.toml", 229), ("src/main.rs", 432), ("src/spec.json", SPEC_LEN)]),
    ("binary-size", '{"kind":"binary"}', '"size"', "btc_usdt",
     [("Cargo.toml", 321), ("src/main.rs", 432), ("src/spec.json", SPEC_LEN)]),
    ("no-std-release", '{"kind":"no_std","mcu":"thumbv7em-none-eabihf"}', None, "btc_usdt",
     [(".cargo/config.toml", 41), ("Cargo.toml", 267), ("src/lib.rs", 1014), ("src/spec.json", SPEC_LEN)]),
    ("no-std-debug", '{"kind":"no_std","mcu":"riscv32imac-unknown-none-elf"}', '"debug"', "btc_usdt",
     [(".cargo/config.toml", 48), ("Cargo.toml", 220), ("src/lib.rs", 1014), ("src/spec.json", SPEC_LEN)]),
    ("no-std-size", '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}', '"size"', "btc_usdt",
     [(".cargo/config.toml", 38), ("Cargo.toml", 312), ("src/lib.rs", 1014), ("src/spec.json", SPEC_LEN)]),
]


@pytest.mark.parametrize(("target", "level", "crate", "sizes"), params(FILE_SIZES))
def test_file_lists_and_sizes(compiler, target, level, crate, sizes):
    crate_name = None if crate == "btc_usdt" else f'"{crate}"'
    got = manifest(compiler, compile_request(S, target, opt_level=level, crate_name=crate_name))
    assert [(f["path"], f["bytes_len"]) for f in got["files"]] == sizes


DATA_FILE_LISTS = [
    ("wasm-inline", '{"kind":"wasm"}', "inline",
     [".cargo/config.toml", "Cargo.toml", "src/candles.json", "src/lib.rs", "src/spec.json"]),
    ("wasm-csv", '{"kind":"wasm"}', "csv",
     [".cargo/config.toml", "Cargo.toml", "src/candles.csv", "src/lib.rs", "src/spec.json"]),
    ("binary-inline", '{"kind":"binary"}', "inline", ["Cargo.toml", "src/candles.json", "src/main.rs", "src/spec.json"]),
    ("binary-csv", '{"kind":"binary"}', "csv", ["Cargo.toml", "src/candles.csv", "src/main.rs", "src/spec.json"]),
    ("no-std-csv", '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}', "csv",
     [".cargo/config.toml", "Cargo.toml", "src/candles.csv", "src/lib.rs", "src/spec.json"]),
    ("no-std-inline", '{"kind":"no_std","mcu":"thumbv6m-none-eabi"}', "inline",
     [".cargo/config.toml", "Cargo.toml", "src/candles.json", "src/lib.rs", "src/spec.json"]),
]


@pytest.mark.parametrize(("target", "kind", "paths"), [c[1:] for c in DATA_FILE_LISTS],
                         ids=[c[0] for c in DATA_FILE_LISTS])
def test_file_lists_with_data(compiler, workdir, target, kind, paths):
    (workdir / "d.csv").write_bytes(b"t,c\r\n1,2")
    embed = '{"kind":"inline","candles":[[1,2]]}' if kind == "inline" else '{"kind":"csv","path":"d.csv"}'
    got = manifest(compiler, compile_request(S, target, embed_data=embed))
    assert [f["path"] for f in got["files"]] == paths
    data = [f for f in got["files"] if f["path"].startswith("src/candles.")]
    text = b"[[1,2]]" if kind == "inline" else b"t,c\r\n1,2"
    assert [(f["sha256"], f["bytes_len"]) for f in data] == [(sha(text), len(text))]


PROJECT_REQUESTS = [
    ("wasm", compile_request(S)),
    ("binary-debug", compile_request(S, '{"kind":"binary"}', opt_level='"debug"')),
    ("no-std-size", compile_request(S, '{"kind":"no_std","mcu":"thumbv8m.main-none-eabihf"}', opt_level='"size"')),
    ("inline", compile_request(S, embed_data='{"kind":"inline","candles":[]}')),
]


@pytest.mark.parametrize("request_text", [c[1] for c in PROJECT_REQUESTS], ids=[c[0] for c in PROJECT_REQUESTS])
def test_project_hash_from_file_list(compiler, request_text):
    got = manifest(compiler, request_text)
    listing = "".join(f["path"] + "\n" + f["sha256"] + "\n" for f in got["files"])
    assert got["project_hash"] == sha(listing)
    assert [f["path"] for f in got["files"]] == sorted(f["path"] for f in got["files"])


WASM_BTC_USDT_RELEASE_CARGO = render(WASM_CARGO, "btc_usdt", "release")
WASM_CONFIG = '[build]\ntarget = "wasm32-unknown-unknown"\n'


def test_wasm_project_digests(compiler):
    got = manifest(compiler, compile_request(S))
    files = [(f["path"], f["sha256"]) for f in got["files"]]
    assert files[:2] == [(".cargo/config.toml", sha(WASM_CONFIG)), ("Cargo.toml", sha(WASM_BTC_USDT_RELEASE_CARGO))]
    assert files[3] == ("src/spec.json", sha(C))
    expected_project = sha("".join(f"{p}\n{d}\n" for p, d in files))
    assert got["project_hash"] == expected_project
    assert got == json.loads(expected_dry_run(S, crate="btc_usdt"))["manifest"]


def test_debug_manifest_ends_with_blank_line(compiler):
    got = manifest(compiler, compile_request(S, opt_level='"debug"'))
    text = WASM_BTC_USDT_RELEASE_CARGO[:-len("[profile.release]\nlto = true\ncodegen-units = 1\n")]
    assert text.endswith('wasm-bindgen = "0.2"\n\n')
    assert [f["sha256"] for f in got["files"] if f["path"] == "Cargo.toml"] == [sha(text)]


@pytest.mark.parametrize(("candles_text", "canonical_text"), [
    ("[]", "[]"),
    ('[{"b":1,"a":2}]', '[{"a":2,"b":1}]'),
    ('[ 1.50 , -0.25 , "x" , null , { } ]', '[1.5,-0.25,"x",null,{}]'),
], ids=["empty", "sorted-keys", "compact"])
def test_inline_candles_digest(compiler, candles_text, canonical_text):
    assert canonical(json.loads(candles_text)) == canonical_text
    got = manifest(compiler, compile_request(S, embed_data='{"kind":"inline","candles":' + candles_text + "}"))
    assert [(f["sha256"], f["bytes_len"]) for f in got["files"] if f["path"] == "src/candles.json"] == [
        (sha(canonical_text), len(canonical_text))]
