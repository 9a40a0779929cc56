#include "protocol/dispatch.hpp"

#include <algorithm>
#include <atomic>

#include "builder/target_table.hpp"
#include "json/page_warmer.hpp"
#include "json/tuning.hpp"
#include "json/writer.hpp"
#include "protocol/commands.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"
#include "versions.hpp"

namespace orvane::protocol {

namespace {

std::string version_response() {
  std::string out = "{\"version\":";
  json::append_string(out, kCompilerVersion);
  out += ",\"backtest_dep\":";
  json::append_string(out, kBacktestDep);
  out += '}';
  return out;
}

std::string targets_response() {
  std::string out = "{\"targets\":[\"wasm\",\"binary\",\"no_std\"],\"mcus\":[";
  for (std::size_t i = 0; i < builder::kMcuAllowList.size(); ++i) {
    if (i) out += ',';
    json::append_string(out, builder::kMcuAllowList[i]);
  }
  out += "]}";
  return out;
}

// Large requests: the tape's pages are mapped in on a second thread while the text is read.
constexpr std::size_t kWarmTapeFrom = tuning::kWarmRequestFrom;
constexpr std::size_t kWarmLead = tuning::kWarmLead;

// The tape's capacity for a text: at most one node per 6 bytes (the shortest values and
// members with their separators). Capacity that is never touched costs no memory; growing a
// tape of millions of nodes would copy it several times.
std::size_t tape_nodes_for(std::size_t text_size) { return text_size / 6 + 16; }

}  // namespace

RequestTape::RequestTape(HandleState& state, json::ParsedDocument& request, std::string_view text)
    : request_(request), text_size_(text.size()) {
  request.doc.set_source(text);
  const std::size_t nodes = tape_nodes_for(text.size());
  json::KeptBuffers& kept = state.kept;
  if (nodes * sizeof(std::uint64_t) >= tuning::kKeepBuffersFrom && !kept.tape_lent) {
    kept_ = &kept;
    kept.tape_lent = true;
    fresh_ = text.size() > kept.tape_text || kept.tape.capacity() < nodes;
    adopted_capacity_ = kept.tape.capacity();
    request.doc.adopt_storage(std::move(kept.tape));
  }
  request.doc.reserve(nodes);
}

RequestTape::~RequestTape() {
  if (!kept_) return;
  kept_->tape_lent = false;
  std::vector<std::uint64_t> tape = request_.doc.take_storage();
  if (tape.capacity() * sizeof(std::uint64_t) > tuning::kKeepBuffersUpTo) {
    kept_->release();
    return;
  }
  // The storage it was lent keeps the pages earlier requests mapped; new storage (the tape
  // grew) has only this request's.
  kept_->tape_text =
      tape.capacity() == adopted_capacity_ ? std::max(kept_->tape_text, text_size_) : text_size_;
  kept_->tape = std::move(tape);
}

std::expected<void, json::TextError> read_request(std::string_view text,
                                                  json::ParsedDocument& request,
                                                  const RequestTape& tape) {
  if (text.size() < kWarmTapeFrom || !tape.fresh_pages() || !json::second_core_free()) {
    return json::parse_into(text, request);
  }
  std::atomic<std::size_t> used{0};
  request.doc.publish_progress_to(&used);
  auto parsed = [&] {
    json::PageWarmer warmer(request.doc.storage(), request.doc.storage_bytes(), used, kWarmLead);
    return json::parse_into(text, request);
  }();
  request.doc.publish_progress_to(nullptr);
  return parsed;
}

std::string command(HandleState& state, std::string_view cmd_json, const CommandHooks& hooks) {
  // The whole text is read once; a fault anywhere in it is an envelope fault.
  json::ParsedDocument request;
  RequestTape tape(state, request, cmd_json);
  auto parsed = read_request(cmd_json, request, tape);
  auto envelope = parsed ? schema::decode<Envelope>(request.value())
                         : schema::Decoded<Envelope>(std::unexpected(schema::SchemaError{}));
  if (!envelope) return error_response("invalid command envelope: expected {\"cmd\":...}");
  const std::string& cmd = envelope->cmd;
  if (cmd == "version") return version_response();
  if (cmd == "targets") return targets_response();
  if (cmd == "compile") return compile_command(state, cmd_json, request, hooks);
  if (cmd == "artifact_bytes") return artifact_bytes_command(state, cmd_json, request);
  if (cmd == "reset") return reset_command(state);
  return error_response("unknown cmd: " + cmd);
}

}  // namespace orvane::protocol
