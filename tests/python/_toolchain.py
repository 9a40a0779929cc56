"""Stand-in Rust tools: a bin folder to be the whole PATH, and a sysroot with the chosen targets.

The stand-in cargo answers ``--version`` and ``-V``; otherwise it logs its
arguments (one line per call in ``cargo.log`` beside the bin folder), and
answers ``generate-lockfile`` by writing ``LOCK`` as Cargo.lock, or leaves an
empty artifact wherever cargo would put one for them. The stand-in rustc answers
``-vV`` and ``--print sysroot`` for a host that is not this machine's (and
notes the folder and PATH it was asked with in the file ``$RUSTC_LOG`` names), and
wasm-bindgen answers ``--version`` and writes its ``pkg/`` file. A hung tool
notes its process id and its child's in ``hung.pids`` and sleeps.
"""

import os

HOST = "aarch64-unknown-linux-gnu"
CARGO_VERSION = "cargo 1.80.0 (376290515 2024-07-16)"
RUSTC_VERSION = "rustc 1.80.0 (051478957 2024-07-21)"
RUSTUP_VERSION = "rustup 1.27.1 (54dd3d00f 2024-04-24)"
WASM = "wasm32-unknown-unknown"
LOCK = '# stand-in\nversion = 4\n\n[[package]]\nname = "orvane-backtest"\nversion = "0.1.0"\n'

CARGO_BUILD = """
PATH=/usr/bin:/bin
echo "$*" >> "${0%/bin/cargo}/cargo.log"
crate=${PWD##*/} profile=debug triple=
while [ $# -gt 0 ]; do
  case $1 in --release) profile=release;; --target) triple=$2/; shift;; esac
  shift
done
case $triple in
  wasm32*) artifact=target/$triple$profile/$crate.wasm ;;
  ?*) artifact=target/$triple$profile/lib$crate.a ;;
  *) artifact=target/$profile/$crate ;;
esac
mkdir -p "${artifact%/*}" && : > "$artifact"
"""


def write_script(path, body):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)


HUNG = 'PATH=/usr/bin:/bin\nsleep 600 &\necho "$$ $!" >> "{pids}"\nwait\n'


def tool_chain(root, *, cargo=CARGO_BUILD, rustc="bin/rustc", broken_rustc=False, std=(HOST,),
               wasm_bindgen=None, rustup=True, hung=()):
    """Writes the stand-ins under ``root``; returns the bin folder.

    ``cargo`` is the body run for a build (None: no cargo). ``rustc`` is where
    rustc goes, relative to ``root`` (None: nowhere); ``broken_rustc`` makes it
    fail. ``std`` lists the triples whose standard library the sysroot holds.
    ``wasm_bindgen`` is its version (None: no wasm-bindgen). The tools named
    in ``hung`` never answer.
    """
    bin_dir = root / "bin"
    bin_dir.mkdir()
    sysroot = root / "sysroot"
    for triple in std:
        (sysroot / "lib" / "rustlib" / triple).mkdir(parents=True)
    (sysroot / "lib" / "rustlib" / "src").mkdir(parents=True, exist_ok=True)  # not a target
    if cargo is not None:
        write_script(bin_dir / "cargo", f'case "$1" in --version|-V) echo "{CARGO_VERSION}"; exit 0 ;; esac\n'
                     'if [ "$1" = generate-lockfile ]; then\n'
                     '  echo "$*" >> "${0%/bin/cargo}/cargo.log"\n'
                     f"  printf '%s' '{LOCK}' > Cargo.lock; exit 0\n"
                     'fi\n' + cargo)
    if rustc is not None and broken_rustc:
        write_script(root / rustc, "echo \"error: toolchain 'stable' is not installed\" >&2\nexit 1\n")
    elif rustc is not None:
        write_script(root / rustc, 'if [ -n "$RUSTC_LOG" ]; then echo "$PWD|$PATH" >> "$RUSTC_LOG"; fi\n'
                     'case "$1" in\n'
                     f'  -vV) printf "%s\\nbinary: rustc\\nhost: {HOST}\\nrelease: 1.80.0\\n" "{RUSTC_VERSION}" ;;\n'
                     f'  --print) echo "{sysroot}" ;;\n'
                     "  *) exit 1 ;;\n"
                     "esac\n")
    if wasm_bindgen is not None:
        write_script(bin_dir / "wasm-bindgen",
                     f'if [ "$1" = --version ]; then echo "wasm-bindgen {wasm_bindgen}"; exit 0; fi\n'
                     'PATH=/usr/bin:/bin\nmkdir -p pkg && : > "pkg/${PWD##*/}_bg.wasm"\n')
    if rustup:
        write_script(bin_dir / "rustup", f'echo "{RUSTUP_VERSION}"\n')
    for name in hung:
        write_script(root / rustc if name == "rustc" else bin_dir / name, HUNG.format(pids=root / "hung.pids"))
    return bin_dir


def use_tool_chain(monkeypatch, bin_dir):
    """Makes ``bin_dir`` the whole PATH, with no RUSTC or cache folder from the environment."""
    monkeypatch.setenv("PATH", str(bin_dir))
    for name in ("RUSTC", "RUSTUP_TOOLCHAIN", "ORVANE_CACHE_DIR"):
        monkeypatch.delenv(name, raising=False)


def cargo_calls(root):
    """The argument lines of each build the stand-in cargo ran (None: it never ran)."""
    log = root / "cargo.log"
    return log.read_text().splitlines() if os.path.exists(log) else None


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is dead: only its parent has yet to hear of it.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
