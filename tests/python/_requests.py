"""Request builders and an independent model of compile answers.

The model rebuilds a generated project from the core's template files and
digests it with hashlib, so tests can compare whole response texts instead of
picking single fields out of them. Canonical text is produced with
``json.dumps(..., sort_keys=True, separators=(",", ":"), ensure_ascii=False)``,
which writes strings, integers and object keys exactly as the compiler does.
Floats agree only for magnitudes from 1e-4 up to (not including) 1e16 and
for exponents of two digits or more; documents given to the model keep to
those.
"""

import hashlib
import json
import re
from pathlib import Path

import pytest

# The repository, found from this file: the tests run against an installed wheel.
ROOT = Path(__file__).resolve().parents[2]

# The versions, from the one header that holds them.
_VERSIONS = (ROOT / "core" / "src" / "versions.hpp").read_text(encoding="utf-8")
VERSION = re.search(r'kCompilerVersion = "([^"]+)"', _VERSIONS).group(1)
BACKTEST_DEP = re.search(r'kBacktestDep = "([^"]+)"', _VERSIONS).group(1)
# The answer to {"cmd":"version"}.
VERSION_ANSWER = f'{{"version":"{VERSION}","backtest_dep":"{BACKTEST_DEP}"}}'
# The MCU triples no_std builds for, from the core's own table.
_TARGET_TABLE = (ROOT / "core" / "src" / "builder" / "target_table.hpp").read_text(encoding="utf-8")
MCUS = tuple(re.findall(r'"([^"]+)"', re.search(r"kMcuAllowList = \{(.*?)\};", _TARGET_TABLE, re.S).group(1)))
# The answer to {"cmd":"targets"}.
TARGETS_ANSWER = json.dumps({"targets": ["wasm", "binary", "no_std"], "mcus": list(MCUS)}, separators=(",", ":"))
STRATEGY_ERROR = "bad spec: strategy is not a valid StrategySpec: "
CRATE_RULE = " is not a valid identifier (^[a-z][a-z0-9_]*$); set `crate_name`"
NO_SYMBOL = "bad spec: no crate_name and the strategy has no string `symbol` to derive one"
ENVELOPE_ERROR = "invalid command envelope: expected {\"cmd\":...}"



def params(table, marks=None):
    """pytest params from rows (id, value, ...), with marks by id."""
    marks = marks or {}
    return [pytest.param(*row[1:], id=row[0], marks=marks.get(row[0], ())) for row in table]


# ---------------------------------------------------------------------------
# Generated project templates, read from the files the core compiles in.

TEMPLATES = ROOT / "core" / "templates"


def _template(name):
    return (TEMPLATES / name).read_text(encoding="utf-8")


WASM_CARGO = _template("wasm.Cargo.toml")
BINARY_CARGO = _template("binary.Cargo.toml")
NO_STD_CARGO = _template("no_std.Cargo.toml")
WASM_LIB = _template("wasm.lib.rs")
BINARY_MAIN = _template("binary.main.rs")
NO_STD_LIB = _template("no_std.lib.rs")

RELEASE_PROFILE = "[profile.release]\nlto = true\ncodegen-units = 1\n"
SIZE_PROFILE = (
    "[profile.release]\n"
    "opt-level = \"z\"\n"
    "lto = true\n"
    "codegen-units = 1\n"
    "panic = \"abort\"\n"
    "strip = true\n"
)
PROFILES = {"debug": "", "release": RELEASE_PROFILE, "size": SIZE_PROFILE}

CARGO_TEMPLATES = {"wasm": WASM_CARGO, "binary": BINARY_CARGO, "no_std": NO_STD_CARGO}


# ---------------------------------------------------------------------------
# JSON text and digests.


def compact(value):
    """Compact text with keys in the order the value holds them."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def canonical(value):
    """Compact text with keys sorted at every depth."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def sha256_hex(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.sha256(data).hexdigest()


def error_response(message):
    return compact({"ok": False, "error": message})


def project_hash(files):
    """Digest of a file set given as (path, sha256 hex) pairs in path order."""
    listing = "".join(f"{path}\n{digest}\n" for path, digest in files)
    return sha256_hex(listing)


# ---------------------------------------------------------------------------
# Request builders.

BASE_MEMBERS = (
    ("symbol", '"BTC/USDT"'),
    ("timeframe", '"1h"'),
    ("indicators", "{}"),
    ("entry", '{"gt":["a",1]}'),
    ("exit", '{"lt":["a",1]}'),
    ("sizing", '{"type":"fixed_fraction","fraction":0.1}'),
)


def strategy(drop=(), **members):
    """The smallest valid strategy as compact text.

    Keyword arguments give raw JSON text for a member: a base member keeps its
    place, a new one is appended in argument order. ``drop`` names base
    members to leave out.
    """
    out = []
    for key, text in BASE_MEMBERS:
        if key in drop:
            continue
        out.append((key, members.pop(key, text)))
    out.extend(members.items())
    return "{" + ",".join(f'"{key}":{text}' for key, text in out) + "}"


MIN_STRATEGY = strategy()


def compile_request(strategy_text, target='{"kind":"wasm"}', *, dry_run="true",
                    opt_level=None, embed_data=None, crate_name=None, out_dir=None):
    """A compact compile command; every optional part is raw JSON text."""
    spec = [f'"strategy":{strategy_text}', f'"target":{target}']
    if opt_level is not None:
        spec.append(f'"opt_level":{opt_level}')
    if embed_data is not None:
        spec.append(f'"embed_data":{embed_data}')
    if crate_name is not None:
        spec.append(f'"crate_name":{crate_name}')
    parts = ['"cmd":"compile"', '"spec":{' + ",".join(spec) + "}"]
    if dry_run is not None:
        parts.append(f'"dry_run":{dry_run}')
    if out_dir is not None:
        parts.append(f'"out_dir":{out_dir}')
    return "{" + ",".join(parts) + "}"


# ---------------------------------------------------------------------------
# The model of a generated project and its manifest.


def cargo_config(triple):
    return f'[build]\ntarget = "{triple}"\n'


def render(template, crate, opt_level):
    text = template.replace("{{crate_name}}", crate)
    text = text.replace("{{backtest_dep}}", BACKTEST_DEP)
    return text.replace("{{profile}}", PROFILES[opt_level])


def project_files(target, crate, opt_level, spec_text, csv_text=None, candles=None):
    """The file set of a project as a path-ordered dict of texts."""
    kind = target["kind"]
    files = {"Cargo.toml": render(CARGO_TEMPLATES[kind], crate, opt_level)}
    if kind == "wasm":
        files[".cargo/config.toml"] = cargo_config("wasm32-unknown-unknown")
        files["src/lib.rs"] = WASM_LIB
    elif kind == "no_std":
        files[".cargo/config.toml"] = cargo_config(target["mcu"])
        files["src/lib.rs"] = NO_STD_LIB
    else:
        files["src/main.rs"] = BINARY_MAIN
    files["src/spec.json"] = spec_text
    if csv_text is not None:
        files["src/candles.csv"] = csv_text
    if candles is not None:
        files["src/candles.json"] = canonical(candles)
    return {path: files[path] for path in sorted(files, key=lambda p: p.encode("utf-8"))}


def spec_hash(strategy_value, target, opt_level=None, embed=None, crate_name=None):
    written = {"strategy": strategy_value, "target": target, "opt_level": opt_level or "release"}
    if embed is not None:
        written["embed_data"] = embed
    if crate_name is not None:
        written["crate_name"] = crate_name
    return sha256_hex(canonical(written))


def expected_manifest(strategy_text, target=None, *, crate, opt_level=None,
                      crate_name=None, embed=None, csv_bytes=None):
    """The manifest (as a dict in field order) of a request that compiles.

    ``crate`` is the resolved crate name, ``crate_name`` the one the request
    gave (if any). ``embed`` is the dataset in its written form; for a CSV
    dataset ``csv_bytes`` holds the file's contents.
    """
    target = target or {"kind": "wasm"}
    value = json.loads(strategy_text)
    level = opt_level or "release"
    csv_text = csv_bytes.decode("utf-8") if csv_bytes is not None else None
    candles = embed["candles"] if embed is not None and embed["kind"] == "inline" else None
    files = project_files(target, crate, level, canonical(value), csv_text, candles)
    listed = [
        {"path": path, "sha256": sha256_hex(text), "bytes_len": len(text.encode("utf-8"))}
        for path, text in files.items()
    ]
    return {
        "compiler_version": VERSION,
        "target": target,
        "opt_level": level,
        "crate_name": crate,
        "spec_hash": spec_hash(value, target, opt_level, embed, crate_name),
        "backtest_dep": BACKTEST_DEP,
        "files": listed,
        "project_hash": project_hash((f["path"], f["sha256"]) for f in listed),
    }


def expected_dry_run(strategy_text, target=None, **kwargs):
    """The exact response text of a successful dry run."""
    target = target or {"kind": "wasm"}
    manifest = expected_manifest(strategy_text, target, **kwargs)
    return compact({"target": target, "manifest": manifest, "built": False})
