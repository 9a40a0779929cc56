#include "protocol/state.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace orvane::protocol {

void HandleState::release_cache() {
  kept.release();
  if (artifact_cache.empty()) return;
  artifact_cache.clear();
#if defined(__GLIBC__)
  // Freed blocks below the allocator's mapping threshold stay in its heap otherwise.
  malloc_trim(0);
#endif
}

}  // namespace orvane::protocol
