#pragma once
// What the compiler's requests and answers are made of, described by the compiler itself, so
// that a host (the Python package, its command line, the tests) reads these facts instead of
// restating them.
#include <string>

namespace orvane::protocol {

// {"version":...,"backtest_dep":...,"targets":[...],"opt_levels":[...],"mcus":[...],
//  "wasm_triple":...,"error_kinds":[...],"project_paths":{"wasm":[...],...},
//  "owned_paths":[...],"lock_file":...,"record_file":...}: the version answer's two versions,
// the target kinds and optimisation levels a compile spec names, the MCU triples no_std takes,
// the triple a wasm build passes to cargo, the kinds of an answer's error (as their prefix
// names them, "bad spec" for "bad spec: "), the paths of each target's project without a
// dataset, every path some request's project holds, and the two files the writer keeps in a
// project folder beside them.
std::string vocabulary_json();

}  // namespace orvane::protocol
