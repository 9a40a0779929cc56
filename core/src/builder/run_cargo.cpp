#include "builder/run_cargo.hpp"

#include <string.h>
#include <sys/stat.h>

#include <optional>

#include "builder/run_process.hpp"
#include "builder/target_table.hpp"
#include "builder/utf8_lossy.hpp"

namespace orvane::builder {

namespace {

// Each raw byte decodes to at least one byte of text, and a cut can only disturb the first
// three, so this much of the raw tail decides the message exactly.
constexpr std::size_t kRawTailBytes = kErrorTailBytes + 8;

std::string error_tail(const std::string& raw) {
  std::string text = decode_utf8_lossy(raw);
  return std::string(utf8_tail(text, kErrorTailBytes));
}

std::string signal_text(int sig) {
  std::string out = std::to_string(sig);
  if (const char* abbrev = ::sigabbrev_np(sig)) out += std::string(" (SIG") + abbrev + ")";
  return out;
}

CompileError build_error(std::string message) {
  return CompileError{ErrorKind::Build, std::move(message)};
}

// How a tool ended, when that does not fail the build: whether its exit status is known, and
// if not, the end of what it said.
struct Outcome {
  bool status_lost = false;
  std::string tail;
};

std::expected<Outcome, CompileError> run_tool(const std::string& program,
                                              const std::vector<std::string>& args,
                                              const std::filesystem::path& dir,
                                              const BuildControl& control) {
  ProcessOptions options;
  options.args = args;
  options.working_dir = dir;
  options.stderr_keep = kRawTailBytes;
  options.control = &control;
  // The artifact is looked for under the project's own target/, wherever a developer's
  // environment or a configuration in a parent folder would send cargo's output.
  options.env = {{"CARGO_TARGET_DIR", (std::filesystem::absolute(dir) / "target").string()}};
  auto result = run_process(program, options);
  if (!result) {
    return std::unexpected(build_error("spawning " + program + ": " + system_error_text(result.error())));
  }
  switch (result->ending) {
    case ProcessResult::Ending::Exited:
      if (result->code == 0) return Outcome{};
      return std::unexpected(build_error(error_tail(result->stderr_tail)));
    case ProcessResult::Ending::Signalled: {
      std::string message = program + " was killed by signal " + signal_text(result->code);
      std::string tail = error_tail(result->stderr_tail);
      if (!tail.empty()) message += "\n" + tail;
      return std::unexpected(build_error(std::move(message)));
    }
    case ProcessResult::Ending::Stopped: return std::unexpected(build_error(result->stop_reason));
    case ProcessResult::Ending::Unknown: break;
  }
  // The host has its children reaped for it, so the status is gone: the artifact decides.
  return Outcome{true, error_tail(result->stderr_tail)};
}

// The artifact must be there, as a regular file, before the build is called a success.
std::optional<CompileError> check_artifact(const std::filesystem::path& dir, const std::string& rel,
                                           std::string_view tool, const Outcome& outcome) {
  std::filesystem::path full = dir / rel;
  struct stat st;
  const bool present = ::lstat(full.c_str(), &st) == 0;
  if (present && S_ISREG(st.st_mode)) return std::nullopt;
  std::string what = present ? " is not a regular file" : " is missing";
  if (outcome.status_lost) {
    std::string message = std::string(tool) +
                          "'s exit status is unknown (this process has its children reaped for "
                          "it), and the artifact " + full.string() + what;
    if (!outcome.tail.empty()) message += "\n" + outcome.tail;
    return build_error(std::move(message));
  }
  return build_error(std::string(tool) + " reported success, but the artifact " + full.string() + what);
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
                                                   std::string_view crate_name,
                                                   const BuildControl& control) {
  auto built = run_tool("cargo", cargo_arguments(target, level), project_dir, control);
  if (!built) return std::unexpected(std::move(built.error()));
  std::string_view last_tool = "cargo";
  // cargo alone leaves the wasm under target/; the reported pkg/ file is wasm-bindgen's.
  if (target.kind == spec::TargetKind::Wasm) {
    // With cargo's exit status lost, its own output decides whether it failed; wasm-bindgen
    // would only bury cargo's error under one about its missing input.
    if (built->status_lost) {
      std::string wasm = wasm_bindgen_arguments(crate_name, level).front();
      if (auto missing = check_artifact(project_dir, wasm, "cargo", *built)) {
        return std::unexpected(std::move(*missing));
      }
    }
    built = run_tool("wasm-bindgen", wasm_bindgen_arguments(crate_name, level), project_dir, control);
    if (!built) return std::unexpected(std::move(built.error()));
    last_tool = "wasm-bindgen";
  }
  std::string artifact = artifact_relative_path(target, level, crate_name);
  if (auto missing = check_artifact(project_dir, artifact, last_tool, *built)) {
    return std::unexpected(std::move(*missing));
  }
  return artifact;
}

}  // namespace orvane::builder
