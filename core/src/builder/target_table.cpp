#include "builder/target_table.hpp"

#include <algorithm>

#include "schema/messages.hpp"

namespace orvane::builder {

std::expected<void, CompileError> check_target(const schema::Target& target) {
  if (target.kind != schema::TargetKind::NoStd) return {};
  if (std::ranges::find(kMcuAllowList, std::string_view(target.mcu)) != kMcuAllowList.end()) {
    return {};
  }
  return std::unexpected(CompileError{
      ErrorKind::BadTarget, "mcu " + schema::quoted(target.mcu) + " is not in the allowlist",
      "target.mcu"});
}

std::optional<std::string_view> target_triple(const schema::Target& target) {
  switch (target.kind) {
    case schema::TargetKind::Wasm: return kWasmTriple;
    case schema::TargetKind::Binary: return std::nullopt;
    case schema::TargetKind::NoStd: return std::string_view(target.mcu);
  }
  return std::nullopt;
}

std::optional<std::string> cargo_config_text(const schema::Target& target) {
  auto triple = target_triple(target);
  if (!triple) return std::nullopt;
  // The mcu went through check_target, so it needs no TOML escaping.
  std::string text = "[build]\ntarget = \"";
  text += *triple;
  text += "\"\n";
  return text;
}

std::string_view profile_snippet(schema::OptLevel level) {
  switch (level) {
    case schema::OptLevel::Debug: return "";
    case schema::OptLevel::Release: return "[profile.release]\nlto = true\ncodegen-units = 1\n";
    case schema::OptLevel::Size:
      return "[profile.release]\nopt-level = \"z\"\nlto = true\ncodegen-units = 1\n"
             "panic = \"abort\"\nstrip = true\n";
  }
  return "";
}

}  // namespace orvane::builder
