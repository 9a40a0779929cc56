#pragma once
// Deterministic inputs for the micro-benchmarks, shaped like bench/workloads.py:
// the benchmark strategy document, its compile dry-run request, and inline
// candles {"t": ..., "o": ..., "h": ..., "l": ..., "c": ..., "v": ...} written
// with ", " and ": " separators (prices to 2 decimals, volume to 4).
#include <cstddef>
#include <string>

namespace orvane::bench {

// The strategy document, compact (about 2 KB).
const std::string& strategy_text();

// {"cmd": "compile", "spec": {"strategy": ..., "target": {"kind": "wasm"},
// "opt_level": "release"}, "dry_run": true}
const std::string& small_request();

// A JSON array of candles, at least `bytes` long (cached per size).
const std::string& candles_text(std::size_t bytes);

// The small request with the candles of `candles_text(bytes)` inline.
const std::string& inline_request(std::size_t bytes);

inline constexpr std::size_t kMB = 1'000'000;

}  // namespace orvane::bench
