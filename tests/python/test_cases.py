"""The cases both test suites run, read from the repository's tests/cases/*.jsonl.

Each line is one JSON object: the case's ``name``, the ``request`` text and the
exact ``answer`` to it, with a dry run's file list written "…" (the C++ suite
compares it that way; ``project_hash`` digests the list) and
``${compiler_version}``, ``${backtest_dep}`` and ``${mcus}`` standing for the
core's facts. Here a dry run's whole answer, file list included, must also be
what the request model predicts, and no case may write anything.
"""

import json

import pytest

from _requests import BACKTEST_DEP, MCUS, ROOT, VERSION, expected_dry_run

CASES = ROOT / "tests" / "cases"
_FILES = '"files":['
_AFTER_FILES = '],"project_hash":'
# What the marks in answers stand for: the core's facts.
FACTS = {
    "${compiler_version}": VERSION,
    "${backtest_dep}": BACKTEST_DEP,
    "${mcus}": ",".join(json.dumps(mcu) for mcu in MCUS),
}


def _rows():
    rows = []
    for path in sorted(CASES.glob("*.jsonl")):
        for line in path.read_text(encoding="utf-8").removesuffix("\n").split("\n"):
            row = json.loads(line)
            answer = row["answer"]
            for mark, fact in FACTS.items():
                answer = answer.replace(mark, fact)
            rows.append(pytest.param(row["request"], answer, id=f"{path.stem}/{row['name']}"))
    assert rows, f"no case files in {CASES}"
    ids = [row.id for row in rows]
    assert len(set(ids)) == len(ids), "case names repeat"
    return rows


def without_file_list(answer):
    """The answer with a dry run's file list replaced by "…"."""
    if not answer.startswith('{"target":'):
        return answer
    begin, end = answer.find(_FILES), answer.rfind(_AFTER_FILES)
    if begin < 0 or end < begin:
        return answer
    return answer[:begin + len(_FILES)] + "…" + answer[end:]


def modelled_dry_run(request_text, answer):
    """The model's dry-run answer to a request, for the target, level and crate name the answer
    gives (the exact answer pins those)."""
    spec = json.loads(request_text)["spec"]
    if isinstance(spec, list):
        spec = dict(zip(("strategy", "target", "opt_level", "embed_data", "crate_name"), spec))
    embed = spec.get("embed_data")
    if isinstance(embed, list):
        embed = dict(zip(("kind", "candles"), embed))
    if embed is not None:
        assert embed["kind"] == "inline", "a case file's dry run holds no file of its own"
        embed = {"kind": "inline", "candles": embed["candles"]}
    manifest = json.loads(answer)["manifest"]
    return expected_dry_run(json.dumps(spec["strategy"]), manifest["target"], crate=manifest["crate_name"],
                            opt_level=manifest["opt_level"], crate_name=spec.get("crate_name"), embed=embed)


@pytest.mark.parametrize(("request_text", "answer"), _rows())
def test_answer(compiler, tmp_path, monkeypatch, request_text, answer):
    # No case writes anything: not a dry run, nor a request refused before its build.
    monkeypatch.chdir(tmp_path)
    got = compiler.command(request_text)
    assert without_file_list(got) == answer
    assert not any(tmp_path.iterdir())
    if answer.startswith('{"target":'):
        assert got == modelled_dry_run(request_text, got)
