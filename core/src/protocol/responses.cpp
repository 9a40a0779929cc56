#include "protocol/responses.hpp"

#include "canonical/writer.hpp"
#include "spec/compile_spec_schema.hpp"

namespace orvane::protocol {

std::string error_response(std::string_view message) {
  std::string out = "{\"ok\":false,\"error\":";
  json::append_string(out, message);
  out += '}';
  return out;
}

void append_manifest(std::string& out, const builder::Manifest& m) {
  auto key = [&](std::string_view k) {
    out += '"';
    out += k;
    out += "\":";
  };
  out += '{';
  key("compiler_version");
  json::append_string(out, m.compiler_version);
  out += ',';
  key("target");
  spec::append_target(out, m.target);
  out += ',';
  key("opt_level");
  json::append_string(out, spec::opt_level_name(m.opt_level));
  out += ',';
  key("crate_name");
  json::append_string(out, m.crate_name);
  out += ',';
  key("spec_hash");
  json::append_string(out, m.spec_hash);
  out += ',';
  key("backtest_dep");
  json::append_string(out, m.backtest_dep);
  out += ',';
  key("files");
  out += '[';
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    if (i) out += ',';
    out += '{';
    key("path");
    json::append_string(out, m.files[i].path);
    out += ',';
    key("sha256");
    json::append_string(out, m.files[i].sha256);
    out += ',';
    key("bytes_len");
    out += std::to_string(m.files[i].bytes_len);
    out += '}';
  }
  out += "],";
  key("project_hash");
  json::append_string(out, m.project_hash);
  out += '}';
}

}  // namespace orvane::protocol
