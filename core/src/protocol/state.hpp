#pragma once
// The state behind one Compiler handle: the artifact cache and the next handle number.
#include <cstdint>
#include <map>
#include <string>

namespace orvane::protocol {

struct HandleState {
  std::map<std::uint64_t, std::string> artifact_cache;
  std::uint64_t next_handle = 0;

  HandleState() = default;
  HandleState(const HandleState&) = delete;
  HandleState& operator=(const HandleState&) = delete;
  ~HandleState() { release_cache(); }

  // Empties the cache and gives its memory back to the system, not only to the allocator:
  // cached artifacts can be hundreds of megabytes.
  void release_cache();
};

}  // namespace orvane::protocol
