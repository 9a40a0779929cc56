#pragma once
// The commands with a handler of their own; each returns the complete response text.
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/requests.hpp"
#include "protocol/state.hpp"

namespace orvane::protocol {

// `request` is the whole command text parsed once by the dispatcher; handlers read their
// body from it and go back to the text only to word a failure with its position.
std::string compile_command(HandleState& state, std::string_view cmd_json,
                            const json::ParsedDocument& request,
                            const CommandHooks& hooks);
// The compile command of a request already decoded, from the generated project on;
// `strategy_checked` when its strategy has been decoded without a fault already.
std::string compile_decoded(HandleState& state, const CompileReq& request,
                            const CommandHooks& hooks, bool strategy_checked);
// Reads the whole command text into `request`, mapping a large tape's pages in on a second
// thread while the text is read.
std::expected<void, json::TextError> read_request(std::string_view text,
                                                  json::ParsedDocument& request);
std::string artifact_bytes_command(HandleState& state, std::string_view cmd_json,
                                   const json::ParsedDocument& request);
std::string reset_command(HandleState& state);

}  // namespace orvane::protocol
