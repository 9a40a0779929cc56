#pragma once
// The state behind one Compiler handle: the artifact cache, the next handle number and the
// large working buffers kept from one request to the next.
#include <cstdint>
#include <map>
#include <string>

#include "json/spare_buffers.hpp"

namespace orvane::protocol {

struct HandleState {
  std::map<std::uint64_t, std::string> artifact_cache;
  std::uint64_t next_handle = 0;
  json::KeptBuffers kept;

  HandleState() = default;
  HandleState(const HandleState&) = delete;
  HandleState& operator=(const HandleState&) = delete;
  ~HandleState() { release_cache(); }

  // Empties the cache and lets go of the kept buffers, and gives their memory back to the
  // system, not only to the allocator: cached artifacts can be hundreds of megabytes.
  void release_cache();
};

}  // namespace orvane::protocol
