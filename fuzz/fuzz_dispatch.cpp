// The whole dispatcher on a fresh handle, for any text a Python str can hold.
//
// No build may run and no file outside this target's own directory may be read: a compile
// request that would build is tried again with "dry_run":true put in front of its members,
// and skipped if it still would; a CSV dataset or artifact path outside the directory (or
// climbing out of it) is skipped.
//
// Every response is strict UTF-8, reads back with the project's own reader, and is either the
// error response {"ok":false,"error":string} or the success shape of its command. The same
// command sent again on the same handle answers the same (artifact_bytes with the next number).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "fuzz_support.hpp"
#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/requests.hpp"

using namespace orvane;
using fuzz::broken;

namespace {

// Files that requests may name. Seeds refer to this directory by this exact name.
constexpr std::string_view kFilesDir = "/tmp/orvane-fuzz-files/";

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

void make_files() {
  ::mkdir(std::string(kFilesDir).c_str(), 0755);
  std::string d(kFilesDir);
  write_file(d + "candles.csv", "ts,open,high,low,close,volume\n1,1.0,2.0,0.5,1.5,10\n");
  write_file(d + "empty", "");
  write_file(d + "bad_utf8.csv", "ts,open\n1,\xff\xfe\n");
  write_file(d + "artifact.bin", std::string("\x00\x01\x02wasm\x00", 8));
  ::mkdir((d + "subdir").c_str(), 0755);
}

bool path_allowed(std::string_view path) {
  return path.starts_with(kFilesDir) && path.find("..") == std::string_view::npos;
}

enum class Gate { Run, Skip };

// What the dispatcher would do with `text`, decided with the decoders it uses itself.
Gate gate(std::string_view text, bool& would_build) {
  would_build = false;
  auto parsed = json::parse(text);
  if (!parsed) return Gate::Run;
  auto env = schema::decode<protocol::Envelope>(parsed->value());
  if (!env) return Gate::Run;
  if (env->cmd == "artifact_bytes") {
    auto req = schema::decode<protocol::BytesReq>(parsed->value());
    if (req && !path_allowed(req->path)) return Gate::Skip;
    return Gate::Run;
  }
  if (env->cmd == "compile") {
    auto req = schema::decode<protocol::CompileReq>(parsed->value());
    if (!req) return Gate::Run;
    if (req->spec.embed_data) {
      if (const auto* csv = std::get_if<schema::CsvData>(&*req->spec.embed_data)) {
        if (!path_allowed(csv->path)) return Gate::Skip;
      }
    }
    if (!req->dry_run) would_build = true;
  }
  return Gate::Run;
}

std::optional<json::Value> member(json::Value obj, std::string_view key) { return obj.find(key); }

bool keys_are(json::Value obj, std::initializer_list<std::string_view> keys) {
  if (obj.kind() != json::Kind::Object || obj.size() != keys.size()) return false;
  auto it = keys.begin();
  bool same = true;
  obj.for_each_member([&](std::string_view k, json::Value) {
    same = same && k == *it;
    ++it;
    return same;
  });
  return same;
}

bool is_hex64(json::Value v) {
  if (v.kind() != json::Kind::String || v.as_string().size() != 64) return false;
  for (char c : v.as_string()) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool is_target(json::Value t) {
  auto kind = member(t, "kind");
  if (!kind || kind->kind() != json::Kind::String) return false;
  std::string_view k = kind->as_string();
  if (k == "no_std") {
    return keys_are(t, {"kind", "mcu"}) && member(t, "mcu")->kind() == json::Kind::String;
  }
  return keys_are(t, {"kind"}) && (k == "wasm" || k == "binary");
}

bool is_manifest(json::Value m, std::string_view target_text) {
  if (!keys_are(m, {"compiler_version", "target", "opt_level", "crate_name", "spec_hash",
                    "backtest_dep", "files", "project_hash"})) {
    return false;
  }
  if (member(m, "compiler_version")->as_string() != "0.2.0") return false;
  if (json::compact_json(*member(m, "target")) != target_text) return false;
  std::string_view opt = member(m, "opt_level")->kind() == json::Kind::String
                             ? member(m, "opt_level")->as_string()
                             : "";
  if (opt != "debug" && opt != "release" && opt != "size") return false;
  auto crate = member(m, "crate_name");
  if (crate->kind() != json::Kind::String || crate->as_string().empty()) return false;
  if (!is_hex64(*member(m, "spec_hash")) || !is_hex64(*member(m, "project_hash"))) return false;
  if (member(m, "backtest_dep")->kind() != json::Kind::String ||
      member(m, "backtest_dep")->as_string() != "0.1.5") {
    return false;
  }
  auto files = member(m, "files");
  if (files->kind() != json::Kind::Array || files->size() == 0) return false;
  bool ok = true;
  std::string previous;
  files->for_each_element([&](json::Value f) {
    ok = keys_are(f, {"path", "sha256", "bytes_len"}) &&
         member(f, "path")->kind() == json::Kind::String && is_hex64(*member(f, "sha256")) &&
         member(f, "bytes_len")->kind() == json::Kind::UInt;
    if (ok) {
      std::string path(member(f, "path")->as_string());
      ok = previous < path;  // byte-wise ascending, no repeats
      previous = path;
    }
    return ok;
  });
  return ok;
}

constexpr std::string_view kVersion = R"({"version":"0.2.0","backtest_dep":"0.1.5"})";
constexpr std::string_view kTargets =
    R"({"targets":["wasm","binary","no_std"],"mcus":["thumbv6m-none-eabi","thumbv7m-none-eabi",)"
    R"("thumbv7em-none-eabi","thumbv7em-none-eabihf","thumbv8m.main-none-eabi",)"
    R"("thumbv8m.main-none-eabihf","riscv32imac-unknown-none-elf"]})";
constexpr std::string_view kEnvelopeError =
    R"({"ok":false,"error":"invalid command envelope: expected {\"cmd\":...}"})";

void check_response(std::string_view request, const std::string& response, std::uint64_t call) {
  if (!fuzz::is_strict_utf8(response)) broken("response is not valid UTF-8", request, response);
  auto parsed = json::parse(response);
  if (!parsed) broken("response is not JSON", request, response);
  json::Value r = parsed->value();
  if (json::compact_json(r) != response) broken("response is not compact JSON", request, response);

  if (keys_are(r, {"ok", "error"})) {
    if (member(r, "ok")->kind() != json::Kind::Bool || member(r, "ok")->as_bool() ||
        member(r, "error")->kind() != json::Kind::String) {
      broken("malformed error response", request, response);
    }
    return;
  }

  // What the request asked for decides which success shape is due.
  auto req = json::parse(request);
  if (!req) broken("a request the reader rejects was answered with success", request, response);
  auto env = schema::decode<protocol::Envelope>(req->value());
  if (!env) broken("a malformed envelope was answered with success", request, response);
  const std::string& cmd = env->cmd;
  bool ok = false;
  if (cmd == "version") {
    ok = response == kVersion;
  } else if (cmd == "targets") {
    ok = response == kTargets;
  } else if (cmd == "reset") {
    ok = response == R"({"ok":true})";
  } else if (cmd == "artifact_bytes") {
    ok = keys_are(r, {"handle", "len", "sha256"}) &&
         member(r, "handle")->kind() == json::Kind::UInt && member(r, "handle")->as_uint() == call &&
         member(r, "len")->kind() == json::Kind::UInt && is_hex64(*member(r, "sha256"));
  } else if (cmd == "compile") {
    auto body = schema::decode<protocol::CompileReq>(req->value());
    std::string target_text;
    if (body) schema::append_target(target_text, body->spec.target);
    ok = body && body->dry_run && keys_are(r, {"target", "manifest", "built"}) &&
         is_target(*member(r, "target")) && json::compact_json(*member(r, "target")) == target_text &&
         is_manifest(*member(r, "manifest"), target_text) &&
         member(r, "built")->kind() == json::Kind::Bool && !member(r, "built")->as_bool();
  }
  if (!ok) broken("success response of the wrong shape", request, response);
}

// The error message itself, for the cases whose wording the dispatcher fixes.
void check_error_wording(std::string_view request, const std::string& response) {
  auto req = json::parse(request);
  std::optional<schema::Decoded<protocol::Envelope>> env;
  if (req) env = schema::decode<protocol::Envelope>(req->value());
  if (!req || !*env) {
    if (response != kEnvelopeError) broken("an envelope fault was not answered as one", request, response);
    return;
  }
  const std::string& cmd = (**env).cmd;
  if (cmd == "version" || cmd == "targets" || cmd == "reset" || cmd == "compile" ||
      cmd == "artifact_bytes") {
    return;
  }
  std::string expected = R"({"ok":false,"error":)";
  json::append_string(expected, "unknown cmd: " + cmd);
  expected += '}';
  if (response != expected) broken("unknown command answered wrongly", request, response);
}

std::string run(const std::string& text) {
  bool would_build = false;
  if (gate(text, would_build) == Gate::Skip) return {};
  if (!would_build) return text;
  // Put "dry_run":true first among the members and try once more.
  std::size_t brace = text.find('{');
  if (brace == std::string::npos) return {};
  std::string rewritten = text.substr(0, brace + 1) + "\"dry_run\":true," + text.substr(brace + 1);
  if (gate(rewritten, would_build) == Gate::Skip || would_build) return {};
  return rewritten;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_files();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!fuzz::is_strict_utf8(text)) return 0;  // a Python str never encodes to such bytes
  std::string request = run(text);
  if (request.empty() && !text.empty()) return 0;
  if (!fuzz::is_strict_utf8(request)) return 0;

  protocol::HandleState state;
  std::optional<builder::CompileError> failure;
  protocol::CommandHooks hooks;
  hooks.failure = &failure;
  std::string first = protocol::command(state, request, hooks);
  check_response(request, first, 0);

  // Applied and diagnosed at once, on a handle of its own, the request answers as it does
  // alone, with the diagnostics `diagnose` finds.
  protocol::HandleState fresh;
  const protocol::Exchange together = protocol::exchange(fresh, request, {}, {});
  if (together.response != first) {
    broken("answered otherwise with its diagnostics", first, together.response.value_or("(none)"));
  }
  auto apart = protocol::diagnose(request);
  // Diagnosed without running, it finds what `diagnose` finds, and answers nothing.
  protocol::ExchangeOptions only_diagnosed;
  only_diagnosed.run = false;
  const protocol::Exchange diagnosed = protocol::exchange(fresh, request, {}, only_diagnosed);
  if (diagnosed.response || protocol::diagnostics_json(diagnosed.diagnostics, request) !=
                                protocol::diagnostics_json(apart, request)) {
    broken("diagnosed otherwise without running", protocol::diagnostics_json(apart, request),
           protocol::diagnostics_json(diagnosed.diagnostics, request));
  }
  if (failure && std::none_of(apart.begin(), apart.end(), [](const auto& d) { return !d.warning; })) {
    apart.insert(apart.begin(), protocol::diagnostic_of(*failure, request));
  }
  const std::string apart_json = protocol::diagnostics_json(apart, request);
  const std::string together_json = protocol::diagnostics_json(together.diagnostics, request);
  if (apart_json != together_json) broken("diagnosed otherwise with its answer", apart_json, together_json);
  bool first_is_error = first.starts_with(R"({"ok":false,)");
  if (first_is_error) check_error_wording(request, first);

  std::string second = protocol::command(state, request);
  check_response(request, second, first_is_error ? 0 : 1);
  if (first.find("\"handle\":") == std::string::npos && second != first) {
    broken("the same command answered differently on the same handle", first, second);
  }
  if (!first_is_error && state.next_handle > 0) {
    std::string reset = protocol::command(state, R"({"cmd":"reset"})");
    ORV_CHECK(reset == R"({"ok":true})", reset);
    ORV_CHECK(state.next_handle == 0 && state.artifact_cache.empty());
  }
  return 0;
}
