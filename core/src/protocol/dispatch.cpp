#include "protocol/dispatch.hpp"

namespace orvane::protocol {

// Placeholder until the envelope decoder lands.
std::string command(PyCompiler&, std::string_view cmd_json) {
  if (cmd_json == R"({"cmd":"version"})") return R"({"version":"0.2.0","backtest_dep":"0.1.5"})";
  return R"({"ok":false,"error":"invalid command envelope: expected {\"cmd\":...}"})";
}

}  // namespace orvane::protocol
