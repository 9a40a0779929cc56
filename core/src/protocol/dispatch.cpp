#include "protocol/dispatch.hpp"

#include <atomic>

#include "builder/target_table.hpp"
#include "versions.hpp"
#include "json/page_warmer.hpp"
#include "json/tuning.hpp"
#include "json/writer.hpp"
#include "protocol/commands.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"

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

}  // namespace

std::expected<void, json::TextError> read_request(std::string_view text,
                                                  json::ParsedDocument& request) {
  if (text.size() < kWarmTapeFrom) return json::parse_into(text, request);
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
  request.doc.set_source(cmd_json);
  // Capacity that is never touched costs no memory; growing a tape of millions of nodes would
  // copy it several times.
  request.doc.reserve(cmd_json.size() / 6 + 16);
  auto parsed = read_request(cmd_json, request);
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
