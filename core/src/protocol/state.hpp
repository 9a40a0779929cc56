#pragma once
// The state behind one Compiler handle: the artifact cache and the next handle number.
#include <cstdint>
#include <map>
#include <string>

namespace orvane::protocol {

struct PyCompiler {
  std::map<std::uint64_t, std::string> artifact_cache;
  std::uint64_t next_handle = 0;
};

}  // namespace orvane::protocol
