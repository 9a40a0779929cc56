#pragma once
// The commands with a handler of their own; each returns the complete response text.
#include <string>
#include <string_view>

#include "protocol/state.hpp"

namespace orvane::protocol {

std::string compile_command(PyCompiler& state, std::string_view cmd_json);
std::string artifact_bytes_command(PyCompiler& state, std::string_view cmd_json);
std::string reset_command(PyCompiler& state);

}  // namespace orvane::protocol
