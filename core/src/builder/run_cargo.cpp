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

#include <dirent.h>
#include <time.h>

#include "builder/held_folder.hpp"
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
  int working_dir_fd = -1;  // the held folder the tools start in
  std::string path_first;   // a folder the tool searches before the PATH's
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
  options.working_dir_fd = echo.working_dir_fd;
  options.stderr_keep = kRawTailBytes;
  options.control = &control;
  options.env = env;
  options.path_first = echo.path_first;
  auto result = run_process(program, options);
  if (!result) return std::unexpected(std::move(result.error()));
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
  // The supervisor was killed from outside, so the status is gone: the artifact decides.
  return Outcome{true, error_tail(result->stderr_tail)};
}

// Whether `rel` below the held folder `dir` is a regular file, reached without a link.
bool regular_below(int dir, const std::string& rel, std::optional<struct stat>* found = nullptr) {
  Fd parent = open_parent_below(dir, rel, false);
  struct stat st;
  if (!parent || ::fstatat(parent.get(), base_name(rel).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (found) *found = st;
  return S_ISREG(st.st_mode);
}

// Where cargo put a file it was to leave at `rel` ("target/<profile>/<name>") when a build
// target set for it elsewhere sent it under target/<triple>/ instead.
std::optional<std::string> redirected_output(int dir, const std::string& rel) {
  const std::size_t first = rel.find('/');
  Fd target(::openat(dir, rel.substr(0, first).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!target) return std::nullopt;
  DIR* d = ::fdopendir(::fcntl(target.get(), F_DUPFD_CLOEXEC, 0));
  if (!d) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name == "." || name == ".." || name.find('-') == std::string_view::npos) continue;
    std::string candidate = rel.substr(0, first + 1) + std::string(name) + rel.substr(first);
    if (regular_below(dir, candidate)) {
      found = std::move(candidate);
      break;
    }
  }
  ::closedir(d);
  return found;
}

// The artifact must be there, as a regular file this build left, before the build is called a
// success. `dir` holds `shown`.
std::optional<CompileError> check_artifact(int dir, const std::filesystem::path& shown,
                                           const std::string& rel, std::string_view tool,
                                           const Outcome& outcome) {
  std::optional<struct stat> st;
  if (regular_below(dir, rel, &st)) return std::nullopt;
  const std::filesystem::path full = shown / rel;
  std::string what = st ? " is not a regular file" : " is missing";
  if (outcome.status_lost) {
    std::string message = std::string(tool) + "'s exit status is unknown (its supervisor was killed), and the artifact " +
                          full.string() + what;
    if (!outcome.tail.empty()) message += "\n" + outcome.tail;
    return build_error(std::move(message));
  }
  if (!st) {
    if (auto elsewhere = redirected_output(dir, rel)) {
      return build_error(std::string(tool) + " wrote its output to " + (shown / *elsewhere).string() +
                         ", not to " + full.string() +
                         ": a build target is configured for it (`[build] target` in a "
                         ".cargo/config.toml above the project, or CARGO_BUILD_TARGET); remove it "
                         "for this build");
    }
  }
  return build_error(std::string(tool) + " reported success, but the artifact " + full.string() + what);
}

// Removes what an earlier build left at `rel`, so that only this build's output can be taken
// for the artifact.
void remove_old(int dir, const std::string& rel) {
  Fd parent = open_parent_below(dir, rel, false);
  if (parent) ::unlinkat(parent.get(), base_name(rel).c_str(), 0);
}

// The shared build cache of a build, held (locked) until it is destroyed.
class Cache {
 public:
  ~Cache() {
    if (lock_ >= 0) ::close(lock_);
  }
  Cache(Cache&& o) noexcept
      : root_(std::move(o.root_)), slot_(std::move(o.slot_)), root_fd_(std::move(o.root_fd_)),
        lock_(std::exchange(o.lock_, -1)) {}
  Cache(const Cache&) = delete;

  // Builds sharing the folder run side by side, up to one per core, each in a target folder
  // of its own (target/, then target-2/ and on): cargo holds a target folder for a whole
  // build, so a single one would make them all take turns. A build takes the first free one
  // (so builds one at a time always find the warmest), and waits while every one is busy.
  static std::expected<Cache, CompileError> take(const std::filesystem::path& dir,
                                                 const BuildControl& control) {
    const std::filesystem::path absolute = std::filesystem::absolute(dir);
    // Whoever may change a shared target folder decides what every build sharing it runs.
    if (auto bad = prepare_chosen_folder(absolute)) {
      bad->field = "build.cache_dir";
      bad->field_in_request = true;
      return std::unexpected(std::move(*bad));
    }
    Fd root(::open(absolute.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return std::unexpected(io_error("creating", absolute, errno));
    const unsigned slots = std::max(1u, std::thread::hardware_concurrency());
    std::vector<int> locks;
    auto close_all = [&](std::size_t keep) {
      for (std::size_t i = 0; i < locks.size(); ++i) {
        if (i != keep && locks[i] >= 0) ::close(locks[i]);
      }
    };
    for (unsigned i = 0; i < slots; ++i) {
      const std::string lock_name = ".orvane-cache" + suffix(i) + ".lock";
      int fd = ::openat(root.get(), lock_name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) {
        int err = errno;
        close_all(locks.size());
        return std::unexpected(io_error("creating", absolute / lock_name, err));
      }
      locks.push_back(fd);
    }
    for (;;) {
      for (std::size_t i = 0; i < locks.size(); ++i) {
        if (::flock(locks[i], LOCK_EX | LOCK_NB) != 0) continue;
        close_all(i);
        Cache cache(absolute, "target" + suffix(unsigned(i)), std::move(root), locks[i]);
        if (::mkdirat(cache.root_fd_.get(), cache.slot_.c_str(), 0755) == 0) {
          ::fchmodat(cache.root_fd_.get(), cache.slot_.c_str(), 0755, 0);
        } else if (errno != EEXIST) {
          return std::unexpected(io_error("creating", cache.target(), errno));
        }
        if (auto bad = check_trusted_folder(cache.target())) return std::unexpected(std::move(*bad));
        return cache;
      }
      if (auto stop = control.stop_reason()) {
        close_all(locks.size());
        return std::unexpected(build_error(std::move(*stop)));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(control.wait_ms(kSlotPollMs)));
    }
  }

  std::filesystem::path target() const { return root_ / slot_; }
  int root_fd() const { return root_fd_.get(); }
  const std::string& slot() const { return slot_; }

  // Makes sure cargo sees the project in `project` as changed when this slot's last build of
  // `crate` was another project's. cargo knows a project only by its crate's name and version,
  // and judges it fresh when its sources are older than that crate's last build here: so the
  // slot records which project built each crate last, and when that changes, the project's
  // sources are given a modification time past the record's (which was touched when that
  // build ended).
  std::optional<CompileError> claim(std::string_view crate, int project,
                                    const std::filesystem::path& shown) {
    const std::string builder = identity(project, shown);
    Fd records = records_folder();
    if (!records) return io_error("creating", target() / kRecords, errno);
    const std::string name(crate);
    std::string last;
    struct stat st {};
    bool known = false;
    if (Fd fd(::openat(records.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)); fd) {
      known = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 65536;
      if (known) {
        last.resize(std::size_t(st.st_size));
        ssize_t got = ::read(fd.get(), last.data(), last.size());
        last.resize(got < 0 ? 0 : std::size_t(got));
      }
    }
    if (known && last == builder) return std::nullopt;
    struct timespec when;
    ::clock_gettime(CLOCK_REALTIME, &when);
    if (known) {
      struct timespec after = st.st_mtim;
      after.tv_nsec += 1'000'000;
      if (after.tv_nsec >= 1'000'000'000) {
        after.tv_sec += 1;
        after.tv_nsec -= 1'000'000'000;
      }
      if (after.tv_sec > when.tv_sec || (after.tv_sec == when.tv_sec && after.tv_nsec > when.tv_nsec)) {
        when = after;
      }
    }
    if (int err = refresh(project, "Cargo.toml", when, 0)) return io_error("touching", shown / "Cargo.toml", err);
    if (int err = refresh(project, "src", when, 0)) return io_error("touching", shown / "src", err);
    const std::string temp = temp_name(name);
    Fd out;
    int err = create_fresh(records.get(), temp, 0644, out);
    if (!err) err = write_all(out.get(), builder);
    if (!err && ::renameat(records.get(), temp.c_str(), records.get(), name.c_str()) != 0) err = errno;
    if (err) {
      ::unlinkat(records.get(), temp.c_str(), 0);
      return io_error("writing", target() / kRecords / name, err);
    }
    return std::nullopt;
  }

  // Marks the end of a build of `crate` on its record: sources made fresh later are newer.
  void built(std::string_view crate) {
    Fd records = records_folder();
    if (records) ::utimensat(records.get(), std::string(crate).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
  }

 private:
  static constexpr int kSlotPollMs = 50;
  static constexpr const char* kRecords = ".orvane-built";
  // How deep refresh() goes under src/.
  static constexpr int kMaxDepth = 32;

  static std::string suffix(unsigned slot) {
    std::string out;
    if (slot > 0) out.append(1, '-').append(std::to_string(slot + 1));
    return out;
  }
  Cache(std::filesystem::path root, std::string slot, Fd root_fd, int lock)
      : root_(std::move(root)), slot_(std::move(slot)), root_fd_(std::move(root_fd)), lock_(lock) {}
  static CompileError io_error(std::string_view what, const std::filesystem::path& p, int err) {
    return system_error(ErrorKind::Io, what, p.native(), err);
  }

  Fd records_folder() const {
    return open_parent_below(root_fd_.get(), slot_ + "/" + kRecords + "/x", true);
  }

  // The project folder as it is now: where it is, and which folder it is.
  static std::string identity(int project, const std::filesystem::path& shown) {
    struct stat st {};
    ::fstat(project, &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::filesystem::absolute(shown).string();
  }

  // Sets the modification time of `name` in `dir`, and of everything below it when it is a
  // folder; never through a link. 0 or the errno (a missing name is none).
  static int refresh(int dir, const std::string& name, const struct timespec& when, int depth) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, when};
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode) && depth < kMaxDepth) {
      Fd sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) return errno;
      DIR* d = ::fdopendir(::fcntl(sub.get(), F_DUPFD_CLOEXEC, 0));
      if (!d) return errno;
      int err = 0;
      while (dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        if (n == "." || n == "..") continue;
        if ((err = refresh(sub.get(), std::string(n), when, depth + 1))) break;
      }
      ::closedir(d);
      if (err) return err;
    }
    if (S_ISLNK(st.st_mode)) return 0;
    return ::utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  }

  std::filesystem::path root_;
  std::string slot_;
  Fd root_fd_;
  int lock_;
};

// What cargo and wasm-bindgen find in their environment, on top of the host's.
Env tool_environment(const Cache* cache, std::optional<std::uint32_t> jobs) {
  // cargo's output goes to the project's own target/ (relative to the folder cargo starts
  // in, which the build holds), or to the cache's, wherever a developer's environment or a
  // configuration in a parent folder would send it. Its intermediate files go with it: a
  // build folder shared between projects would mix up projects of one crate name.
  const std::string target = cache ? cache->target().string() : std::string("target");
  Env env = {{"CARGO_TARGET_DIR", target}, {"CARGO_BUILD_BUILD_DIR", target}};
  if (jobs) env.emplace_back("CARGO_BUILD_JOBS", std::to_string(*jobs));
  // A compiler wrapper (sccache, say, with a backend shared between machines) is the
  // environment's to configure, as for any cargo build.
  return env;
}

}  // namespace

// The project's own crate and its dependencies are remapped apart, so that the dependencies
// built in a shared target folder stay shared. Every crate gets only prefixes that are the same
// for every project a folder builds: cargo's home (where the registry's sources are unpacked)
// and the target folder (build scripts' OUT_DIR); cargo keeps each crate's flags in its
// fingerprint, so a flag naming one project's folder there would rebuild every dependency for
// the next project. The project folder reaches only the project's own crate (it is rustc's
// working folder there, so DWARF's comp_dir names it): through cargo's workspace wrapper, which
// cargo runs for workspace members only, a script that adds the remap of its own working folder.
// Flags it adds are not in any fingerprint, and need not be: the crate is rebuilt for every
// project anyway (`Cache::claim`).
// Cargo names rustc as the script's first argument; a compiler wrapper in front of it
// (RUSTC_WRAPPER: a compiler cache) takes the script for rustc itself, asks it `-vV` and then
// compiles through it without naming rustc, so an option first means rustc is to be added.
// Only a compilation (`--crate-name`) gets the remap.
const std::string_view kProjectRemapWrapper =
    "#!/bin/sh\n"
    "# Written by orvane-compile: cargo runs the project's own crate through this script, in the\n"
    "# project folder, which rustc then records as \".\".\n"
    "case \"$1\" in -*|'') set -- \"${RUSTC:-rustc}\" \"$@\" ;; esac\n"
    "if [ -n \"$ORVANE_USER_WORKSPACE_WRAPPER\" ]; then set -- \"$ORVANE_USER_WORKSPACE_WRAPPER\" \"$@\"; fi\n"
    "for arg; do\n"
    "  if [ \"$arg\" = --crate-name ]; then exec \"$@\" \"--remap-path-prefix=$(pwd -P)=.\"; fi\n"
    "done\n"
    "exec \"$@\"\n";

namespace {

// cargo hashes the workspace wrapper as it is named into the crate's `-C metadata`, and so
// into its symbols: it is named by a name alone, found in a folder of its own put first on
// cargo's PATH, so that a path of it reaches nothing.
constexpr const char* kWrapperFolder = ".orvane-wrapper";
constexpr const char* kWrapperName = "orvane-compile-remap-wrapper";
constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";

// The project folder as rustc's working folder names it: without links.
std::string physical_path(int dir, const std::filesystem::path& shown) {
  char buf[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(dir);
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && std::size_t(n) < sizeof buf && buf[0] == '/') return std::string(buf, std::size_t(n));
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(shown), ec);
  return ec ? std::filesystem::absolute(shown).string() : canonical.string();
}

// cargo's home as cargo finds it: CARGO_HOME, else ~/.cargo; empty when neither is absolute.
std::string cargo_home() {
  const char* set = ::getenv("CARGO_HOME");
  if (set && *set) return set[0] == '/' ? std::string(set) : std::string();
  const char* home = ::getenv("HOME");
  return home && home[0] == '/' ? std::string(home) + "/.cargo" : std::string();
}

bool mentions(const std::filesystem::path& file, std::string_view key) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (1 << 20)) return false;
  std::string text(std::size_t(st.st_size), '\0');
  ssize_t got = ::read(fd.get(), text.data(), text.size());
  return got > 0 && std::string_view(text.data(), std::size_t(got)).find(key) != std::string_view::npos;
}

// Whether a configuration file cargo reads for a build in `project` names a workspace wrapper.
bool config_sets_workspace_wrapper(const std::string& project, const std::string& home) {
  constexpr std::string_view key = "rustc-workspace-wrapper";
  std::vector<std::filesystem::path> folders;
  for (std::filesystem::path p = project;; p = p.parent_path()) {
    folders.push_back(p / ".cargo");
    if (p == p.parent_path() || p.empty()) break;
  }
  if (!home.empty()) folders.emplace_back(home);
  return std::any_of(folders.begin(), folders.end(), [&](const std::filesystem::path& f) {
    return mentions(f / "config.toml", key) || mentions(f / "config", key);
  });
}

// Writes the workspace wrapper at `rel` below `dir`, unless it is there already. 0 or the errno.
int write_wrapper(int dir, const std::string& rel) {
  Fd parent = open_parent_below(dir, rel, true);
  if (!parent) return errno;
  const std::string name = base_name(rel);
  if (Fd old(::openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)); old) {
    std::string text(kProjectRemapWrapper.size() + 1, '\0');
    struct stat st;
    ssize_t got = ::read(old.get(), text.data(), text.size());
    if (got == ssize_t(kProjectRemapWrapper.size()) && text.compare(0, std::size_t(got), kProjectRemapWrapper) == 0 &&
        ::fstat(old.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0755) {
      return 0;
    }
  }
  const std::string temp = temp_name(name);
  Fd out;
  int err = create_fresh(parent.get(), temp, 0755, out);
  if (!err && ::fchmod(out.get(), 0755) != 0) err = errno;
  if (!err) err = write_all(out.get(), kProjectRemapWrapper);
  if (!err && ::close(out.release()) != 0 && errno != EINTR) err = errno;
  if (!err && ::renameat(parent.get(), temp.c_str(), parent.get(), name.c_str()) != 0) err = errno;
  if (err) ::unlinkat(parent.get(), temp.c_str(), 0);
  return err;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> path_remap_environment(
    const std::function<std::optional<std::string>(const char*)>& host,
    const std::vector<PathRemap>& every_crate, const std::string& wrapper, bool config_sets_wrapper) {
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::string> flags;
  for (const PathRemap& r : every_crate) flags.push_back("--remap-path-prefix=" + r.from + "=" + r.to);
  auto append = [](std::string& to, std::string_view flag, char sep) {
    if (!to.empty()) to += sep;
    to += flag;
  };
  if (flags.empty()) {
  } else if (auto encoded = host("CARGO_ENCODED_RUSTFLAGS")) {
    std::string value = *encoded;
    for (const std::string& f : flags) append(value, f, '\x1f');
    env.emplace_back("CARGO_ENCODED_RUSTFLAGS", std::move(value));
  } else if (auto plain = host("RUSTFLAGS")) {
    // Split as cargo splits RUSTFLAGS: at spaces, each piece trimmed, empty ones dropped.
    std::string value;
    std::string_view rest = *plain;
    while (!rest.empty()) {
      const std::size_t space = rest.find(' ');
      std::string_view piece = rest.substr(0, space);
      rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
      const std::size_t first = piece.find_first_not_of(kWhiteSpace);
      if (first == std::string_view::npos) continue;
      append(value, piece.substr(first, piece.find_last_not_of(kWhiteSpace) + 1 - first), '\x1f');
    }
    for (const std::string& f : flags) append(value, f, '\x1f');
    env.emplace_back("CARGO_ENCODED_RUSTFLAGS", std::move(value));
  } else {
    std::string value = host("CARGO_BUILD_RUSTFLAGS").value_or("");
    for (const std::string& f : flags) {
      if (f.find_first_of(kWhiteSpace) == std::string::npos) append(value, f, ' ');
    }
    env.emplace_back("CARGO_BUILD_RUSTFLAGS", std::move(value));
  }
  if (!wrapper.empty()) {
    std::optional<std::string> user = host("RUSTC_WORKSPACE_WRAPPER");
    if (!user) user = host("CARGO_BUILD_RUSTC_WORKSPACE_WRAPPER");
    if (user || !config_sets_wrapper) {
      env.emplace_back("RUSTC_WORKSPACE_WRAPPER", wrapper);
      env.emplace_back("ORVANE_USER_WORKSPACE_WRAPPER", user.value_or(""));
    }
  }
  return env;
}

namespace {

// A build target set in the environment sends a host build's output under target/<triple>/.
std::optional<CompileError> redirecting_environment(const schema::Target& target) {
  if (target.kind != schema::TargetKind::Binary) return std::nullopt;  // --target decides
  const char* set = ::getenv("CARGO_BUILD_TARGET");
  if (!set || !*set) return std::nullopt;
  return build_error(std::string("CARGO_BUILD_TARGET is set in the environment (to \"") + set +
                     "\"): cargo would write the binary under target/" + set +
                     "/ rather than where it is looked for; unset it for this build");
}

// Copies a file the shared target folder holds into the held project folder, replacing what
// is there by a rename, so that a reader never sees half of it. The copy is made afresh
// beside its place, never through a link or into a file another name shares.
std::optional<CompileError> copy_out(int from_dir, const std::filesystem::path& from_shown,
                                     const std::string& from_rel, int project,
                                     const std::filesystem::path& shown, const std::string& rel) {
  const std::filesystem::path to = shown / rel;
  auto fail = [&](std::string_view what, const std::filesystem::path& p, int err) {
    return system_error(ErrorKind::Io, what, p.native(), err);
  };
  Fd src_dir = open_parent_below(from_dir, from_rel, false);
  Fd src(src_dir ? ::openat(src_dir.get(), base_name(from_rel).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
  struct stat st;
  if (!src || ::fstat(src.get(), &st) != 0) return fail("reading", from_shown / from_rel, errno);
  Fd dir = open_parent_below(project, rel, true);
  if (!dir) return fail("creating", to.parent_path(), errno);
  const std::string name = base_name(rel);
  const std::string temp = temp_name(name);
  Fd out;
  int err = create_fresh(dir.get(), temp, 0600, out);
  if (err == EISDIR || err == EPERM || err == EBUSY) return fail("removing", to.parent_path() / temp, err);
  if (!err && ::fchmod(out.get(), st.st_mode & 0755) != 0) err = errno;
  std::vector<char> buf(256 * 1024);
  while (!err) {
    ssize_t n = ::read(src.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    err = write_all(out.get(), std::string_view(buf.data(), std::size_t(n)));
  }
  if (!err && ::close(out.release()) != 0 && errno != EINTR) err = errno;
  if (!err && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) err = errno;
  if (err) {
    ::unlinkat(dir.get(), temp.c_str(), 0);
    return fail("writing", to, err);
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
    const std::optional<std::filesystem::path>& cache_dir, int echo_fd, const CargoRun& run) {
  if (auto refused = redirecting_environment(target)) return std::unexpected(std::move(*refused));
  // The folder the tools run in, held for the whole build.
  Fd opened;
  int project = run.project_fd;
  if (project < 0) {
    opened = Fd(::open(project_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened) {
      return std::unexpected(system_error(ErrorKind::Build, "spawning", "cargo", errno));
    }
    project = opened.get();
  }
  std::optional<Cache> cache;
  if (cache_dir) {
    auto taken = Cache::take(*cache_dir, control);
    if (!taken) return std::unexpected(std::move(taken.error()));
    cache.emplace(std::move(*taken));
    if (auto failed = cache->claim(crate_name, project, project_dir)) return std::unexpected(std::move(*failed));
  }
  const Echo echo{echo_fd, std::string(crate_name) + ": ", project, {}};
  const Env env = tool_environment(cache ? &*cache : nullptr, run.jobs);
  // cargo's own environment: the same, and the paths that must not reach the artifact.
  Env cargo_env = env;
  Echo cargo_echo = echo;
  {
    const std::string physical = physical_path(project, project_dir);
    const std::string home = cargo_home();
    std::vector<PathRemap> remaps;
    if (!home.empty()) remaps.push_back({home, "/cargo"});
    remaps.push_back({cache ? cache->target().string() : physical + "/target", "./target"});
    const std::string wrapper_rel =
        (cache ? cache->slot() : std::string("target")) + "/" + kWrapperFolder + "/" + kWrapperName;
    if (int err = write_wrapper(cache ? cache->root_fd() : project, wrapper_rel)) {
      const std::filesystem::path shown = cache ? cache->target().parent_path() : std::filesystem::path(physical);
      return std::unexpected(system_error(ErrorKind::Io, "writing", (shown / wrapper_rel).native(), err));
    }
    cargo_echo.path_first = (cache ? cache->target().string() : physical + "/target") + "/" + kWrapperFolder;
    const std::string wrapper = kWrapperName;
    auto host = [](const char* name) -> std::optional<std::string> {
      const char* value = ::getenv(name);
      return value ? std::optional<std::string>(value) : std::nullopt;
    };
    for (auto& entry : path_remap_environment(host, remaps, wrapper, config_sets_workspace_wrapper(physical, home))) {
      cargo_env.push_back(std::move(entry));
    }
  }
  // cargo's own output, relative to the project folder: wasm-bindgen's input, or the artifact.
  const std::string artifact = artifact_relative_path(target, level, crate_name);
  const std::string cargo_output = target.kind == schema::TargetKind::Wasm
                                       ? wasm_bindgen_arguments(crate_name, level).front()
                                       : artifact;
  // cargo's output in the folder it writes to: the project's, or the cache slot's.
  const int cargo_dir = cache ? cache->root_fd() : project;
  const std::filesystem::path cargo_shown =
      cache ? cache->target().parent_path() : project_dir;
  const std::string cargo_rel =
      cache ? cache->slot() + cargo_output.substr(std::strlen("target")) : cargo_output;
  // Whatever an earlier build left there must not pass for this one's.
  remove_old(cargo_dir, cargo_rel);
  if (cache) remove_old(project, cargo_output);
  if (target.kind == schema::TargetKind::Wasm) remove_old(project, artifact);

  auto built = run_tool("cargo", cargo_arguments(target, level), project_dir, control, cargo_env, cargo_echo);
  if (cache) cache->built(crate_name);
  if (!built) return std::unexpected(std::move(built.error()));
  // For wasm, wasm-bindgen reports its missing input itself, unless cargo's exit status is
  // lost (its error would be buried under wasm-bindgen's) or the input is to be copied.
  if (cache || built->status_lost || target.kind != schema::TargetKind::Wasm) {
    if (auto missing = check_artifact(cargo_dir, cargo_shown, cargo_rel, "cargo", *built)) {
      return std::unexpected(std::move(*missing));
    }
  }
  if (cache) {
    // Into the project while the cache is still held, before another build replaces it.
    if (auto failed = copy_out(cargo_dir, cargo_shown, cargo_rel, project, project_dir, cargo_output)) {
      return std::unexpected(std::move(*failed));
    }
    cache.reset();
  }
  // cargo alone leaves the wasm under target/; the reported pkg/ file is wasm-bindgen's.
  if (target.kind == schema::TargetKind::Wasm) {
    built = run_tool("wasm-bindgen", wasm_bindgen_arguments(crate_name, level), project_dir, control, env, echo);
    if (!built) return std::unexpected(std::move(built.error()));
    if (auto missing = check_artifact(project, project_dir, artifact, "wasm-bindgen", *built)) {
      return std::unexpected(std::move(*missing));
    }
  }
  return artifact;
}

}  // namespace orvane::builder
