#include "protocol/dispatch.hpp"

#include "builder/target_table.hpp"
#include "canonical/writer.hpp"
#include "protocol/commands.hpp"
#include "protocol/requests.hpp"
#include "protocol/responses.hpp"

namespace orvane::protocol {

namespace {

std::string version_response() {
  std::string out = "{\"version\":";
  json::append_string(out, kVersion);
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

}  // namespace

std::string command(PyCompiler& state, std::string_view cmd_json) {
  Envelope envelope;
  {
    // Values met while reading the envelope are not kept.
    json::Document scratch(cmd_json);
    auto env = spec::decode_text<Envelope>(cmd_json, scratch);
    if (!env) return error_response("invalid command envelope: expected {\"cmd\":...}");
    envelope = std::move(*env);
  }
  const std::string& cmd = envelope.cmd;
  if (cmd == "version") return version_response();
  if (cmd == "targets") return targets_response();
  if (cmd == "compile") return compile_command(state, cmd_json);
  if (cmd == "artifact_bytes") return artifact_bytes_command(state, cmd_json);
  if (cmd == "reset") return reset_command(state);
  return error_response("unknown cmd: " + cmd);
}

}  // namespace orvane::protocol
