#pragma once
// Puts a generated project on disk, inside its project folder and nowhere else, and holds the
// folder for the build that follows.
//
// - Every folder and file below the output directory is opened relative to its parent's
//   handle and never through a symbolic link; the output directory itself may be one (the
//   caller chose it).
// - The project folder and the folders inside it must belong to this user (or root) and be
//   writable by no one else, as ssh asks of its key folders.
// - Files cargo would obey but the compiler did not write (build.rs, .cargo/ entries,
//   rust-toolchain files, other sources under src/) are refused before anything is written.
// - Each changed file is written to a temporary file beside it; only once every one of them
//   is complete are they renamed into place. A failure leaves every previous file as it was.
//   A file whose bytes are already right is left alone, timestamp and all.
// - Files the compiler wrote (kept on a record in the folder) that the current file set lacks
//   (leftovers of another target or dataset) are removed; nothing else ever is. cargo's
//   target/ and Cargo.lock, and pkg/, stay, and are refused as symbolic links.
// - The output directory, like the project folder, must be trusted; it may also be a sticky
//   folder others may write to, as /tmp. Folders the writer makes get mode 0755.
// - An exclusive lock on a file in the project folder is held from before the first write
//   until the ProjectFolder is released, so builds of one folder, from any thread or process,
//   take turns.
#include <expected>
#include <filesystem>
#include <optional>

#include "builder/build_control.hpp"
#include "builder/compile_error.hpp"
#include "builder/file_set.hpp"

namespace orvane::builder {

// The lock file, in the project folder.
inline constexpr std::string_view kLockFileName = ".orvane-compile.lock";
// The record of the files the compiler wrote into the project folder: only those are ever
// removed from it.
inline constexpr std::string_view kRecordFileName = ".orvane-compile.files";

// A written project folder, locked for this build until destroyed.
class ProjectFolder {
 public:
  ProjectFolder(ProjectFolder&& other) noexcept;
  ProjectFolder& operator=(ProjectFolder&&) = delete;
  ProjectFolder(const ProjectFolder&) = delete;
  ~ProjectFolder();

  // The project folder, held open: the build runs in it, whatever its path names by then.
  int fd() const { return dir_fd_; }

 private:
  friend std::expected<ProjectFolder, CompileError> write_project(const std::filesystem::path&,
                                                                  const FileSet&,
                                                                  const BuildControl&);
  ProjectFolder(int dir_fd, int lock_fd) : dir_fd_(dir_fd), lock_fd_(lock_fd) {}
  int dir_fd_;
  int lock_fd_;  // released by closing
};

// The rule for folders a build trusts: owned by this user or root, and writable by no one
// else. An io failure ("refusing to write into <folder>: ...") when `folder` breaks it or
// cannot be looked at. A symbolic link is refused unless `chosen` (a folder the caller named,
// which is judged where the link leads).
std::optional<CompileError> check_trusted_folder(const std::filesystem::path& folder, bool chosen = false);

// A folder the caller chose (the shared build cache): created with its missing ancestors
// (mode 0755) and checked by the rule above, following a link, and allowing a sticky folder.
std::optional<CompileError> prepare_chosen_folder(const std::filesystem::path& folder);

// Failures are of kind io, naming the path: "creating <folder>: ...", "writing <file>: ...",
// "removing <file>: ...", or "refusing ...". Waiting for another build's lock stops with a
// failure of kind build when `control` says so.
std::expected<ProjectFolder, CompileError> write_project(const std::filesystem::path& project_dir,
                                                         const FileSet& files,
                                                         const BuildControl& control = {});

}  // namespace orvane::builder
