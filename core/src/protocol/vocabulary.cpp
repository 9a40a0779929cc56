#include "protocol/vocabulary.hpp"

#include <array>
#include <vector>

#include "builder/compile_error.hpp"
#include "builder/project_files.hpp"
#include "builder/target_table.hpp"
#include "builder/write_project.hpp"
#include "json/writer.hpp"
#include "schema/compile_spec.hpp"
#include "versions.hpp"

namespace orvane::protocol {

namespace {

template <class Names>
void append_list(std::string& out, const Names& names) {
  out += '[';
  bool first = true;
  for (std::string_view name : names) {
    if (!first) out += ',';
    first = false;
    json::append_string(out, name);
  }
  out += ']';
}

}  // namespace

std::string vocabulary_json() {
  using schema::OptLevel;
  using schema::TargetKind;
  constexpr std::array kKinds = {TargetKind::Wasm, TargetKind::Binary, TargetKind::NoStd};
  constexpr std::array kLevels = {OptLevel::Debug, OptLevel::Release, OptLevel::Size};
  constexpr std::array kErrors = {builder::ErrorKind::Parse,     builder::ErrorKind::BadSpec,
                                  builder::ErrorKind::BadTarget, builder::ErrorKind::Codegen,
                                  builder::ErrorKind::Build,     builder::ErrorKind::Io};
  std::string out = "{\"version\":";
  json::append_string(out, kCompilerVersion);
  out += ",\"backtest_dep\":";
  json::append_string(out, kBacktestDep);
  std::array<std::string_view, kKinds.size()> kinds;
  for (std::size_t i = 0; i < kKinds.size(); ++i) kinds[i] = schema::target_kind_name(kKinds[i]);
  out += ",\"targets\":";
  append_list(out, kinds);
  std::array<std::string_view, kLevels.size()> levels;
  for (std::size_t i = 0; i < kLevels.size(); ++i) levels[i] = schema::opt_level_name(kLevels[i]);
  out += ",\"opt_levels\":";
  append_list(out, levels);
  out += ",\"mcus\":";
  append_list(out, builder::kMcuAllowList);
  out += ",\"wasm_triple\":";
  json::append_string(out, builder::kWasmTriple);
  std::array<std::string_view, kErrors.size()> errors;
  for (std::size_t i = 0; i < kErrors.size(); ++i) errors[i] = builder::error_kind_name(kErrors[i]);
  out += ",\"error_kinds\":";
  append_list(out, errors);
  out += ",\"project_paths\":{";
  for (TargetKind kind : kKinds) {
    if (kind != kKinds.front()) out += ',';
    json::append_string(out, schema::target_kind_name(kind));
    out += ':';
    schema::Target target{kind, kind == TargetKind::NoStd ? std::string(builder::kMcuAllowList[0]) : ""};
    const builder::FileSet files = builder::project_files(target, "x", "", "{}", {});
    std::vector<std::string_view> paths;
    for (const auto& [path, text] : files) paths.push_back(path);
    append_list(out, paths);
  }
  out += "},\"owned_paths\":";
  append_list(out, builder::kOwnedPaths);
  out += ",\"lock_file\":";
  json::append_string(out, builder::kLockFileName);
  out += ",\"record_file\":";
  json::append_string(out, builder::kRecordFileName);
  out += '}';
  return out;
}

}  // namespace orvane::protocol
