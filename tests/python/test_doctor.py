"""doctor (the tool-chain report) and the check before a build, against stand-in tools.

Each case makes a bin folder of stand-in tools the whole PATH (see
``_toolchain``), with a sysroot holding the standard libraries it chooses.
"""

import json
import os
import re
import socket
import sys
import time

import pytest

from orvane_compile import CompileError, Compiler, DoctorReport, Target, ToolProblem, compile, doctor
from orvane_compile.cli import main
from _toolchain import (CARGO_VERSION, alive, HOST, RUSTC_VERSION, RUSTUP_VERSION, WASM, cargo_calls, tool_chain,
                        use_tool_chain)
from strategy_cases import BASE, ids

MCU = "thumbv7em-none-eabihf"
NATIVE_TARGETS = json.loads(Compiler().command('{"cmd":"targets"}'))
INSTALL_RUST = "install Rust with rustup: https://rustup.rs"
WASM_BINDGEN_ANY = ("cargo install wasm-bindgen-cli (its version must match the wasm-bindgen crate's in the "
                    "project's Cargo.lock; a new project resolves the latest)")
MATCH_NOTE = "note: wasm-bindgen's version must match the wasm-bindgen crate's in the project's Cargo.lock"


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """Writes the stand-in tools (``tool_chain``'s keywords) and makes them the PATH; returns the paths
    the report names ("{bin}", "{sysroot}", "{root}") for formatting expected texts."""
    monkeypatch.chdir(tmp_path)
    # The registry is reachable unless a case says otherwise: no test asks the network.
    monkeypatch.setattr(sys.modules["orvane_compile.doctor"].socket, "create_connection", lambda *a, **k: socket.socket())

    def make(**kwargs):
        bin_dir = tool_chain(tmp_path, **kwargs)
        use_tool_chain(monkeypatch, bin_dir)
        return {"bin": str(bin_dir), "sysroot": str(tmp_path / "sysroot"), "root": str(tmp_path)}

    return make


def head(wasm_bindgen="not found", rustup=f"{RUSTUP_VERSION} at {{bin}}/rustup"):
    """The report's tool lines for the usual stand-ins."""
    return (f"cargo         {CARGO_VERSION} at {{bin}}/cargo\n"
            f"rustc         {RUSTC_VERSION} at {{bin}}/rustc\n"
            f"              host {HOST}, sysroot {{sysroot}}\n"
            f"wasm-bindgen  {wasm_bindgen}\n"
            f"rustup        {rustup}\n\n")


def std_missing(triple, fix=None):
    return (f"  - the Rust standard library for {triple} is not installed (rustc sysroot {{sysroot}})\n"
            f"    fix: {fix or 'rustup target add ' + triple}\n")


# (id, tool_chain keywords, argv after "doctor", exit status, stdout with {bin} and {sysroot})
DOCTOR_CASES = [
    ("binary-ready", {}, ["--target", "binary"], 0,
     head() + f"binary {HOST}  ready\n\n1 of 1 target ready\n"),
    ("wasm-lacks-std-and-wasm-bindgen", {}, ["--target", "wasm"], 3,
     head() + f"wasm {WASM}  not ready\n" + std_missing(WASM)
     + f"  - wasm-bindgen is not on the PATH\n    fix: {WASM_BINDGEN_ANY}\n\n0 of 1 target ready\n"),
    ("wasm-ready", {"std": (HOST, WASM), "wasm_bindgen": "0.2.92"}, ["--target", "wasm"], 0,
     head("wasm-bindgen 0.2.92 at {bin}/wasm-bindgen")
     + f"wasm {WASM}  ready\n  {MATCH_NOTE}\n\n1 of 1 target ready\n"),
    ("mcu-lacks-std", {"std": (HOST, "thumbv6m-none-eabi")}, ["--mcu", MCU], 3,
     head() + f"no_std {MCU}  not ready\n" + std_missing(MCU) + "\n0 of 1 target ready\n"),
    ("mcu-without-rustup", {"rustup": False}, ["--mcu", MCU], 3,
     head(rustup="not found (optional: it installs targets)") + f"no_std {MCU}  not ready\n"
     + std_missing(MCU, f"rustup target add {MCU} (rustup is not on the PATH: https://rustup.rs)")
     + "\n0 of 1 target ready\n"),
    ("mcu-ready", {"std": (HOST, MCU)}, ["--mcu", MCU, "--target", "no_std"], 0,
     head() + f"no_std {MCU}  ready\n\n1 of 1 target ready\n"),
    ("no-cargo", {"cargo": None}, ["--target", "binary"], 3,
     head().replace(f"{CARGO_VERSION} at {{bin}}/cargo", "not found")
     + f"binary {HOST}  not ready\n  - cargo is not on the PATH\n    fix: {INSTALL_RUST}\n\n0 of 1 target ready\n"),
    ("no-rustc", {"rustc": None}, ["--target", "binary"], 3,
     "cargo         " + CARGO_VERSION + " at {bin}/cargo\nrustc         not found\nwasm-bindgen  not found\n"
     "rustup        " + RUSTUP_VERSION + " at {bin}/rustup\n\n"
     f"binary  not ready\n  - rustc is not on the PATH\n    fix: {INSTALL_RUST}\n\n0 of 1 target ready\n"),
    ("broken-rustc", {"broken_rustc": True}, ["--mcu", MCU], 3,
     "cargo         " + CARGO_VERSION + " at {bin}/cargo\n"
     "rustc         `{bin}/rustc -vV` failed (exit status 1: error: toolchain 'stable' is not installed); "
     f"fix: make `rustc -vV` and `rustc --print sysroot` work ({INSTALL_RUST})\n"
     "wasm-bindgen  not found\nrustup        " + RUSTUP_VERSION + " at {bin}/rustup\n\n"
     f"no_std {MCU}  not ready\n"
     "  - `{bin}/rustc -vV` failed (exit status 1: error: toolchain 'stable' is not installed)\n"
     f"    fix: make `rustc -vV` and `rustc --print sysroot` work ({INSTALL_RUST})\n\n0 of 1 target ready\n"),
]


@pytest.mark.parametrize(("chain", "argv", "status", "stdout"), [c[1:] for c in DOCTOR_CASES],
                         ids=ids(DOCTOR_CASES))
def test_doctor_report(tools, capsys, chain, argv, status, stdout):
    paths = tools(**chain)
    assert (main(["doctor", *argv]), *capsys.readouterr()) == (status, stdout.format(**paths), "")


def test_doctor_checks_every_target_the_compiler_lists(tools, capsys):
    paths = tools(std=(HOST, "thumbv6m-none-eabi", "riscv32imac-unknown-none-elf"))
    status = main(["doctor", "--json"])
    report = json.loads(capsys.readouterr().out)
    ready = {"thumbv6m-none-eabi", "riscv32imac-unknown-none-elf", HOST}
    expected = ([("wasm", WASM, False)] + [("binary", HOST, True)]
                + [("no_std", mcu, mcu in ready) for mcu in NATIVE_TARGETS["mcus"]])
    assert NATIVE_TARGETS["targets"] == ["wasm", "binary", "no_std"]
    assert (status, report["ready"], report["sysroot"], report["host"]) == (3, False, paths["sysroot"], HOST)
    assert [(t["target"]["kind"], t["triple"], t["ready"]) for t in report["targets"]] == expected
    assert [t["target"].get("mcu") for t in report["targets"][2:]] == NATIVE_TARGETS["mcus"]


def test_doctor_json_form(tools, capsys):
    paths = tools(std=(HOST, WASM), wasm_bindgen="0.2.92", rustup=False)
    assert main(["doctor", "--target", "wasm", "--json"]) == 0
    assert capsys.readouterr().out == json.dumps({
        "ready": True,
        "tools": [
            {"name": "cargo", "path": f"{paths['bin']}/cargo", "version": CARGO_VERSION, "problem": None},
            {"name": "rustc", "path": f"{paths['bin']}/rustc", "version": RUSTC_VERSION, "problem": None},
            {"name": "wasm-bindgen", "path": f"{paths['bin']}/wasm-bindgen", "version": "wasm-bindgen 0.2.92",
             "problem": None},
            {"name": "rustup", "path": None, "version": None, "problem": None},
        ],
        "host": HOST, "sysroot": paths["sysroot"],
        "targets": [{"target": {"kind": "wasm"}, "triple": WASM, "ready": True, "problems": [],
                     "notes": [MATCH_NOTE.removeprefix("note: ")]}],
        "network": None,
    }, separators=(",", ":")) + "\n"


UNREACHABLE = ("note: the crate registry index.crates.io cannot be reached ({why}): a build that fetches crates "
               "retries the network for some seconds before it fails, unless cargo's configuration replaces the "
               "registry with a local one or vendored crates (`cargo vendor`); CARGO_NET_OFFLINE=true makes cargo "
               "fail at once instead\n")


@pytest.mark.parametrize(("offline", "failure", "note"), [
    (None, None, ""),
    (None, OSError(101, "Network is unreachable"), UNREACHABLE.format(why="Network is unreachable")),
    (None, TimeoutError("timed out"), UNREACHABLE.format(why="timed out")),
    ("false", socket.gaierror(-3, "Temporary failure in name resolution"),
     UNREACHABLE.format(why="Temporary failure in name resolution")),
    ("true", OSError(101, "Network is unreachable"), ""),
], ids=["reachable", "unreachable", "timed-out", "no-name-lookup", "cargo-offline"])
def test_doctor_says_why_builds_would_stall_offline(tools, capsys, monkeypatch, offline, failure, note):
    tools()
    monkeypatch.delenv("CARGO_NET_OFFLINE", raising=False)
    if offline is not None:
        monkeypatch.setenv("CARGO_NET_OFFLINE", offline)
    if failure is not None:
        def refuse(*args, **kwargs):
            raise failure
        monkeypatch.setattr(socket, "create_connection", refuse)
    assert main(["doctor", "--target", "binary"]) == 0
    assert capsys.readouterr().out.endswith(f"binary {HOST}  ready\n\n{note}1 of 1 target ready\n")


def test_rustc_named_by_the_environment(tools, tmp_path, monkeypatch):
    tools(rustc="elsewhere/rustc-nightly", std=(HOST, MCU))
    monkeypatch.setenv("RUSTC", str(tmp_path / "elsewhere" / "rustc-nightly"))
    report = doctor(mcu=MCU)
    assert (report.ready, report.tools[1].path, report.sysroot) == (
        True, str(tmp_path / "elsewhere" / "rustc-nightly"), str(tmp_path / "sysroot"))


def test_doctor_api_is_typed_data(tools):
    paths = tools(cargo=None)
    report = doctor("no_std")
    assert isinstance(report, DoctorReport)
    assert [(s.target, s.ready, s.problems[0]) for s in report.targets] == [
        (Target("no_std", mcu), False, ToolProblem("cargo is not on the PATH", INSTALL_RUST))
        for mcu in NATIVE_TARGETS["mcus"]]
    assert [(t.name, t.path) for t in report.tools] == [
        ("cargo", None), ("rustc", paths["bin"] + "/rustc"), ("wasm-bindgen", None),
        ("rustup", paths["bin"] + "/rustup")]


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"target": "wasm", "mcu": MCU}, "mcu applies only to target 'no_std', not 'wasm'"),
    ({"mcu": "thumbv9-none-eabi"},
     "mcu 'thumbv9-none-eabi' is not one of the compiler's: " + ", ".join(NATIVE_TARGETS["mcus"])),
    ({"target": "arm"}, "target 'arm' is not one of the compiler's: wasm, binary, no_std"),
], ids=["mcu-with-wasm", "unknown-mcu", "unknown-target"])
def test_doctor_refuses_unknown_targets(kwargs, message):
    with pytest.raises(ValueError) as info:
        doctor(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(("argv", "stderr"), [
    (["doctor", "--target", "binary", "--mcu", MCU], "orvane-compile: error: --mcu applies only to --target no_std\n"),
    (["doctor", "--mcu", "thumbv9"], "orvane-compile: error: mcu 'thumbv9' is not one of the compiler's: "
     + ", ".join(NATIVE_TARGETS["mcus"]) + "\n"),
], ids=["mcu-with-binary", "unknown-mcu"])
def test_doctor_usage_errors(capsys, argv, stderr):
    assert (main(argv), *capsys.readouterr()) == (2, "", stderr)


# ---------------------------------------------------------------- the check before a build

LOCK = ('[[package]]\nname = "wasm-bindgen"\nversion = "{}"\n'
        'source = "registry+https://github.com/rust-lang/crates.io-index"\n')

# (id, tool_chain keywords, compile keywords, the project's Cargo.lock's wasm-bindgen version,
#  the CompileError's (kind, message) with {sysroot} and {root}, or the cargo calls of a build that went ahead)
PREFLIGHT_CASES = [
    ("wasm-lacks-both", {}, {}, None,
     ("build", f"the Rust standard library for {WASM} is not installed (rustc sysroot {{sysroot}}); "
               f"fix: rustup target add {WASM}\n"
               f"wasm-bindgen is not on the PATH; fix: {WASM_BINDGEN_ANY}")),
    ("wasm-lacks-wasm-bindgen", {"std": (HOST, WASM)}, {}, "0.2.93",
     ("build", "wasm-bindgen is not on the PATH; fix: cargo install wasm-bindgen-cli --version 0.2.93")),
    ("wasm-bindgen-of-another-version", {"std": (HOST, WASM), "wasm_bindgen": "0.2.92"}, {}, "0.2.93",
     ("build", "wasm-bindgen 0.2.92 does not match the wasm-bindgen crate 0.2.93 in out/btc_usdt/Cargo.lock; "
               "fix: cargo install wasm-bindgen-cli --version 0.2.93")),
    ("wasm-ready", {"std": (HOST, WASM), "wasm_bindgen": "0.2.93"}, {}, "0.2.93",
     [f"build --target {WASM} --release"]),
    ("wasm-ready-new-project", {"std": (HOST, WASM), "wasm_bindgen": "0.2.93"}, {"opt_level": "debug"}, None,
     [f"build --target {WASM}"]),
    ("mcu-lacks-std", {}, {"target": "no_std", "mcu": MCU}, None,
     ("build", f"the Rust standard library for {MCU} is not installed (rustc sysroot {{sysroot}}); "
               f"fix: rustup target add {MCU}")),
    ("mcu-ready", {"std": (MCU,)}, {"target": "no_std", "mcu": MCU}, None, [f"build --target {MCU} --release"]),
    ("host-lacks-std", {"std": ()}, {"target": "binary"}, None,
     ("build", f"the Rust standard library for {HOST} is not installed (rustc sysroot {{sysroot}}); "
               f"fix: rustup target add {HOST}")),
    ("no-cargo", {"cargo": None, "std": (HOST, MCU)}, {"target": "no_std", "mcu": MCU}, None,
     ("build", f"cargo is not on the PATH; fix: {INSTALL_RUST}")),
    ("broken-rustc", {"broken_rustc": True}, {"target": "binary"}, None,
     ("build", "`{root}/bin/rustc -vV` failed (exit status 1: error: toolchain 'stable' is not installed); "
               f"fix: make `rustc -vV` and `rustc --print sysroot` work ({INSTALL_RUST})")),
    # No rustc to ask: cargo may still find one, so the build goes ahead.
    ("no-rustc", {"rustc": None, "std": ()}, {"target": "no_std", "mcu": MCU}, None,
     [f"build --target {MCU} --release"]),
    # The build's time limit holds for the check too.
    ("hung-rustc-within-the-timeout", {"hung": ("rustc",)}, {"target": "binary", "timeout": 2}, None,
     ("build", "timed out after 2 s: `{root}/bin/rustc -vV` did not answer")),
    # The compiler's verdict on the request comes first.
    ("bad-mcu-before-tools", {"cargo": None}, {"target": "no_std", "mcu": "thumbv9-none-eabi"}, None,
     ("bad target", 'mcu "thumbv9-none-eabi" is not in the allowlist')),
]


@pytest.mark.parametrize(("chain", "kwargs", "locked", "outcome"), [c[1:] for c in PREFLIGHT_CASES],
                         ids=ids(PREFLIGHT_CASES))
def test_compile_checks_the_tool_chain_first(tools, tmp_path, chain, kwargs, locked, outcome):
    paths = tools(**chain)
    if locked is not None:
        (tmp_path / "out" / "btc_usdt").mkdir(parents=True)
        (tmp_path / "out" / "btc_usdt" / "Cargo.lock").write_text(LOCK.format(locked))
    def listing():  # but the notes of hung stand-ins
        return sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.name != "hung.pids")

    before = listing()
    if isinstance(outcome, tuple):
        with pytest.raises(CompileError) as info:
            compile(BASE, out_dir="out", **kwargs)
        kind, message = outcome
        assert (info.value.kind, info.value.message) == (kind, message.format(**paths))
        assert (cargo_calls(tmp_path), listing()) == (None, before)  # refused before anything ran or was written
    else:
        result = compile(BASE, out_dir="out", **kwargs)
        assert (result.built, cargo_calls(tmp_path)) == (True, outcome)


def test_wasm_triple_is_the_one_the_build_uses(tools, tmp_path):
    from orvane_compile.doctor import WASM_TRIPLE

    tools(std=(HOST, WASM_TRIPLE), wasm_bindgen="0.2.93")
    compile(BASE, out_dir="out")
    config = (tmp_path / "out" / "btc_usdt" / ".cargo" / "config.toml").read_text()
    assert (config, cargo_calls(tmp_path)) == (f'[build]\ntarget = "{WASM_TRIPLE}"\n',
                                               [f"build --target {WASM_TRIPLE} --release"])


# The command line: the same check, a build failure (3) naming what is missing.
CLI_CASES = [
    ("one-file", {}, ["compile", "s.json", "--mcu", MCU, "--out-dir", "out"], 3, "",
     f"orvane-compile: build: the Rust standard library for {MCU} is not installed (rustc sysroot {{sysroot}}); "
     f"fix: rustup target add {MCU}\n"),
    ("several-files", {"std": (HOST, MCU)},
     ["compile", "s.json", "w.json", "--out-dir", "out", "--json"], 3,
     '{{"ok":false,"error":"build: the Rust standard library for ' + WASM + ' is not installed (rustc sysroot '
     '{sysroot}); fix: rustup target add ' + WASM + '\\nwasm-bindgen is not on the PATH; fix: '
     + WASM_BINDGEN_ANY + '"}}\n<w.json>\n',
     "orvane-compile: compiling 2 files, up to 1 at a time\n"
     f"orvane-compile: s.json: build: the Rust standard library for {WASM} is not installed (rustc sysroot "
     f"{{sysroot}}); fix: rustup target add {WASM}\nwasm-bindgen is not on the PATH; fix: {WASM_BINDGEN_ANY}\n"
     "orvane-compile: 1 succeeded, 1 failed in <s>s\n"),
]


@pytest.mark.parametrize(("chain", "argv", "status", "stdout", "stderr"), [c[1:] for c in CLI_CASES],
                         ids=ids(CLI_CASES))
def test_command_line_checks_the_tool_chain_first(tools, tmp_path, capsys, chain, argv, status, stdout, stderr):
    paths = tools(**chain)
    (tmp_path / "s.json").write_text(json.dumps(BASE))
    (tmp_path / "w.json").write_text(json.dumps({"strategy": BASE, "target": {"kind": "no_std", "mcu": MCU},
                                                 "crate_name": "w"}))
    got = main(argv)
    out, err = capsys.readouterr()
    lines = out.splitlines(keepends=True)
    shown = "".join("<w.json>\n" if json.loads(line).get("manifest", {}).get("crate_name") == "w" else line
                    for line in lines)
    assert (got, shown, re.sub(r"in \d+\.\ds\n", "in <s>s\n", err)) == (
        status, stdout.format(**paths), stderr.format(**paths))
    assert (tmp_path / "out" / "btc_usdt").exists() is False


def hung_report(seconds):
    """doctor's report on tools that never answer."""
    fix = f"make `rustc -vV` and `rustc --print sysroot` work ({INSTALL_RUST})"
    cargo, rustc = (f"`{{bin}}/cargo --version` did not answer within {seconds} s",
                    f"`{{bin}}/rustc -vV` did not answer within {seconds} s")
    return "".join(f"{name:<13} `{{bin}}/{name} --version` did not answer within {seconds} s; "
                   f"fix: repair or reinstall {name}\n" if name != "rustc" else f"rustc         {rustc}; fix: {fix}\n"
                   for name in ("cargo", "rustc", "wasm-bindgen", "rustup")) + (
        f"\nbinary  not ready\n  - {cargo}\n    fix: repair or reinstall cargo\n  - {rustc}\n    fix: {fix}\n"
        "\n0 of 1 target ready\n")


# Tools that never answer: killed once their time is up, with what they started; doctor asks them all
# at once. (id, tools that hang, argv, exit status, stdout, stderr)
HUNG_CASES = [
    ("build-check-keeps-to-the-timeout", ("rustc",),
     ["compile", "s.json", "--target", "binary", "--out-dir", "out", "--timeout", "2"], 3, "",
     "orvane-compile: build: timed out after 2 s: `{bin}/rustc -vV` did not answer\n"),
    ("doctor-asks-every-tool-at-once", ("cargo", "rustc", "wasm-bindgen", "rustup"),
     ["doctor", "--target", "binary", "--timeout", "3"], 3, hung_report(3), ""),
]


@pytest.mark.parametrize(("hung", "argv", "status", "stdout", "stderr"), [c[1:] for c in HUNG_CASES],
                         ids=ids(HUNG_CASES))
def test_tools_that_never_answer(tools, tmp_path, capsys, hung, argv, status, stdout, stderr):
    paths = tools(hung=hung)
    (tmp_path / "s.json").write_text(json.dumps(BASE))
    started = time.monotonic()
    got = main(argv)
    took = time.monotonic() - started
    assert (got, *capsys.readouterr(), took < 10) == (status, stdout.format(**paths), stderr.format(**paths), True)
    pids = [int(pid) for pid in (tmp_path / "hung.pids").read_text().split()]
    assert len(pids) == 2 * len(hung)
    gone = time.monotonic() + 5  # SIGKILL was sent; the dying take a moment
    while any(alive(pid) for pid in pids) and time.monotonic() < gone:
        time.sleep(0.02)
    assert ([pid for pid in pids if alive(pid)], cargo_calls(tmp_path)) == ([], None)


# (id, out_dir, folders made first, PATH entries before the tools' folder, the folder rustc is asked
# from, relative to the working folder)
ASKED_FROM = [
    ("project-folder-exists", "out", ["out/btc_usdt"], "", "out"),
    ("output-folder-to-be-made", "new/deeper", [], "", "."),
    ("relative-path-entries", "out", ["out"], ":.:rel::", "out"),
]


@pytest.mark.parametrize(("out_dir", "made", "before", "asked_from"), [c[1:] for c in ASKED_FROM],
                         ids=ids(ASKED_FROM))
def test_the_check_asks_from_the_output_folder(tools, tmp_path, monkeypatch, out_dir, made, before, asked_from):
    paths = tools()
    for made_path in made:
        (tmp_path / made_path).mkdir(parents=True)
    monkeypatch.setenv("PATH", before + paths["bin"])
    monkeypatch.setenv("RUSTC_LOG", str(tmp_path / "rustc.log"))
    compile(BASE, target="binary", out_dir=out_dir, crate_name="btc_usdt")
    where = os.path.normpath(tmp_path / asked_from)
    # Then the build's provenance asks it once more, from the project folder.
    assert (tmp_path / "rustc.log").read_text().splitlines()[:2] == [f"{where}|{paths['bin']}"] * 2


def test_rustc_is_asked_again_before_a_refusal(tools, tmp_path):
    """rustc's answers are kept between builds; one that would refuse a build is asked for again."""
    tools()
    which = tmp_path / "sysroot-now"
    (tmp_path / "bin" / "rustc").write_text(
        '#!/bin/sh\ncase "$1" in\n'
        f'  -vV) printf "{RUSTC_VERSION}\\nhost: {HOST}\\n" ;;\n'
        f'  --print) PATH=/usr/bin:/bin cat "{which}" ;;\n'
        "esac\n")
    which.write_text(str(tmp_path / "sysroot"))
    with pytest.raises(CompileError) as info:
        compile(BASE, target="no_std", mcu=MCU, out_dir="out")
    assert info.value.message.startswith(f"the Rust standard library for {MCU} is not installed")
    (tmp_path / "other" / "lib" / "rustlib" / MCU).mkdir(parents=True)
    which.write_text(str(tmp_path / "other"))  # another tool chain now, from the same rustc
    assert (compile(BASE, target="no_std", mcu=MCU, out_dir="out").built, cargo_calls(tmp_path)) == (
        True, [f"build --target {MCU} --release"])
