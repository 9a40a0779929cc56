"""Batches of compiles: outcomes in input order, failures in their slots, artifact digests, executors.

The stand-in cargo first on the PATH acts by crate (the project folder's name): ``slow_*`` sleeps first,
``fail_*`` fails, ``big_*`` writes 3 MiB of zero bytes, any other writes ``artifact of <crate>\\n``. It
notes the CARGO_BUILD_JOBS it sees in ``<crate>.jobs``, and the folder it built in in ``builds``.
"""

import hashlib
import json
import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

from orvane_compile import CompileError, CompileResult, Manifest, Target, compile_many

from _requests import MIN_STRATEGY

STRATEGY = json.loads(MIN_STRATEGY)
NO_SYMBOL = {key: value for key, value in STRATEGY.items() if key != "symbol"}
BIG = 3 << 20
CARGO = f"""#!/bin/sh
case "$1" in -V|--version) echo "cargo 1.80.0"; exit 0 ;; esac
crate="${{PWD##*/}}"
echo "${{PWD#$JOBS_DIR/}}" >> "$JOBS_DIR/builds"
echo "${{CARGO_BUILD_JOBS-unset}}" > "$JOBS_DIR/$crate.jobs"
case "$crate" in slow_*) sleep 1.5 ;; fail_*) echo "error[E0308]: in $crate" >&2; exit 101 ;; esac
mkdir -p target/release
case "$crate" in big_*) head -c {BIG} /dev/zero ;; *) echo "artifact of $crate" ;; esac > "target/release/$crate"
"""


@pytest.fixture
def cargo(tmp_path, monkeypatch):
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "cargo").write_text(CARGO)
    (tmp_path / "bin" / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("JOBS_DIR", str(tmp_path))
    monkeypatch.delenv("CARGO_BUILD_JOBS", raising=False)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def job(crate, **more):
    return {"strategy": STRATEGY, "target": "binary", "crate_name": crate, "out_dir": "out", **more}


def built(crate, content=None):
    content = f"artifact of {crate}\n".encode() if content is None else content
    return ("built", f"out/{crate}/target/release/{crate}", hashlib.sha256(content).hexdigest(), len(content))


def summary(outcome):
    if isinstance(outcome, CompileError):
        return ("error", outcome.kind, outcome.message)
    return ("built" if outcome.built else "dry run", outcome.path, outcome.artifact_sha256, outcome.artifact_size)


REQUEST = "compile() missing 1 required positional argument: 'strategy'"

# (id, jobs, the summary of each outcome)
BATCHES = [
    ("empty", [], []),
    ("slow-first-stays-first", [job("slow_a"), job("b"), job("c")], [built("slow_a"), built("b"), built("c")]),
    ("failures-in-their-slots",
     [job("a"), job("x", strategy=NO_SYMBOL), job("fail_c"), job("e", target="no_std", mcu="thumbv9-none-eabi")],
     [built("a"), ("error", "bad spec", "missing field `symbol`"),
      ("error", "build", "error[E0308]: in fail_c\n"),
      ("error", "bad target", 'mcu "thumbv9-none-eabi" is not in the allowlist')]),
    ("refused-jobs-are-request-errors",
     [job("a", mcu="thumbv6m-none-eabi"), job("b", timeout=0), job("c", jobs=2), {"target": "binary"}, ["a"]],
     [("error", "request", "mcu applies only to target 'no_std', not 'binary'"),
      ("error", "request", "timeout must be a positive number of seconds, not 0"),
      ("error", "request", "compile() got an unexpected keyword argument 'jobs'"), ("error", "request", REQUEST),
      ("error", "request", "orvane_compile.api.compile() argument after ** must be a mapping, not list")]),
    ("dry-run-and-big-artifact", [job("f", dry_run=True), job("big_g")],
     [("dry run", None, None, None), built("big_g", bytes(BIG))]),
]


@pytest.mark.parametrize(("jobs", "expected"), [row[1:] for row in BATCHES], ids=[row[0] for row in BATCHES])
def test_batches(cargo, jobs, expected):
    assert [summary(outcome) for outcome in compile_many(jobs)] == expected


def test_progress_on_each_finish(cargo, monkeypatch):
    monkeypatch.setattr(os, "cpu_count", lambda: 3)
    calls = []
    outcomes = compile_many([job("slow_a"), job("b"), job("fail_c")],
                            progress=lambda done, total, outcome: calls.append((done, total, outcome)))
    assert [(done, total) for done, total, _ in calls] == [(1, 3), (2, 3), (3, 3)]
    # The slow build, first in the batch, finished and was reported last.
    assert [outcome is outcomes[0] for _, _, outcome in calls] == [False, False, True]
    assert {id(outcome) for _, _, outcome in calls} == set(map(id, outcomes))


def test_a_process_pool_gives_what_the_threads_give(cargo):
    jobs = [job("slow_a"), job("x", strategy=NO_SYMBOL), job("fail_c"), job("big_d"), {"target": "wasm"}]
    threads = compile_many(jobs)
    # spawn: forking a process that runs threads is unsafe.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        processes = compile_many(jobs, executor=pool)
        assert pool.submit(len, "still open").result() == 10
    assert [summary(o) for o in processes] == [summary(o) for o in threads]
    assert [o for o in processes if isinstance(o, CompileResult)] == [threads[0], threads[3]]
    assert summary(processes[3]) == built("big_d", bytes(BIG))


# (id, cpu count, CARGO_BUILD_JOBS beforehand, jobs, an executor of 2 threads given, what each cargo sees)
CARGO_JOBS = [
    ("cores-shared", 8, None, 3, False, "2"),
    ("one-job-takes-all", 8, None, 1, False, "8"),
    ("never-below-one", 1, None, 2, False, "1"),
    ("a-given-value-is-kept", 8, "7", 3, False, "7"),
    ("left-alone-with-an-executor", 8, None, 2, True, "unset"),
]


@pytest.mark.parametrize(("cpus", "given", "count", "pool", "seen"), [row[1:] for row in CARGO_JOBS],
                         ids=[row[0] for row in CARGO_JOBS])
def test_cargo_build_jobs(cargo, monkeypatch, cpus, given, count, pool, seen):
    monkeypatch.setattr(os, "cpu_count", lambda: cpus)
    if given is not None:
        monkeypatch.setenv("CARGO_BUILD_JOBS", given)
    crates = [f"c{index}" for index in range(count)]
    meanwhile = []  # this process's own environment, while the batch runs
    with ThreadPoolExecutor(2) as executor:
        outcomes = compile_many([job(crate) for crate in crates], executor=executor if pool else None,
                                progress=lambda *_: meanwhile.append(os.environ.get("CARGO_BUILD_JOBS")))
    assert [summary(o)[0] for o in outcomes] == ["built"] * count
    assert [(cargo / f"{crate}.jobs").read_text() for crate in crates] == [seen + "\n"] * count
    assert (meanwhile, os.environ.get("CARGO_BUILD_JOBS")) == ([given] * count, given)


def test_cargo_build_jobs_is_restored_when_the_batch_raises(cargo, monkeypatch):
    monkeypatch.setattr(os, "cpu_count", lambda: 4)

    finished = []

    def progress(done, total, outcome):
        finished.append(outcome.manifest.crate_name)  # whichever built first; the other is stopped
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        compile_many([job("a"), job("b")], progress=progress)
    assert ((cargo / f"{finished[0]}.jobs").read_text(), os.environ.get("CARGO_BUILD_JOBS")) == ("2\n", None)


def refused(folder, owner):
    return ("error", "io", f"refusing to build into {folder}: job {owner} of this batch builds there too")


# (id, jobs, the summary of each outcome, the folders cargo built in); "link" leads to "out".
ONE_FOLDER_ONCE = [
    ("one-crate-twice", [job("a"), job("b"), job("a")], [built("a"), built("b"), refused("out/a", 1)],
     ["out/a", "out/b"]),
    ("spelt-otherwise", [job("a"), job("a", out_dir="./out/"), job("a", out_dir="in/../out"), job("a", out_dir="link")],
     [built("a"), refused("./out/a", 1), refused("in/../out/a", 1), refused("link/a", 1)], ["out/a"]),
    ("dry-runs-build-nowhere", [job("a", dry_run=True), job("a")], [("dry run", None, None, None), built("a")],
     ["out/a"]),
    ("refused-jobs-claim-nothing", [job("a", strategy=NO_SYMBOL), job("a")],
     [("error", "bad spec", "missing field `symbol`"), built("a")], ["out/a"]),
]


@pytest.mark.parametrize(("jobs", "expected", "folders"), [row[1:] for row in ONE_FOLDER_ONCE],
                         ids=[row[0] for row in ONE_FOLDER_ONCE])
def test_one_build_per_project_folder(cargo, jobs, expected, folders):
    (cargo / "in").mkdir()
    os.symlink("out", cargo / "link")
    assert [summary(outcome) for outcome in compile_many(jobs)] == expected
    assert sorted((cargo / "builds").read_text().split()) == folders


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


NOT_UTF8 = ("error", "io", "the path 'out\\xff' is not UTF-8; the compiler takes UTF-8 paths only")

# (id, the keywords of a job the batch refuses, its outcome's summary); the job beside it is built all the
# same. The deep strategy is made when the case runs.
REFUSED_BESIDE = [
    ("nested-too-deep", {"crate": "deep", "strategy": "nested"},
     ("error", "bad spec", "the strategy nests deeper than the 125 levels of arrays and objects a strategy may use")),
    ("empty-out-dir", {"crate": "e", "out_dir": ""}, ("error", "request", "out_dir must name a folder, not be empty")),
    ("out-dir-not-utf8", {"crate": "u", "out_dir": "out\udcff"}, NOT_UTF8),
    ("out-dir-bytes-not-utf8", {"crate": "u", "out_dir": b"out\xff"}, NOT_UTF8),
]


@pytest.mark.parametrize(("keywords", "expected"), [row[1:] for row in REFUSED_BESIDE],
                         ids=[row[0] for row in REFUSED_BESIDE])
def test_refusals_leave_the_batch_going(cargo, keywords, expected):
    if keywords.get("strategy") == "nested":
        keywords = {**keywords, "strategy": {**STRATEGY, "deep": nested(1000)}}
    refused_job = job(**keywords)
    assert [summary(outcome) for outcome in compile_many([refused_job, job("ok")])] == [expected, built("ok")]
    assert (cargo / "builds").read_text() == "out/ok\n"


def test_results_constructed_as_before_have_no_artifact_fields():
    manifest = Manifest("0.2.0", Target("wasm"), "release", "x", "0" * 64, "0.1.5", (), "1" * 64)
    result = CompileResult(Target("wasm"), manifest, "out/x/pkg/x_bg.wasm", True)
    assert (result.artifact_sha256, result.artifact_size) == (None, None)


# An artifact a farm worker built elsewhere, put at its reported path inside the job's folder
# here: (id, reported path, bytes sent, link made first, the file there after, the error's message).
HOME_CASES = [
    ("written", "f/target/x", b"abc", None, b"abc", None),
    ("digest-differs", "f/target/x", b"abd", None, None, "the artifact brought home for f/target/x does not match its digest"),
    ("outside-the-folder", "g/x", b"abc", None, None, "refusing to write g/x: outside the job's project folder f"),
    ("through-a-link", "f/target/x", b"abc", ("f/target", "g"), None,
     "refusing to write f/target/x: {cwd}/f/target leads outside f"),
]


@pytest.mark.parametrize(("path", "data", "link", "written", "message"), [c[1:] for c in HOME_CASES],
                         ids=[c[0] for c in HOME_CASES])
def test_artifact_brought_home(tmp_path, monkeypatch, path, data, link, written, message):
    from orvane_compile import api

    monkeypatch.chdir(tmp_path)
    if link is not None:
        (tmp_path / link[1]).mkdir()
        (tmp_path / link[0]).parent.mkdir(parents=True)
        (tmp_path / link[0]).symlink_to(tmp_path / link[1])
    sent = CompileResult(Target("binary"), None, path, True, hashlib.sha256(b"abc").hexdigest(), 3)  # type: ignore[arg-type]
    got = api._brought_home(sent, data, "f")
    if message is None:
        assert (got, (tmp_path / path).read_bytes()) == (sent, written)
    else:
        assert (got.kind, got.message) == ("io", message.format(cwd=tmp_path))
        assert not (tmp_path / path).exists()
