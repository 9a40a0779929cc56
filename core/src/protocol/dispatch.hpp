#pragma once
// The command dispatcher: one JSON command in, one JSON response out, for every input.
#include <functional>
#include <string>
#include <string_view>

#include "protocol/state.hpp"

namespace orvane::protocol {

inline constexpr std::string_view kVersion = "0.2.0";
inline constexpr std::string_view kBacktestDep = "0.1.5";

// `cmd_json` must be valid UTF-8. Never fails: every failure is an error response.
// `cancelled`, when given, is asked on this thread every little while during a build whether
// the caller wants it stopped; a stopped build answers "build: cancelled".
std::string command(PyCompiler& state, std::string_view cmd_json,
                    const std::function<bool()>& cancelled = {});

}  // namespace orvane::protocol
