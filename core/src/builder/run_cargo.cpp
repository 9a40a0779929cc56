#include "builder/run_cargo.hpp"

#include "builder/run_process.hpp"
#include "builder/target_table.hpp"
#include "builder/utf8_lossy.hpp"

namespace orvane::builder {

namespace {

// Each raw byte decodes to at least one byte of text, and a cut can only disturb the first
// three, so this much of the raw tail decides the message exactly.
constexpr std::size_t kRawTailBytes = kErrorTailBytes + 8;

std::expected<void, CompileError> run_tool(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::filesystem::path& dir) {
  auto result = run_process(program, args, dir, kRawTailBytes);
  if (!result) {
    return std::unexpected(CompileError{
        ErrorKind::Build, "spawning " + program + ": " + system_error_text(result.error())});
  }
  if (!result->succeeded) {
    std::string text = decode_utf8_lossy(result->stderr_tail);
    return std::unexpected(
        CompileError{ErrorKind::Build, std::string(utf8_tail(text, kErrorTailBytes))});
  }
  return {};
}

}  // namespace

std::string_view profile_dir_name(spec::OptLevel level) {
  return level == spec::OptLevel::Debug ? "debug" : "release";
}

std::vector<std::string> cargo_arguments(const spec::Target& target, spec::OptLevel level) {
  std::vector<std::string> args = {"build"};
  if (auto triple = target_triple(target)) {
    args.emplace_back("--target");
    args.emplace_back(*triple);
  }
  if (level != spec::OptLevel::Debug) args.emplace_back("--release");
  return args;
}

std::vector<std::string> wasm_bindgen_arguments(std::string_view crate_name,
                                                spec::OptLevel level) {
  std::string wasm = "target/" + std::string(kWasmTriple) + "/" +
                     std::string(profile_dir_name(level)) + "/" + std::string(crate_name) + ".wasm";
  return {std::move(wasm), "--target", "web", "--out-dir", "pkg"};
}

std::string artifact_relative_path(const spec::Target& target, spec::OptLevel level,
                                   std::string_view crate_name) {
  std::string crate(crate_name);
  std::string profile(profile_dir_name(level));
  switch (target.kind) {
    case spec::TargetKind::Wasm: return "pkg/" + crate + "_bg.wasm";
    case spec::TargetKind::Binary: return "target/" + profile + "/" + crate;
    case spec::TargetKind::NoStd:
      return "target/" + target.mcu + "/" + profile + "/lib" + crate + ".a";
  }
  return {};
}

std::expected<std::string, CompileError> run_cargo(const std::filesystem::path& project_dir,
                                                   const spec::Target& target,
                                                   spec::OptLevel level,
                                                   std::string_view crate_name) {
  if (auto built = run_tool("cargo", cargo_arguments(target, level), project_dir); !built) {
    return std::unexpected(std::move(built.error()));
  }
  // cargo alone leaves the wasm under target/; the reported pkg/ file is wasm-bindgen's.
  if (target.kind == spec::TargetKind::Wasm) {
    auto bound = run_tool("wasm-bindgen", wasm_bindgen_arguments(crate_name, level), project_dir);
    if (!bound) return std::unexpected(std::move(bound.error()));
  }
  return artifact_relative_path(target, level, crate_name);
}

}  // namespace orvane::builder
