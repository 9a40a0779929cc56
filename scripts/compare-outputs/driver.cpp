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
#include <sstream>

#include "canonical/writer.hpp"
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

bool touches_nothing(const json::ParsedDocument& parsed) {
  auto env = schema::decode_parsed<protocol::Envelope>(parsed.value());
  if (!env) return true;  // answered with the envelope error
  if (env->cmd == "artifact_bytes") return false;
  if (env->cmd != "compile") return true;
  auto req = schema::decode_parsed<protocol::CompileReq>(parsed.value());
  if (!req) return true;  // answered with the request error
  if (req->spec.embed_data && std::holds_alternative<schema::CsvData>(*req->spec.embed_data)) {
    return false;
  }
  return req->dry_run;
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
    }
  }
}
