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
                            const json::ParsedDocument& request, const CommandHooks& hooks);
// The compile command of a request already decoded, from the generated project on;
// `strategy_checked` when its strategy has been decoded without a fault already, and
// `strategy_text` its canonical text when written already (builder::checked_strategy_text).
std::string compile_decoded(HandleState& state, const CompileReq& request,
                            const CommandHooks& hooks, bool strategy_checked,
                            std::string* strategy_text = nullptr);
// The storage a request's text is read into, reserved for the text: for a large request the
// handle's kept tape (json::KeptBuffers), given back when this ends, so it is declared after
// the document; for others the document's own.
class RequestTape {
 public:
  RequestTape(HandleState& state, json::ParsedDocument& request, std::string_view text);
  ~RequestTape();
  RequestTape(const RequestTape&) = delete;
  RequestTape& operator=(const RequestTape&) = delete;
  // Whether reading the text will fault in fresh pages (no kept tape had them mapped).
  bool fresh_pages() const { return fresh_; }

 private:
  json::KeptBuffers* kept_ = nullptr;
  json::ParsedDocument& request_;
  std::size_t text_size_ = 0, adopted_capacity_ = 0;
  bool fresh_ = true;
};
// Reads the whole command text into `request`, mapping a large tape's fresh pages in on a
// second thread while the text is read, when a core is free for it.
std::expected<void, json::TextError> read_request(std::string_view text,
                                                  json::ParsedDocument& request,
                                                  const RequestTape& tape);
std::string artifact_bytes_command(HandleState& state, std::string_view cmd_json,
                                   const json::ParsedDocument& request);
std::string reset_command(HandleState& state);

}  // namespace orvane::protocol
