#include "builder/run_cargo.hpp"

#include <string.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>
#include <utility>

#include "builder/run_process.hpp"
#include "builder/target_table.hpp"
#include "builder/utf8_lossy.hpp"
#include "builder/write_project.hpp"

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

using Env = std::vector<std::pair<std::string, std::string>>;

struct Echo {
  int fd = -1;
  std::string prefix;
};

std::expected<Outcome, CompileError> run_tool(const std::string& program,
                                              const std::vector<std::string>& args,
                                              const std::filesystem::path& dir,
                                              const BuildControl& control, const Env& env,
                                              const Echo& echo) {
  ProcessOptions options;
  options.echo_fd = echo.fd;
  options.echo_prefix = echo.prefix;
  options.args = args;
  options.working_dir = dir;
  options.stderr_keep = kRawTailBytes;
  options.control = &control;
  options.env = env;
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
std::optional<CompileError> check_artifact(const std::filesystem::path& full, std::string_view tool,
                                           const Outcome& outcome) {
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

// The shared build cache of a build, held (locked) until it is destroyed.
class Cache {
 public:
  ~Cache() {
    if (lock_ >= 0) ::close(lock_);
  }
  Cache(Cache&& o) noexcept : target_(std::move(o.target_)), lock_(std::exchange(o.lock_, -1)) {}
  Cache(const Cache&) = delete;

  // Builds sharing the folder run side by side, up to one per core, each in a target folder
  // of its own (target/, then target-2/ and on): cargo holds a target folder for a whole
  // build, so a single one would make them all take turns. A build takes the first free one
  // (so builds one at a time always find the warmest), and waits while every one is busy.
  static std::expected<Cache, CompileError> take(const std::filesystem::path& dir,
                                                 const BuildControl& control) {
    const std::filesystem::path absolute = std::filesystem::absolute(dir);
    std::error_code ec;
    std::filesystem::create_directories(absolute, ec);
    if (ec) return std::unexpected(io_error("creating", absolute, ec.value()));
    // Whoever may change a shared target folder decides what every build sharing it runs.
    if (auto bad = check_trusted_folder(absolute, true)) return std::unexpected(std::move(*bad));
    const unsigned slots = std::max(1u, std::thread::hardware_concurrency());
    std::vector<int> locks;
    auto close_all = [&](std::size_t keep) {
      for (std::size_t i = 0; i < locks.size(); ++i) {
        if (i != keep && locks[i] >= 0) ::close(locks[i]);
      }
    };
    for (unsigned i = 0; i < slots; ++i) {
      const std::filesystem::path lock_path = absolute / (".orvane-cache" + suffix(i) + ".lock");
      int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) {
        int err = errno;
        close_all(locks.size());
        return std::unexpected(io_error("creating", lock_path, err));
      }
      locks.push_back(fd);
    }
    for (;;) {
      for (std::size_t i = 0; i < locks.size(); ++i) {
        if (::flock(locks[i], LOCK_EX | LOCK_NB) != 0) continue;
        close_all(i);
        Cache cache(absolute / ("target" + suffix(unsigned(i))), locks[i]);
        std::filesystem::create_directories(cache.target_, ec);
        if (ec) return std::unexpected(io_error("creating", cache.target_, ec.value()));
        if (auto bad = check_trusted_folder(cache.target_)) return std::unexpected(std::move(*bad));
        return cache;
      }
      if (auto stop = control.stop_reason()) {
        close_all(locks.size());
        return std::unexpected(build_error(std::move(*stop)));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(control.wait_ms(kSlotPollMs)));
    }
  }

  const std::filesystem::path& target() const { return target_; }

 private:
  static constexpr int kSlotPollMs = 50;
  static std::string suffix(unsigned slot) {
    std::string out;
    if (slot > 0) out.append(1, '-').append(std::to_string(slot + 1));
    return out;
  }
  Cache(std::filesystem::path target, int lock) : target_(std::move(target)), lock_(lock) {}
  static CompileError io_error(std::string_view what, const std::filesystem::path& p, int err) {
    return CompileError{ErrorKind::Io, std::string(what) + " " + p.string() + ": " + system_error_text(err)};
  }
  std::filesystem::path target_;
  int lock_;
};

// What cargo and wasm-bindgen find in their environment.
Env tool_environment(const std::filesystem::path& project_dir, const Cache* cache) {
  if (!cache) {
    // The artifact is looked for under the project's own target/, wherever a developer's
    // environment or a configuration in a parent folder would send cargo's output.
    return {{"CARGO_TARGET_DIR", (std::filesystem::absolute(project_dir) / "target").string()}};
  }
  // A compiler wrapper (sccache, say, with a backend shared between machines) is the
  // environment's to configure, as for any cargo build.
  Env env = {{"CARGO_TARGET_DIR", cache->target().string()}};
  return env;
}

// Copies a file the shared target folder holds into the project, replacing what is there by a
// rename, so that a reader never sees half of it.
std::optional<CompileError> copy_out(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto fail = [&](int err) {
    return CompileError{ErrorKind::Io, "writing " + to.string() + ": " + system_error_text(err)};
  };
  std::error_code ec;
  std::filesystem::create_directories(to.parent_path(), ec);
  if (ec) return CompileError{ErrorKind::Io, "creating " + to.parent_path().string() + ": " + system_error_text(ec.value())};
  std::string temp_name(1, '.');
  temp_name.append(to.filename().string()).append(".orvane-tmp");
  const std::filesystem::path temp = to.parent_path() / temp_name;
  std::filesystem::copy_file(from, temp, std::filesystem::copy_options::overwrite_existing, ec);
  if (!ec) std::filesystem::rename(temp, to, ec);
  if (ec) {
    const int err = ec.value();
    std::filesystem::remove(temp, ec);
    return fail(err);
  }
  return std::nullopt;
}

}  // namespace

std::string_view profile_dir_name(schema::OptLevel level) {
  return level == schema::OptLevel::Debug ? "debug" : "release";
}

std::vector<std::string> cargo_arguments(const schema::Target& target, schema::OptLevel level) {
  std::vector<std::string> args = {"build"};
  if (auto triple = target_triple(target)) {
    args.emplace_back("--target");
    args.emplace_back(*triple);
  }
  if (level != schema::OptLevel::Debug) args.emplace_back("--release");
  return args;
}

std::vector<std::string> wasm_bindgen_arguments(std::string_view crate_name,
                                                schema::OptLevel level) {
  std::string wasm = "target/" + std::string(kWasmTriple) + "/" +
                     std::string(profile_dir_name(level)) + "/" + std::string(crate_name) + ".wasm";
  return {std::move(wasm), "--target", "web", "--out-dir", "pkg"};
}

std::string artifact_relative_path(const schema::Target& target, schema::OptLevel level,
                                   std::string_view crate_name) {
  std::string crate(crate_name);
  std::string profile(profile_dir_name(level));
  switch (target.kind) {
    case schema::TargetKind::Wasm: return "pkg/" + crate + "_bg.wasm";
    case schema::TargetKind::Binary: return "target/" + profile + "/" + crate;
    case schema::TargetKind::NoStd:
      return "target/" + target.mcu + "/" + profile + "/lib" + crate + ".a";
  }
  return {};
}

std::expected<std::string, CompileError> run_cargo(
    const std::filesystem::path& project_dir, const schema::Target& target, schema::OptLevel level,
    std::string_view crate_name, const BuildControl& control,
    const std::optional<std::filesystem::path>& cache_dir, int echo_fd) {
  std::optional<Cache> cache;
  if (cache_dir) {
    auto taken = Cache::take(*cache_dir, control);
    if (!taken) return std::unexpected(std::move(taken.error()));
    cache.emplace(std::move(*taken));
  }
  const Env env = tool_environment(project_dir, cache ? &*cache : nullptr);
  const Echo echo{echo_fd, std::string(crate_name) + ": "};
  // cargo's own output, relative to its target folder: wasm-bindgen's input, or the artifact.
  const std::string artifact = artifact_relative_path(target, level, crate_name);
  const std::string cargo_output = target.kind == schema::TargetKind::Wasm
                                       ? wasm_bindgen_arguments(crate_name, level).front()
                                       : artifact;

  auto built = run_tool("cargo", cargo_arguments(target, level), project_dir, control, env, echo);
  if (!built) return std::unexpected(std::move(built.error()));
  if (cache) {
    // Into the project while the cache is still held, before another build replaces it.
    const std::filesystem::path shared = cache->target() / cargo_output.substr(std::strlen("target/"));
    if (auto missing = check_artifact(shared, "cargo", *built)) return std::unexpected(std::move(*missing));
    if (auto failed = copy_out(shared, project_dir / cargo_output)) return std::unexpected(std::move(*failed));
    cache.reset();
  }
  std::string_view last_tool = "cargo";
  // cargo alone leaves the wasm under target/; the reported pkg/ file is wasm-bindgen's.
  if (target.kind == schema::TargetKind::Wasm) {
    // With cargo's exit status lost, its own output decides whether it failed; wasm-bindgen
    // would only bury cargo's error under one about its missing input.
    if (built->status_lost) {
      if (auto missing = check_artifact(project_dir / cargo_output, "cargo", *built)) {
        return std::unexpected(std::move(*missing));
      }
    }
    built = run_tool("wasm-bindgen", wasm_bindgen_arguments(crate_name, level), project_dir, control, env, echo);
    if (!built) return std::unexpected(std::move(built.error()));
    last_tool = "wasm-bindgen";
  }
  if (auto missing = check_artifact(project_dir / artifact, last_tool, *built)) {
    return std::unexpected(std::move(*missing));
  }
  return artifact;
}

}  // namespace orvane::builder
