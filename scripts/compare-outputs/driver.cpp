// Prints everything the library answers for each input file, so that two builds can be
// compared byte for byte (see ../compare-outputs.sh): the reader's verdict, the canonical and
// compact texts, the strategy check, and the dispatcher's response.
//
// Only commands that touch nothing are sent: dry runs, version, targets and reset. A build,
// an artifact or a CSV dataset would write or read files named by the input.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/requests.hpp"
// The driver is also built against older trees, where the schema lived under spec/ in the
// namespace orvane::spec, and the handle state was PyCompiler.
#if __has_include("schema/strategy.hpp")
#include "schema/strategy.hpp"
#else
#include "spec/strategy.hpp"
namespace orvane {
namespace schema = spec;
namespace protocol {
using HandleState = PyCompiler;
}
}
#endif

using namespace orvane;

namespace {

// Decided from the parsed value alone, the same way against every tree. Anything that might
// build, read a CSV file or an artifact is left out.
std::optional<std::string_view> string_at(json::Value v) {
  if (v.kind() == json::Kind::String) return v.as_string();
  return std::nullopt;
}
std::optional<json::Value> first_element(json::Value v) {
  std::optional<json::Value> out;
  v.for_each_element([&](json::Value e) { return out = e, false; });
  return out;
}

bool touches_nothing(const json::ParsedDocument& parsed) {
  json::Value root = parsed.value();
  std::optional<json::Value> cmd;
  if (root.kind() == json::Kind::Object) cmd = root.find("cmd");
  if (root.kind() == json::Kind::Array) cmd = first_element(root);
  auto name = cmd ? string_at(*cmd) : std::nullopt;
  if (!name) return true;  // answered with the envelope error
  if (*name == "artifact_bytes") return false;
  if (*name != "compile") return true;
  if (root.kind() != json::Kind::Object) return true;  // answered with the request error
  auto dry = root.find("dry_run");
  if (!dry || dry->kind() != json::Kind::Bool || !dry->as_bool()) return false;
  auto spec = root.find("spec");
  if (!spec || spec->kind() != json::Kind::Object) return true;
  auto data = spec->find("embed_data");
  if (!data || data->is_null()) return true;
  std::optional<json::Value> kind;
  if (data->kind() == json::Kind::Object) kind = data->find("kind");
  if (data->kind() == json::Kind::Array) kind = first_element(*data);
  auto kind_name = kind ? string_at(*kind) : std::nullopt;
  return kind_name && *kind_name == "inline";
}

void report(const std::string& text, protocol::HandleState& state) {
  auto parsed = json::parse(text);
  if (!parsed) {
    std::cout << "unreadable: " << parsed.error().message << " @" << parsed.error().index << "\n";
    return;
  }
  json::Value v = parsed->value();
  std::cout << json::canonical_json(v) << "\n" << json::compact_json(v) << "\n";
  auto checked = schema::decode_strategy_spec(v);
  std::cout << "strategy: " << (checked ? std::string("ok") : checked.error().message) << "\n";
  if (touches_nothing(*parsed)) std::cout << protocol::command(state, text) << "\n";
}

// Each input also stands in every place of a dry-run compile request where a typed part of the
// request is read, so that the wording and place of every request fault are compared.
void report_in_requests(const std::string& text, protocol::HandleState& state) {
  static const std::string kStrategy =
      R"({"symbol":"BTCUSDT","timeframe":"1h","indicators":{"f":{"type":"ema","params":[3]}},)"
      R"("entry":{"gt":["f",1]},"exit":{"lt":["f",1]},"sizing":{"type":"fixed_qty","qty":1}})";
  const std::string spec_head = R"({"strategy":)" + kStrategy;
  const std::string places[] = {
      R"({"cmd":"compile","dry_run":true,"spec":)" + text + "}",
      R"({"cmd":"compile","dry_run":true,"spec":)" + spec_head + R"(,"target":)" + text + "}}",
      R"({"cmd":"compile","dry_run":true,"spec":)" + spec_head +
          R"(,"target":{"kind":"binary"},"opt_level":)" + text + "}}",
      R"({"cmd":"compile","dry_run":true,"spec":)" + spec_head +
          R"(,"target":{"kind":"binary"},"embed_data":)" + text + "}}",
      R"({"cmd":"compile","dry_run":true,"spec":)" + spec_head +
          R"(,"target":{"kind":"binary"}},"build":)" + text + "}",
      "{\n  \"cmd\": \"compile\",\n  \"dry_run\": true,\n  \"spec\": " + text + "\n}",
  };
  for (const std::string& request : places) {
    auto parsed = json::parse(request);
    if (!parsed || !touches_nothing(*parsed)) continue;
    std::cout << protocol::command(state, request) << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  protocol::HandleState state;
  for (int a = 1; a < argc; ++a) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[a])) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
      std::ifstream in(path, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      std::cout << "== " << path.filename().string() << "\n";
      report(bytes.str(), state);
      report_in_requests(bytes.str(), state);
    }
  }
}
