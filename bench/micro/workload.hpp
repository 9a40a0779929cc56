#pragma once
// Deterministic inputs for the micro-benchmarks, shaped like bench/workloads.py:
// the benchmark strategy document, its compile dry-run request, and inline
// candles {"t": ..., "o": ..., "h": ..., "l": ..., "c": ..., "v": ...} written
// with ", " and ": " separators (prices to 2 decimals, volume to 4).
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::bench {

// splitmix64: a fixed sequence for every run and platform.
struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  std::uint64_t below(std::uint64_t n) { return next() % n; }
};


// The strategy document, compact (about 2 KB).
const std::string& strategy_text();

// {"cmd": "compile", "spec": {"strategy": ..., "target": {"kind": "wasm"},
// "opt_level": "release"}, "dry_run": true}
const std::string& small_request();
// The same without the strategy's `meta`, the one member no declaration knows: a request that
// draws no warning.
const std::string& small_clean_request();

// A JSON array of candles, at least `bytes` long (cached per size).
const std::string& candles_text(std::size_t bytes);

// The small request with the candles of `candles_text(bytes)` inline.
const std::string& inline_request(std::size_t bytes);

inline constexpr std::size_t kMB = 1'000'000;

}  // namespace orvane::bench
