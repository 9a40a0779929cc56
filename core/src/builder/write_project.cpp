#include "builder/write_project.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "builder/held_folder.hpp"
#include "builder/project_files.hpp"

namespace orvane::builder {

namespace {

namespace fs = std::filesystem;

// A file written here first goes to "." + name + this, beside its final place. Only one build
// at a time writes a folder (the lock), so the name need not be unique; one left behind by a
// build that died is removed by the next.
constexpr std::string_view kTempSuffix = ".orvane-tmp";

// Files at the top of a project folder that cargo would obey.
constexpr std::array<std::string_view, 3> kObeyedTopLevel = {"build.rs", "rust-toolchain",
                                                             "rust-toolchain.toml"};

// How deep the walk under src/ goes looking for sources that were not generated.
constexpr int kMaxSourceDepth = 32;

using Failure = std::optional<CompileError>;

CompileError io(std::string message) { return CompileError{ErrorKind::Io, std::move(message)}; }

CompileError io(std::string_view what, const fs::path& p, int err) {
  return system_error(ErrorKind::Io, what, p.native(), err);
}

CompileError through_symlink(const fs::path& p) {
  return io("refusing to write through " + p.string() + ": it is a symbolic link");
}

CompileError not_ours(const fs::path& project, const fs::path& p) {
  return io("refusing to build in " + project.string() + ": " + p.string() +
            " was not written by the compiler, and cargo would obey it");
}

// The system reads a path up to its first NUL: a path holding one would name another file.
bool holds_nul(const fs::path& p) { return p.native().find('\0') != std::string::npos; }

bool is_symlink_at(int dir, const char* name) {
  struct stat st;
  return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool trusted_owner(const struct stat& st) { return st.st_uid == ::geteuid() || st.st_uid == 0; }
bool others_may_write(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// The rule ssh applies to the folders it trusts: owned by this user or root, and writable by
// no one else. A folder the caller chose (`sticky_ok`) may be writable by others when it is
// sticky, as /tmp is: then no one else may remove or rename what it holds.
Failure check_folder(const struct stat& st, const fs::path& p, bool sticky_ok = false) {
  if (!trusted_owner(st)) {
    return io("refusing to write into " + p.string() + ": it is owned by user " +
              std::to_string(st.st_uid) + ", not by this user (" + std::to_string(::geteuid()) +
              ") or root");
  }
  if (others_may_write(st) && !(sticky_ok && (st.st_mode & S_ISVTX))) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    return io("refusing to write into " + p.string() +
              ": users other than its owner may write to it (mode " + mode + ")");
  }
  return std::nullopt;
}

// Gives a folder just made mode 0755 whatever the umask, so that the trust rule holds for it.
void set_folder_mode(int parent, const char* name) {
  Fd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd) ::fchmod(fd.get(), 0755);
}

// Creates `dir` and its missing ancestors, following symbolic links (this is the caller's
// output directory); 0 or the errno of the step that failed.
int make_directories(const fs::path& dir) {
  if (holds_nul(dir)) return EINVAL;
  auto made = [&] {
    if (::mkdir(dir.c_str(), 0755) != 0) return false;
    set_folder_mode(AT_FDCWD, dir.c_str());
    return true;
  };
  if (made()) return 0;
  int err = errno;
  if (err == ENOENT) {
    fs::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) return err;
    if (int parent_err = make_directories(parent)) return parent_err;
    if (made()) return 0;
    err = errno;
  }
  struct stat st;
  // Something already there is fine only if it is a directory (also when another writer won).
  if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return err;
}

// Opens the folder `name` in `parent` without following a symbolic link, and checks who may
// change it. With `create`, a missing folder is made; without, a missing one gives an empty Fd.
// Something else than a folder in its place: made, that is EEXIST; only looked for, an empty
// Fd (the write that needs the folder reports it).
std::expected<Fd, CompileError> open_folder(int parent, const std::string& name,
                                            const fs::path& shown, bool create) {
  if (create) {
    if (::mkdirat(parent, name.c_str(), 0755) == 0) {
      set_folder_mode(parent, name.c_str());
    } else if (errno != EEXIST) {
      return std::unexpected(io("creating", shown, errno));
    }
  }
  Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    int err = errno;
    if (is_symlink_at(parent, name.c_str())) return std::unexpected(through_symlink(shown));
    if (!create && (err == ENOENT || err == ENOTDIR)) return Fd();
    if (err == ENOTDIR) err = EEXIST;
    return std::unexpected(io("creating", shown, err));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(io("creating", shown, errno));
  if (auto bad = check_folder(st, shown)) return std::unexpected(std::move(*bad));
  return fd;
}

bool is_temp_name(std::string_view name) {
  return name.size() > kTempSuffix.size() + 1 && name.front() == '.' && name.ends_with(kTempSuffix);
}

bool may_own(std::string_view rel) {
  return std::find(kOwnedPaths.begin(), kOwnedPaths.end(), rel) != kOwnedPaths.end();
}

// The files the compiler has written into a project folder, kept in the folder itself
// (kRecordFileName, one relative path a line), so that it removes only files it wrote.
using Record = std::set<std::string, std::less<>>;

// The record as found. A folder built before the record was kept holds the lock file; there,
// every path some file set holds counts as written. Lines that are no such path are ignored.
Record read_record(int project, bool built_before) {
  Record record;
  Fd fd(::openat(project, std::string(kRecordFileName).c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    if (built_before && !fd && errno == ENOENT) record.insert(kOwnedPaths.begin(), kOwnedPaths.end());
    return record;
  }
  std::string text(std::size_t(st.st_size), '\0');
  ssize_t got = ::read(fd.get(), text.data(), text.size());
  if (got < 0) return record;
  text.resize(std::size_t(got));
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line = std::string_view(text).substr(start, end - start);
    if (may_own(line)) record.emplace(line);
    start = end + 1;
  }
  return record;
}

// Replaces the record by `record`, through a temporary file and a rename.
Failure write_record(int project, const fs::path& shown, const Record& record) {
  std::string text;
  for (const std::string& rel : record) text.append(rel).push_back('\n');
  const std::string name(kRecordFileName);
  const std::string temp = temp_name(name);
  Fd fd;
  int err = create_fresh(project, temp, 0644, fd);
  if (!err) err = write_all(fd.get(), text);
  if (!err && ::close(fd.release()) != 0 && errno != EINTR) err = errno;
  if (!err && ::renameat(project, temp.c_str(), project, name.c_str()) != 0) err = errno;
  if (err) {
    ::unlinkat(project, temp.c_str(), 0);
    return io("writing", shown / name, err);
  }
  return std::nullopt;
}

// The names in a folder, the one `shown`, without "." and "..".
std::expected<std::vector<std::string>, CompileError> entries_of(int dir, const fs::path& shown) {
  int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(io("reading", shown, errno));
  DIR* d = ::fdopendir(copy);
  if (!d) {
    int err = errno;
    ::close(copy);
    return std::unexpected(io("reading", shown, err));
  }
  ::rewinddir(d);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  int err = errno;
  ::closedir(d);
  if (err) return std::unexpected(io("reading", shown, err));
  std::sort(names.begin(), names.end());  // reports do not depend on the directory's order
  return names;
}

// What the folder holds that the compiler did not write and cargo would obey. Temporary
// files left by a build that died are removed on the way.
class Survey {
 public:
  Survey(int project, const fs::path& shown, const FileSet& files, const Record& written)
      : project_(project), shown_(shown), files_(files), written_(written) {}

  Failure run() {
    auto top = entries_of(project_, shown_);
    if (!top) return std::move(top.error());
    for (const std::string& name : *top) {
      if (is_temp_name(name)) {
        ::unlinkat(project_, name.c_str(), 0);
      } else if (std::find(kObeyedTopLevel.begin(), kObeyedTopLevel.end(), name) !=
                 kObeyedTopLevel.end()) {
        return not_ours(shown_, shown_ / name);
      } else if (name == ".cargo") {
        if (auto bad = cargo_folder()) return bad;
      } else if (name == "src") {
        auto src = open_folder(project_, name, shown_ / name, false);
        if (!src) return std::move(src.error());
        if (*src) {
          if (auto bad = sources(src->get(), "src", 0)) return bad;
        }
      } else if (name == "target" || name == "pkg" || name == "Cargo.lock") {
        // cargo's and wasm-bindgen's output, where the artifact is read from, and the lock
        // file cargo rewrites: through a link, they would be written outside the project.
        struct stat st;
        if (::fstatat(project_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(st.st_mode)) return through_symlink(shown_ / name);
        if (S_ISDIR(st.st_mode) && name != "Cargo.lock") {
          if (auto bad = check_folder(st, shown_ / name)) return bad;
        }
      } else if (files_.contains(name) && is_symlink_at(project_, name.c_str())) {
        // Refused here, before a folder of the set is made, as in src/ and .cargo/.
        return through_symlink(shown_ / name);
      }
    }
    return std::nullopt;
  }

 private:
  Failure cargo_folder() {
    auto dir = open_folder(project_, ".cargo", shown_ / ".cargo", false);
    if (!dir) return std::move(dir.error());
    if (!*dir) return std::nullopt;
    auto names = entries_of(dir->get(), shown_ / ".cargo");
    if (!names) return std::move(names.error());
    for (const std::string& name : *names) {
      if (is_temp_name(name)) {
        ::unlinkat(dir->get(), name.c_str(), 0);
      } else if (name != "config.toml") {
        return not_ours(shown_, shown_ / ".cargo" / name);
      } else if (files_.contains(".cargo/config.toml")) {
        if (is_symlink_at(dir->get(), name.c_str())) return through_symlink(shown_ / ".cargo" / name);
      } else if (!written_.contains(".cargo/config.toml")) {
        return not_ours(shown_, shown_ / ".cargo" / name);
      }
    }
    return std::nullopt;
  }

  // cargo builds every target it finds under src/ (src/bin/*.rs among them) and follows
  // symbolic links there.
  Failure sources(int dir, const std::string& rel_dir, int depth) {
    auto names = entries_of(dir, shown_ / rel_dir);
    if (!names) return std::move(names.error());
    for (const std::string& name : *names) {
      const std::string rel = rel_dir + "/" + name;
      if (is_temp_name(name)) {
        ::unlinkat(dir, name.c_str(), 0);
        continue;
      }
      struct stat st;
      if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone since
      if (S_ISLNK(st.st_mode)) {
        if (files_.contains(rel)) return through_symlink(shown_ / rel);
        if (written_.contains(rel)) continue;  // a leftover, removed after the write
        return not_ours(shown_, shown_ / rel);
      }
      if (S_ISDIR(st.st_mode)) {
        if (depth >= kMaxSourceDepth) return not_ours(shown_, shown_ / rel);
        auto sub = open_folder(dir, name, shown_ / rel, false);
        if (!sub) return std::move(sub.error());
        if (*sub) {
          if (auto bad = sources(sub->get(), rel, depth + 1)) return bad;
        }
        continue;
      }
      if (name.ends_with(".rs") && !files_.contains(rel) && !written_.contains(rel)) {
        return not_ours(shown_, shown_ / rel);
      }
    }
    return std::nullopt;
  }

  int project_;
  const fs::path& shown_;
  const FileSet& files_;
  const Record& written_;
};

// Whether `name` in `dir` already holds exactly `contents`, in a file that only this user or
// root could have changed. A symbolic link or a folder there is refused.
std::expected<bool, CompileError> holds_already(int dir, const std::string& name,
                                                std::string_view contents, const fs::path& shown) {
  Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (is_symlink_at(dir, name.c_str())) return std::unexpected(through_symlink(shown));
    return false;  // missing, or something the write itself will report
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  // Found now rather than when renaming, after other files would already have gone in.
  if (S_ISDIR(st.st_mode)) return std::unexpected(io("writing", shown, EISDIR));
  if (!S_ISREG(st.st_mode) || !trusted_owner(st) || others_may_write(st) ||
      std::uint64_t(st.st_size) != contents.size()) {
    return false;
  }
  std::array<char, 65536> buf;
  std::size_t at = 0;
  while (at < contents.size()) {
    ssize_t n = ::read(fd.get(), buf.data(), std::min(buf.size(), contents.size() - at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (std::memcmp(buf.data(), contents.data() + at, std::size_t(n)) != 0) return false;
    at += std::size_t(n);
  }
  return true;
}

// Writes `contents` to `name` in `dir` (the folder `folder_shown`), a file made afresh (see
// create_fresh) to be renamed to `final_shown`. When removing a leftover in the way fails, that
// leftover is named and stays (it is not a file of ours); when writing fails, the file made is
// removed and the failure names `final_shown`.
Failure write_new_file(int dir, const std::string& name, std::string_view contents,
                       const fs::path& folder_shown, const fs::path& final_shown) {
  Fd fd;
  int err = create_fresh(dir, name, 0644, fd);
  if (err == EISDIR || err == EPERM || err == EBUSY) {
    return io("removing", folder_shown / name, err);  // not a file of ours: it stays
  }
  if (!err) err = write_all(fd.get(), contents);
  // A delayed write error (for example on a network file system) surfaces only here. On
  // Linux the descriptor is released even when close is interrupted, so EINTR is no failure.
  if (!err && ::close(fd.release()) != 0 && errno != EINTR) err = errno;
  if (!err) return std::nullopt;
  fd.reset();
  ::unlinkat(dir, name.c_str(), 0);
  return io("writing", final_shown, err);
}

// The project's folders by relative path ("" is the project folder), opened once each.
class Folders {
 public:
  Folders(int project, const fs::path& shown) : project_(project), shown_(shown) {}

  // The folder holding `rel` (a file's relative path), created when missing.
  std::expected<int, CompileError> parent_of(std::string_view rel, bool create) {
    std::size_t slash = rel.rfind('/');
    if (slash == std::string_view::npos) return project_;
    std::string dir(rel.substr(0, slash));
    if (auto it = open_.find(dir); it != open_.end()) return it->second.get();
    auto parent = parent_of(dir, create);
    if (!parent) return parent;
    if (*parent < 0) return -1;
    std::size_t last = dir.rfind('/');
    std::string name = last == std::string::npos ? dir : dir.substr(last + 1);
    auto fd = open_folder(*parent, name, shown_ / dir, create);
    if (!fd) return std::unexpected(std::move(fd.error()));
    if (!*fd) return -1;  // missing, and not to be made
    return open_.emplace(dir, std::move(*fd)).first->second.get();
  }

 private:
  int project_;
  const fs::path& shown_;
  std::map<std::string, Fd, std::less<>> open_;
};

struct Staged {
  int dir;
  std::string temp;
  std::string name;
  fs::path shown;
};

void discard(const std::vector<Staged>& staged) {
  for (const Staged& s : staged) ::unlinkat(s.dir, s.temp.c_str(), 0);
}

// Writes the files that differ beside their places, then renames them in: all or none. The
// record, when given, goes in before any file.
Failure replace_files(Folders& folders, int project, const fs::path& shown, const FileSet& files,
                      const Record* record) {
  std::vector<Staged> staged;
  for (const auto& [rel, contents] : files) {
    fs::path full = shown / rel;
    if (holds_nul(full)) {
      discard(staged);
      return io("writing", full, EINVAL);
    }
    auto dir = folders.parent_of(rel, true);
    if (!dir) {
      discard(staged);
      return std::move(dir.error());
    }
    std::string name = base_name(rel);
    auto same = holds_already(*dir, name, contents, full);
    if (!same) {
      discard(staged);
      return std::move(same.error());
    }
    if (*same) continue;
    Staged s{*dir, temp_name(name), name, full};
    if (auto failed = write_new_file(s.dir, s.temp, contents, full.parent_path(), full)) {
      discard(staged);
      return failed;
    }
    staged.push_back(std::move(s));
  }
  // The record is written last, so that a failing write names a file of the set as before,
  // and renamed in first, so that it covers every file that goes in.
  if (record) {
    std::string text;
    for (const std::string& rel : *record) text.append(rel).push_back('\n');
    const std::string name(kRecordFileName);
    Staged s{project, temp_name(name), name, shown / name};
    if (auto failed = write_new_file(project, s.temp, text, shown, s.shown)) {
      discard(staged);
      return failed;
    }
    staged.insert(staged.begin(), std::move(s));
  }
  for (std::size_t i = 0; i < staged.size(); ++i) {
    const Staged& s = staged[i];
    if (::renameat(s.dir, s.temp.c_str(), s.dir, s.name.c_str()) != 0) {
      int err = errno;
      discard(std::vector<Staged>(staged.begin() + std::ptrdiff_t(i), staged.end()));
      return io("writing", s.shown, err);
    }
  }
  return std::nullopt;
}

// Removes the files the compiler wrote that this file set lacks, and .cargo/ once it is empty.
Failure remove_leftovers(Folders& folders, int project, const fs::path& shown,
                         const FileSet& files, const Record& written) {
  for (std::string_view rel : written) {
    if (files.contains(rel)) continue;
    auto dir = folders.parent_of(rel, false);
    if (!dir) return std::move(dir.error());
    if (*dir < 0) continue;
    std::string name = base_name(rel);
    if (::unlinkat(*dir, name.c_str(), 0) != 0 && errno != ENOENT) {
      return io("removing", shown / rel, errno);
    }
  }
  // Only an empty folder is removed.
  if (!files.contains(".cargo/config.toml")) ::unlinkat(project, ".cargo", AT_REMOVEDIR);
  return std::nullopt;
}

std::expected<Fd, CompileError> take_lock(int project, const fs::path& shown,
                                          const BuildControl& control) {
  const fs::path lock_path = shown / kLockFileName;
  const std::string name(kLockFileName);
  Fd fd(::openat(project, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) {
    if (is_symlink_at(project, name.c_str())) return std::unexpected(through_symlink(lock_path));
    return std::unexpected(io("creating", lock_path, errno));
  }
  // Another build may hold the folder: wait for it, stopping when told to.
  if (auto failed = lock_exclusively(fd.get(), lock_path.native(), control)) {
    return std::unexpected(std::move(*failed));
  }
  return fd;
}

}  // namespace

std::optional<CompileError> check_trusted_folder(const fs::path& folder, bool chosen) {
  struct stat st;
  if ((chosen ? ::stat(folder.c_str(), &st) : ::lstat(folder.c_str(), &st)) != 0) {
    return io("creating", folder, errno);
  }
  if (S_ISLNK(st.st_mode)) return through_symlink(folder);
  return check_folder(st, folder);
}

std::optional<CompileError> prepare_chosen_folder(const fs::path& folder) {
  if (int err = make_directories(folder); err && err != EEXIST) return io("creating", folder, err);
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return io("creating", folder, errno);
  if (!S_ISDIR(st.st_mode)) return io("creating", folder, ENOTDIR);
  return check_folder(st, folder, true);
}

ProjectFolder::ProjectFolder(ProjectFolder&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)), lock_fd_(std::exchange(other.lock_fd_, -1)) {}

ProjectFolder::~ProjectFolder() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

std::expected<ProjectFolder, CompileError> write_project(const fs::path& project_dir,
                                                         const FileSet& files,
                                                         const BuildControl& control) {
  const fs::path out_dir = project_dir.parent_path();
  const std::string crate = project_dir.filename().string();
  // Where the project folder cannot be made, the folder of the first file is named, as the
  // writer has always done.
  const fs::path first_folder =
      files.empty() ? project_dir : (project_dir / files.begin()->first).parent_path();
  if (crate.empty() || holds_nul(project_dir)) return std::unexpected(io("creating", first_folder, EINVAL));

  if (!out_dir.empty()) {
    // Something else in its place is reported by the open below, as ENOTDIR.
    if (int err = make_directories(out_dir); err && err != EEXIST) {
      return std::unexpected(io("creating", first_folder, err));
    }
  }
  Fd out(::open(out_dir.empty() ? "." : out_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out) return std::unexpected(io("creating", first_folder, errno));
  // Whoever may change the output directory may swap the project folder for another.
  struct stat st;
  if (::fstat(out.get(), &st) != 0) return std::unexpected(io("creating", first_folder, errno));
  if (auto bad = check_folder(st, out_dir.empty() ? fs::path(".") : out_dir, true)) {
    bad->field = "out_dir";
    bad->field_in_request = true;
    return std::unexpected(std::move(*bad));
  }
  if (::mkdirat(out.get(), crate.c_str(), 0755) == 0) {
    set_folder_mode(out.get(), crate.c_str());
  } else if (errno != EEXIST) {
    return std::unexpected(io("creating", first_folder, errno));
  }
  Fd project(::openat(out.get(), crate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!project) {
    int err = errno;
    if (is_symlink_at(out.get(), crate.c_str())) return std::unexpected(through_symlink(project_dir));
    return std::unexpected(io("creating", first_folder, err));
  }
  if (::fstat(project.get(), &st) != 0) return std::unexpected(io("creating", project_dir, errno));
  if (auto bad = check_folder(st, project_dir)) return std::unexpected(std::move(*bad));

  const bool built_before = ::fstatat(project.get(), std::string(kLockFileName).c_str(), &st,
                                      AT_SYMLINK_NOFOLLOW) == 0;
  auto lock = take_lock(project.get(), project_dir, control);
  if (!lock) return std::unexpected(std::move(lock.error()));

  const Record written = read_record(project.get(), built_before);
  if (auto bad = Survey(project.get(), project_dir, files, written).run()) {
    return std::unexpected(std::move(*bad));
  }
  // The record covers every file the write may leave behind before any is written, and only
  // the current set once the leftovers are gone.
  Record current;
  for (const auto& entry : files) {
    if (may_own(entry.first)) current.insert(entry.first);
  }
  Record during = written;
  during.insert(current.begin(), current.end());
  Folders folders(project.get(), project_dir);
  if (auto bad = replace_files(folders, project.get(), project_dir, files,
                               during != written ? &during : nullptr)) {
    return std::unexpected(std::move(*bad));
  }
  if (auto bad = remove_leftovers(folders, project.get(), project_dir, files, written)) {
    return std::unexpected(std::move(*bad));
  }
  if (current != during) {
    if (auto bad = write_record(project.get(), project_dir, current)) return std::unexpected(std::move(*bad));
  }
  return ProjectFolder(project.release(), lock->release());
}

}  // namespace orvane::builder
