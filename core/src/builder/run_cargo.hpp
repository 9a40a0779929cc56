#pragma once
// Builds a written project with cargo and names the artifact it leaves.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "builder/build_control.hpp"
#include "builder/compile_error.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::builder {

// At most this many bytes of a failed tool's error output become the message.
inline constexpr std::size_t kErrorTailBytes = 2000;

// "debug", or "release" for release and size.
std::string_view profile_dir_name(schema::OptLevel level);

// `build [--target <triple>] [--release]`, without the program name.
std::vector<std::string> cargo_arguments(const schema::Target& target, schema::OptLevel level);

// Turns cargo's wasm output into the pkg/ files a web page loads.
std::vector<std::string> wasm_bindgen_arguments(std::string_view crate_name,
                                                schema::OptLevel level);

// Relative to the project directory, "/"-separated; not checked for existence.
std::string artifact_relative_path(const schema::Target& target, schema::OptLevel level,
                                   std::string_view crate_name);

// Runs cargo in `project_dir` (then wasm-bindgen for wasm) and returns the artifact's
// relative path, once it is there as a regular file that this build left: what an earlier
// build left there is removed first. cargo writes under the project's own target/ whatever the
// environment or a parent configuration says; a build target set for it elsewhere (which would
// move a host build's output under target/<triple>/) is refused, or named when it is found. A failure is of kind build:
// "spawning <tool>: " + the system error text; the tail of the failing tool's standard error;
// "<tool> was killed by signal N (SIGNAME)" and that tail; the artifact missing; or
// `control`'s reason to stop ("timed out after N s", "cancelled").
//
//
// With `cache_dir`, compiled dependencies are shared through that folder between projects,
// processes and threads: cargo builds in a target folder inside it, shared by every build that
// names it. Builds sharing the folder run side by side up to one per core, each holding a
// target folder of its own while it runs, and the artifact is copied into the project, so it
// still lands where the answer says. With `echo_fd`, the tools' output goes there as it comes, each line after
// "<crate>: ". A compiler wrapper configured in the environment (RUSTC_WRAPPER=sccache with a
// backend shared between machines) works beside it.
// More of how a build runs.
struct CargoRun {
  // The project folder as the writer holds it: the tools start in it, and the artifact is
  // looked for below it, whatever `project_dir` names by then. -1: `project_dir` is opened.
  int project_fd = -1;
  // cargo's parallel jobs for this build (CARGO_BUILD_JOBS in its environment only).
  std::optional<std::uint32_t> jobs;
};

// Where the build makes cargo's output independent of the machine's paths: each `from` prefix
// is written as `to` in what rustc records (debug info, panic locations).
struct PathRemap {
  std::string from;
  std::string to;
};

// What is added to cargo's environment so that the artifact's bytes do not depend on where the
// project, the target folder and cargo's home are. `host` reads the host's environment (nullopt:
// not set). `every_crate` goes to every crate's rustc, added to the user's own flags through
// the variable cargo takes them from: CARGO_ENCODED_RUSTFLAGS, else RUSTFLAGS (then rewritten
// as CARGO_ENCODED_RUSTFLAGS, so a path may hold a space), else CARGO_BUILD_RUSTFLAGS, which
// cargo appends to the configuration's `build.rustflags` (a remap whose path holds white space
// cannot be written there and is left out). With `wrapper` (the name, found on cargo's PATH,
// of the script `kProjectRemapWrapper` written for this build), cargo runs the project's own crate through
// it, chaining a workspace wrapper the user set in the environment; none is set when
// `config_sets_wrapper` says a configuration file sets one, which then stays the user's.
std::vector<std::pair<std::string, std::string>> path_remap_environment(
    const std::function<std::optional<std::string>(const char*)>& host,
    const std::vector<PathRemap>& every_crate, const std::string& wrapper, bool config_sets_wrapper);

// The workspace wrapper: it runs the rest of its command line (the user's own workspace wrapper
// first, when one is given in ORVANE_USER_WORKSPACE_WRAPPER) with the project folder, where cargo
// runs the project's own rustc, remapped to ".".
extern const std::string_view kProjectRemapWrapper;

std::expected<std::string, CompileError> run_cargo(
    const std::filesystem::path& project_dir, const schema::Target& target, schema::OptLevel level,
    std::string_view crate_name, const BuildControl& control = {},
    const std::optional<std::filesystem::path>& cache_dir = std::nullopt, int echo_fd = -1,
    const CargoRun& run = {});

}  // namespace orvane::builder
