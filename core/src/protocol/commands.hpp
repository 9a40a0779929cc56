#pragma once
// The commands with a handler of their own; each returns the complete response text.
#include <functional>
#include <string>
#include <string_view>

#include "canonical/reader.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"

namespace orvane::protocol {

// `request` is the whole command text parsed once by the dispatcher; handlers read their
// body from it and go back to the text only to word a failure with its position.
std::string compile_command(HandleState& state, std::string_view cmd_json,
                            const json::ParsedDocument& request,
                            const CommandHooks& hooks);
std::string artifact_bytes_command(HandleState& state, std::string_view cmd_json,
                                   const json::ParsedDocument& request);
std::string reset_command(HandleState& state);

}  // namespace orvane::protocol
