#pragma once
// The command dispatcher: one JSON command in, one JSON response out, for every input.
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "builder/artifact_store.hpp"
#include "builder/compile_error.hpp"
#include "builder/pipeline.hpp"
#include "protocol/state.hpp"

namespace orvane::protocol {

// A compile's success as data, beside the answer's text that words it.
struct CompileSuccess {
  builder::Manifest manifest;
  std::optional<std::string> path;      // the artifact's, after a build
  std::optional<builder::StoreUse> store;  // how a store served a build through one
};

// What the host lends a command beside its text.
struct CommandHooks {
  // Asked on the calling thread every little while during a build whether the caller wants it
  // stopped; a stopped build answers "build: cancelled".
  std::function<bool()> cancelled;
  // When not -1, the build tools' output goes to this descriptor as it comes, a whole line at
  // a time, each line after the crate name and ": ". Warnings of a build that succeeds are
  // seen this way.
  int echo_fd = -1;
  // When set, a failure of the compile pipeline or the build is also handed over here, as data.
  std::optional<builder::CompileError>* failure = nullptr;
  // When set, a compile's success is also handed over here, as data (no reading of the answer).
  std::optional<CompileSuccess>* success = nullptr;
  // Asked once a build's project is generated, before anything is written: an error returned
  // refuses the build with it (a tool chain that cannot build the target, say).
  std::function<std::optional<builder::CompileError>(const builder::Manifest&,
                                                     const std::filesystem::path& project_dir)>
      before_write;
  // Opens a store of a scheme the core has no backend for (`is_remote_store`): the host's, which
  // only moves bytes (see `ArtifactStore`). Unset, such a store is refused.
  std::function<std::expected<std::unique_ptr<builder::ArtifactStore>, builder::CompileError>(
      std::string_view location)>
      open_store;
};

// `cmd_json` must be valid UTF-8. Never fails: every failure is an error response.
std::string command(HandleState& state, std::string_view cmd_json, const CommandHooks& hooks = {});

}  // namespace orvane::protocol
