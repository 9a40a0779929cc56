#include "builder/artifact_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "builder/held_folder.hpp"
#include "builder/run_cargo.hpp"
#include "builder/run_process.hpp"
#include "builder/utf8_lossy.hpp"
#include "builder/write_project.hpp"
#include "json/reader.hpp"
#include "json/sha256.hpp"
#include "json/writer.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane::builder {

namespace {

// What stands in the key for the paths a build remaps (`path_remap_environment`): a change to
// how paths are remapped changes the artifact's bytes, so it changes this tag.
constexpr std::string_view kRemapScheme = "orvane-remap-1";
// The user's compiler flags, as cargo takes them from the environment.
constexpr const char* kFlagVariables[] = {"CARGO_BUILD_RUSTFLAGS", "CARGO_ENCODED_RUSTFLAGS", "RUSTFLAGS"};
// What a tool says about its version is short; more than this is not kept.
constexpr std::size_t kVersionBytes = 64 * 1024;
// A record is small; a larger file is not one.
constexpr off_t kMaxRecordBytes = 1 << 20;
constexpr const char* kArtifactName = "artifact";
constexpr const char* kRecordName = "record.json";

CompileError placed(CompileError e) {
  e.field = kStoreField;
  e.field_in_request = true;
  return e;
}

CompileError store_error(std::string_view doing, const std::filesystem::path& p, int err) {
  return placed(system_error(ErrorKind::Io, doing, p.native(), err));
}

// A name no other writer of the folder uses at the same time.
std::string unique_name(std::string_view prefix) {
  static std::atomic<unsigned long> counter{0};
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return std::string(prefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(now.tv_nsec);
}

// Copies everything `in` holds, from its start, to the end of `out`: 0 or the errno.
int copy_all(int in, int out) {
  std::vector<char> buf(256 * 1024);
  for (off_t at = 0;;) {
    ssize_t n = ::pread(in, buf.data(), buf.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    at += n;
    if (int err = write_all(out, std::string_view(buf.data(), std::size_t(n)))) return err;
  }
}

// The SHA-256 (hex) and size of what `fd` holds, read from its start; nullopt with errno set.
std::optional<std::pair<std::string, std::uint64_t>> digest_of(int fd) {
  json::Sha256 digest;
  std::vector<char> buf(256 * 1024);
  std::uint64_t size = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf.data(), buf.size(), off_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    digest.update(std::string_view(buf.data(), std::size_t(n)));
    size += std::uint64_t(n);
  }
  return std::pair{digest.hex(), size};
}

// Reads a small regular file `name` in `dir`, never through a link: 0 or the errno.
int read_small(int dir, const char* name, std::string& text) {
  Fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxRecordBytes) return EINVAL;
  text.assign(std::size_t(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    got += std::size_t(n);
  }
  return 0;
}

// Removes an entry's folder `name` in `root` with the files a store writes there.
void remove_entry(int root, const std::string& name) {
  if (Fd dir(::openat(root, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)); dir) {
    ::unlinkat(dir.get(), kArtifactName, 0);
    ::unlinkat(dir.get(), kRecordName, 0);
  }
  ::unlinkat(root, name.c_str(), AT_REMOVEDIR);
}

// A store in a local folder: each entry a folder `<first two of the key>/<key>` holding the
// artifact and its record, made complete under a name of its own in the store and renamed into
// place, so a reader never sees half of one.
class FolderStore final : public ArtifactStore {
 public:
  FolderStore(std::filesystem::path root, Fd root_fd) : root_(std::move(root)), root_fd_(std::move(root_fd)) {}

  std::expected<std::optional<std::string>, CompileError> get(const std::string& key, int out) override {
    const std::string rel = entry(key);
    Fd dir = open_parent_below(root_fd_.get(), rel + "/" + kRecordName, false);
    if (!dir) {
      if (errno == ENOENT) return std::nullopt;
      return std::unexpected(store_error("reading", root_ / rel, errno));
    }
    std::string record;
    if (int err = read_small(dir.get(), kRecordName, record)) {
      // An entry is renamed in whole, so one without a record is none.
      if (err == ENOENT) return std::nullopt;
      return std::unexpected(store_error("reading", root_ / rel / kRecordName, err));
    }
    Fd artifact(::openat(dir.get(), kArtifactName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!artifact) {
      if (errno == ENOENT) return std::optional<std::string>(std::move(record));  // found corrupt
      return std::unexpected(store_error("reading", root_ / rel / kArtifactName, errno));
    }
    if (int err = copy_all(artifact.get(), out)) return std::unexpected(store_error("reading", root_ / rel / kArtifactName, err));
    return std::optional<std::string>(std::move(record));
  }

  std::optional<CompileError> put(const std::string& key, int artifact, const std::string& record) override {
    const std::string temp = unique_name(".incoming-");
    if (::mkdirat(root_fd_.get(), temp.c_str(), 0755) != 0) return store_error("creating", root_ / temp, errno);
    int err = 0;
    std::string failed;
    {
      Fd dir(::openat(root_fd_.get(), temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      Fd out;
      if (!dir) err = errno;
      if (!err && ::fstat(artifact, &st) != 0) err = errno;
      if (!err) err = create_fresh(dir.get(), kArtifactName, st.st_mode & 0755, out);
      if (!err) err = copy_all(artifact, out.get());
      if (!err && ::close(out.release()) != 0 && errno != EINTR) err = errno;
      if (err) failed = kArtifactName;
      Fd rec;
      if (!err) err = create_fresh(dir.get(), kRecordName, 0644, rec);
      if (!err) err = write_all(rec.get(), record);
      if (!err && ::close(rec.release()) != 0 && errno != EINTR) err = errno;
      if (err && failed.empty()) failed = kRecordName;
    }
    const std::string rel = entry(key);
    if (!err && ::mkdirat(root_fd_.get(), rel.substr(0, 2).c_str(), 0755) != 0 && errno != EEXIST) {
      err = errno;
      failed = "..";
    }
    if (!err && ::renameat(root_fd_.get(), temp.c_str(), root_fd_.get(), rel.c_str()) != 0) {
      // Another build stored the key first: its entry stays, this copy goes.
      if (errno != EEXIST && errno != ENOTEMPTY) {
        err = errno;
        failed = "..";
      }
      remove_entry(root_fd_.get(), temp);
    }
    if (err) {
      remove_entry(root_fd_.get(), temp);
      return store_error("writing", failed == ".." ? root_ / rel : root_ / temp / failed, err);
    }
    return std::nullopt;
  }

  std::optional<CompileError> drop(const std::string& key) override {
    // Out of its place first, so no reader finds it half removed.
    const std::string aside = unique_name(".dropped-");
    const std::string rel = entry(key);
    if (::renameat(root_fd_.get(), rel.c_str(), root_fd_.get(), aside.c_str()) != 0) {
      if (errno == ENOENT) return std::nullopt;
      return store_error("removing", root_ / rel, errno);
    }
    remove_entry(root_fd_.get(), aside);
    return std::nullopt;
  }

 private:
  static std::string entry(const std::string& key) { return key.substr(0, 2) + "/" + key; }

  std::filesystem::path root_;
  Fd root_fd_;
};

bool is_scheme(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

std::string percent_decoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += char(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

CompileError refused(std::string message) {
  return placed(CompileError{ErrorKind::Io, std::move(message)});
}

CompileError build_error(std::string message) {
  return CompileError{ErrorKind::Build, std::move(message)};
}

// What `program args` writes on its standard output, run in the project folder.
std::expected<std::string, CompileError> tool_says(const std::string& program, const std::vector<std::string>& args,
                                                   int project, const std::filesystem::path& project_dir,
                                                   const BuildControl& control) {
  ProcessOptions options;
  options.args = args;
  options.working_dir = project_dir;
  options.working_dir_fd = project;
  options.stderr_keep = kErrorTailBytes;
  options.stdout_keep = kVersionBytes;
  options.control = &control;
  auto result = run_process(program, options);
  if (!result) return std::unexpected(std::move(result.error()));
  if (result->ending == ProcessResult::Ending::Stopped) return std::unexpected(build_error(result->stop_reason));
  if (!result->succeeded()) {
    std::string message = program;
    for (const std::string& a : args) message += " " + a;
    message += " failed";
    const std::string tail(utf8_tail(decode_utf8_lossy(result->stderr_tail), kErrorTailBytes));
    if (!tail.empty()) message += ": " + tail;
    return std::unexpected(build_error(std::move(message)));
  }
  return decode_utf8_lossy(result->stdout_head);
}

void append_member(std::string& out, std::string_view key, const std::optional<std::string>& value) {
  out += out.back() == '{' ? "" : ",";
  json::append_string(out, key);
  out += ':';
  if (value) {
    json::append_string(out, *value);
  } else {
    out += "null";
  }
}

}  // namespace

bool is_remote_store(std::string_view location) {
  const std::size_t sep = location.find("://");
  return sep != std::string_view::npos && is_scheme(location.substr(0, sep)) && location.substr(0, sep) != "file";
}

std::expected<std::unique_ptr<ArtifactStore>, CompileError> open_store(std::string_view location) {
  std::string path(location);
  const std::size_t sep = location.find("://");
  if (sep != std::string_view::npos && is_scheme(location.substr(0, sep))) {
    const std::string scheme(location.substr(0, sep));
    if (scheme != "file") {
      return std::unexpected(refused("the store \"" + std::string(location) + "\" has the scheme \"" + scheme +
                                     "\", which is not supported: a store is a local folder, by its path or "
                                     "a file:// URL"));
    }
    const std::string_view rest = location.substr(sep + 3);
    if (rest.empty() || rest[0] != '/') {
      return std::unexpected(refused("the store \"" + std::string(location) +
                                     "\" names another host: a file:// URL names a folder on this machine "
                                     "(file:///path)"));
    }
    path = percent_decoded(rest);
  }
  if (path.empty()) return std::unexpected(refused("the store is empty: name a folder or a file:// URL"));
  std::error_code ec;
  std::filesystem::path root = std::filesystem::absolute(path, ec);
  if (ec) root = path;
  // Whoever may change the store decides what every build it serves hands out.
  if (auto bad = prepare_chosen_folder(root)) return std::unexpected(placed(std::move(*bad)));
  Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(store_error("creating", root, errno));
  return std::make_unique<FolderStore>(std::move(root), std::move(fd));
}

std::expected<StoreKey, CompileError> store_key(
    const Manifest& m, int project, const std::filesystem::path& project_dir, const BuildControl& control,
    const std::function<std::optional<std::string>(const char*)>& host, bool resolve_lock) {
  auto ask = [&](const std::string& program, std::vector<std::string> args) {
    return tool_says(program, args, project, project_dir, control);
  };
  const std::optional<std::string> rustc_set = host("RUSTC");
  auto rustc = ask(rustc_set && !rustc_set->empty() ? *rustc_set : "rustc", {"-vV"});
  if (!rustc) return std::unexpected(std::move(rustc.error()));
  auto cargo = ask("cargo", {"-V"});
  if (!cargo) return std::unexpected(std::move(cargo.error()));
  std::optional<std::string> bindgen;
  if (m.target.kind == schema::TargetKind::Wasm) {
    auto said = ask("wasm-bindgen", {"--version"});
    if (!said) return std::unexpected(std::move(said.error()));
    bindgen = std::move(*said);
  }
  struct stat st;
  bool locked = true;
  if (::fstatat(project, "Cargo.lock", &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return std::unexpected(system_error(ErrorKind::Io, "reading", (project_dir / "Cargo.lock").native(), errno));
    locked = resolve_lock;
    if (resolve_lock) {
      auto resolved = ask("cargo", {"generate-lockfile"});
      if (!resolved) return std::unexpected(std::move(resolved.error()));
    }
  }
  std::optional<std::pair<std::string, std::uint64_t>> lock;
  if (locked) {
    Fd lock_file(::openat(project, "Cargo.lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (lock_file) lock = digest_of(lock_file.get());
    if (!lock) return std::unexpected(system_error(ErrorKind::Io, "reading", (project_dir / "Cargo.lock").native(), errno));
  }

  // Members in sorted order, so the text is canonical JSON.
  std::string parts = "{";
  append_member(parts, "cargo", *cargo);
  append_member(parts, "lock", lock ? std::optional(lock->first) : std::nullopt);
  append_member(parts, "opt_level", std::string(schema::opt_level_name(m.opt_level)));
  append_member(parts, "project_hash", m.project_hash);
  append_member(parts, "remap", std::string(kRemapScheme));
  append_member(parts, "rustc", *rustc);
  parts += ",\"rustflags\":{";
  for (const char* name : kFlagVariables) append_member(parts, name, host(name));
  parts += "},\"target\":";
  schema::append_target(parts, m.target);
  append_member(parts, "wasm_bindgen", bindgen);
  parts += '}';
  return StoreKey{json::sha256_hex(parts), std::move(parts)};
}

std::expected<std::string, CompileError> build_through_store(
    ArtifactStore& store, const Manifest& m, int project, const std::filesystem::path& project_dir,
    const BuildControl& control, const std::function<std::expected<std::string, CompileError>()>& build,
    StoreUse* used) {
  auto host = [](const char* name) -> std::optional<std::string> {
    const char* value = ::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  auto key = store_key(m, project, project_dir, control, host);
  if (!key) return std::unexpected(std::move(key.error()));
  if (used) used->key = key->digest;

  // A hit: the entry's artifact, once it is checked against its record, renamed into its place.
  const std::string rel = artifact_relative_path(m.target, m.opt_level, m.crate_name);
  {
    const std::filesystem::path shown = project_dir / rel;
    Fd dir = open_parent_below(project, rel, true);
    if (!dir) return std::unexpected(system_error(ErrorKind::Io, "creating", shown.parent_path().native(), errno));
    const std::string name = base_name(rel);
    const std::string temp = temp_name(name);
    const mode_t mode = m.target.kind == schema::TargetKind::Binary ? 0755 : 0644;
    Fd out;
    if (int err = create_fresh(dir.get(), temp, mode, out)) {
      return std::unexpected(system_error(ErrorKind::Io, "writing", shown.native(), err));
    }
    auto got = store.get(key->digest, out.get());
    bool served = false;
    if (got && *got) {
      auto record = json::parse(**got);
      std::optional<std::pair<std::string, std::uint64_t>> wanted;
      if (record && record->value().kind() == json::Kind::Object) {
        auto sha = record->value().find("sha256");
        auto size = record->value().find("size");
        if (sha && size && sha->kind() == json::Kind::String && size->kind() == json::Kind::UInt) {
          wanted = std::pair{std::string(sha->as_string()), size->as_uint()};
        }
      }
      Fd written(::openat(dir.get(), temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      auto have = written ? digest_of(written.get()) : std::nullopt;
      served = wanted && have && *wanted == *have;
      if (!served) {
        // Never served: the entry goes, and the build makes the artifact afresh.
        if (auto failed = store.drop(key->digest)) {
          ::unlinkat(dir.get(), temp.c_str(), 0);
          return std::unexpected(std::move(*failed));
        }
      }
    }
    int err = 0;
    if (served && ::close(out.release()) != 0 && errno != EINTR) err = errno;
    if (served && !err && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) err = errno;
    if (!served || err) ::unlinkat(dir.get(), temp.c_str(), 0);
    if (!got) return std::unexpected(std::move(got.error()));
    if (err) return std::unexpected(system_error(ErrorKind::Io, "writing", shown.native(), err));
    if (served) {
      if (used) used->hit = true;
      return rel;
    }
  }

  // A miss: the build, then its artifact stored with its record.
  const auto started = std::chrono::steady_clock::now();
  auto built = build();
  if (!built) return built;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::filesystem::path shown = project_dir / *built;
  Fd dir = open_parent_below(project, *built, false);
  Fd artifact(dir ? ::openat(dir.get(), base_name(*built).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
  auto digest = artifact ? digest_of(artifact.get()) : std::nullopt;
  if (!digest) return std::unexpected(system_error(ErrorKind::Io, "reading", shown.native(), errno));
  char when[32];
  std::snprintf(when, sizeof when, "%.3f", seconds);
  std::string record = "{\"build_seconds\":";
  record += when;
  record += ",\"key\":\"" + key->digest + "\",\"parts\":" + key->parts + ",\"sha256\":\"" + digest->first +
            "\",\"size\":" + std::to_string(digest->second) + "}\n";
  if (auto failed = store.put(key->digest, artifact.get(), record)) return std::unexpected(std::move(*failed));
  return built;
}

std::optional<CompileError> write_provenance(const Manifest& m, int project, const std::filesystem::path& project_dir,
                                             const std::string& artifact, const BuildControl& control) {
  const std::filesystem::path shown = project_dir / artifact;
  Fd dir = open_parent_below(project, artifact, false);
  Fd file(dir ? ::openat(dir.get(), base_name(artifact).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
  auto digest = file ? digest_of(file.get()) : std::nullopt;
  if (!digest) return system_error(ErrorKind::Io, "reading", shown.native(), errno);
  auto host = [](const char* name) -> std::optional<std::string> {
    const char* value = ::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  // The lock as the build left it: asking cargo to resolve one now would be a step the build
  // did not take.
  auto key = store_key(m, project, project_dir, control, host, false);

  // Members in sorted order at every level: the record is canonical JSON.
  std::string out = R"({"_type":"https://in-toto.io/Statement/v1","predicate":{"build":)";
  out += key ? key->parts : "null";
  out += ",\"manifest\":{";
  append_member(out, "compiler_version", m.compiler_version);
  append_member(out, "crate_name", m.crate_name);
  out += ",\"files\":[";
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    if (i) out += ',';
    out += "{\"bytes_len\":" + std::to_string(m.files[i].bytes_len) + ",\"path\":";
    json::append_string(out, m.files[i].path);
    out += ",\"sha256\":\"" + m.files[i].sha256 + "\"}";
  }
  out += ']';
  append_member(out, "opt_level", std::string(schema::opt_level_name(m.opt_level)));
  append_member(out, "project_hash", m.project_hash);
  append_member(out, "spec_hash", m.spec_hash);
  out += ",\"target\":";
  schema::append_target(out, m.target);
  out += R"(}},"predicateType":"https://orvane-compile.dev/provenance/v1","subject":[{"digest":{"sha256":")";
  out += digest->first + "\"},\"name\":";
  json::append_string(out, artifact);
  out += "}]}\n";

  const std::string name = base_name(artifact) + std::string(kProvenanceSuffix);
  const std::string temp = temp_name(name);
  const std::filesystem::path record = shown.parent_path() / name;
  Fd written;
  if (int err = create_fresh(dir.get(), temp, 0644, written)) return system_error(ErrorKind::Io, "writing", record.native(), err);
  int err = 0;
  for (std::size_t done = 0; done < out.size() && !err;) {
    const ssize_t n = ::write(written.get(), out.data() + done, out.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += std::size_t(n);
  }
  if (!err && ::close(written.release()) != 0 && errno != EINTR) err = errno;
  if (!err && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) err = errno;
  if (err) {
    ::unlinkat(dir.get(), temp.c_str(), 0);
    return system_error(ErrorKind::Io, "writing", record.native(), err);
  }
  return std::nullopt;
}

}  // namespace orvane::builder
