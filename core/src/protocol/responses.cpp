#include "protocol/responses.hpp"

#include "json/writer.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane::protocol {

std::string error_response(std::string_view message) {
  std::string out = "{\"ok\":false,\"error\":";
  json::append_string(out, message);
  out += '}';
  return out;
}

void append_manifest(std::string& out, const builder::Manifest& m) {
  // Digests are hexadecimal and file paths are our own: they are written between quotes as
  // they are. Names that come from the request go through the string writer.
  auto quoted = [&](std::string_view text) {
    out += '"';
    out += text;
    out += '"';
  };
  out.reserve(out.size() + 400 + m.files.size() * 120);
  out += "{\"compiler_version\":";
  json::append_string(out, m.compiler_version);
  out += ",\"target\":";
  schema::append_target(out, m.target);
  out += ",\"opt_level\":";
  quoted(schema::opt_level_name(m.opt_level));
  out += ",\"crate_name\":";
  json::append_string(out, m.crate_name);
  out += ",\"spec_hash\":";
  quoted(m.spec_hash);
  out += ",\"backtest_dep\":";
  json::append_string(out, m.backtest_dep);
  out += ",\"files\":[";
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    if (i) out += ',';
    out += "{\"path\":";
    quoted(m.files[i].path);
    out += ",\"sha256\":";
    quoted(m.files[i].sha256);
    out += ",\"bytes_len\":";
    out += std::to_string(m.files[i].bytes_len);
    out += '}';
  }
  out += "],\"project_hash\":";
  quoted(m.project_hash);
  out += '}';
}

}  // namespace orvane::protocol
