#pragma once
// Every threshold of the speed work, in one place. Each was measured on a 2-vCPU machine where
// a fresh 4 KiB page costs about 1.4 µs to fault in and SHA-256 runs at about 1.9 GB/s on data
// in cache and 1.1 GB/s on data that is not (bench/RESULTS.md). Each trick has a plain path
// beside it, taken below its threshold; the answers are the same on both paths.
#include <cstddef>

namespace orvane::tuning {

// ---- mapping pages in on a second thread (json/page_warmer) ----

// Requests from this size on are read while a second thread maps in the tape's pages ahead of
// the reader (protocol/dispatch.cpp). Below it, starting the thread costs more than it saves.
inline constexpr std::size_t kWarmRequestFrom = std::size_t(16) << 20;
// How far ahead of the filling thread pages are mapped in: far enough that the filler never
// waits for a fault, near enough that memory never filled is never taken.
inline constexpr std::size_t kWarmLead = std::size_t(8) << 20;
// How much one step of the page warmer maps in before it looks at the filler again.
inline constexpr std::size_t kWarmerStep = std::size_t(2) << 20;

// Whether a second core is free is asked (second_core_free) before a helper thread is started
// for a large request: with another process on the other core, a helper only takes turns with
// the thread it should help, and the plain path on one thread is faster.

// ---- large buffers a handle keeps from one request to the next (json/spare_buffers.hpp) ----

// Kept from this size on: below it, the allocator keeps freed memory in its heap itself.
inline constexpr std::size_t kKeepBuffersFrom = std::size_t(16) << 20;
// And up to this size: what one large request leaves behind is held until the handle's end.
inline constexpr std::size_t kKeepBuffersUpTo = std::size_t(512) << 20;

// ---- reading, checking and digesting large files (builder/read_file.cpp) ----

// Files from this size on are read a piece at a time, each piece checked and digested while
// it is in the cache.
inline constexpr std::size_t kPiecewiseReadFrom = std::size_t(8) << 20;
// The piece: small enough to stay in the cache, large enough that the calls cost nothing.
inline constexpr std::size_t kPieceBytes = std::size_t(256) << 10;

// ---- writing many inline candles (builder/pipeline.cpp, json/writer.cpp) ----

// From this many candles their text is digested on a second thread, a piece behind the
// writer (canonical_json_digested); below it a second thread costs more than it saves.
inline constexpr std::size_t kParallelCandles = 20000;
// A candle text at least this long is digested twice side by side (as a file, and within
// spec_hash) when it was not digested while written.
inline constexpr std::size_t kParallelDigestBytes = std::size_t(1) << 20;
// How much the trailing digester maps in per step ahead of the writer.
inline constexpr std::size_t kDigesterWarmStep = std::size_t(1) << 20;

// ---- the writer's and reader's working memory ----

// Objects of fewer members than this are sorted in place; from it on, the key order found
// for the previous object of the same keys is reused (candles repeat their keys).
inline constexpr std::size_t kOrderCacheFrom = 4;
// Per-thread working vectors grown past these are given back rather than kept for the next
// request, so one large request does not pin its memory to the thread.
inline constexpr std::size_t kKeepWriterEntries = std::size_t(1) << 16;
inline constexpr std::size_t kKeepReaderKeys = std::size_t(1) << 16;
inline constexpr std::size_t kKeepReaderScratch = std::size_t(1) << 20;

}  // namespace orvane::tuning
