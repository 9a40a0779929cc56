#include "builder/target_table.hpp"

#include <algorithm>

#include "spec/messages.hpp"

namespace orvane::builder {

std::expected<void, CompileError> check_target(const spec::Target& target) {
  if (target.kind != spec::TargetKind::NoStd) return {};
  if (std::ranges::find(kMcuAllowList, std::string_view(target.mcu)) != kMcuAllowList.end()) {
    return {};
  }
  return std::unexpected(CompileError{
      ErrorKind::BadTarget, "mcu " + spec::quoted(target.mcu) + " is not in the allowlist"});
}

std::optional<std::string_view> target_triple(const spec::Target& target) {
  switch (target.kind) {
    case spec::TargetKind::Wasm: return kWasmTriple;
    case spec::TargetKind::Binary: return std::nullopt;
    case spec::TargetKind::NoStd: return std::string_view(target.mcu);
  }
  return std::nullopt;
}

std::optional<std::string> cargo_config_text(const spec::Target& target) {
  auto triple = target_triple(target);
  if (!triple) return std::nullopt;
  // The mcu went through check_target, so it needs no TOML escaping.
  std::string text = "[build]\ntarget = \"";
  text += *triple;
  text += "\"\n";
  return text;
}

std::string_view profile_snippet(spec::OptLevel level) {
  switch (level) {
    case spec::OptLevel::Debug: return "";
    case spec::OptLevel::Release: return "[profile.release]\nlto = true\ncodegen-units = 1\n";
    case spec::OptLevel::Size:
      return "[profile.release]\nopt-level = \"z\"\nlto = true\ncodegen-units = 1\n"
             "panic = \"abort\"\nstrip = true\n";
  }
  return "";
}

}  // namespace orvane::builder
