#include "builder/write_project.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

namespace orvane::builder {

namespace {

namespace fs = std::filesystem;

bool exists_as_directory(const fs::path& dir) {
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The system reads a path up to its first NUL: a path holding one would name another file.
bool holds_nul(const fs::path& p) { return p.native().find('\0') != std::string::npos; }

// Creates `dir` and its missing ancestors; 0 or the errno of the step that failed.
int make_directories(const fs::path& dir) {
  if (holds_nul(dir)) return EINVAL;
  if (::mkdir(dir.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    fs::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) return err;
    if (int parent_err = make_directories(parent)) return parent_err;
    if (::mkdir(dir.c_str(), 0777) == 0) return 0;
    err = errno;
  }
  // Something already there is fine only if it is a directory (also when another writer won).
  if (err == EEXIST && exists_as_directory(dir)) return 0;
  return err;
}

// 0 or the errno of the open, write or close that failed.
int write_file(const fs::path& file, std::string_view contents) {
  if (holds_nul(file)) return EINVAL;
  int fd;
  do {
    fd = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  while (!contents.empty()) {
    ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    contents.remove_prefix(static_cast<std::size_t>(n));
  }
  // A delayed write error (for example on a network file system) surfaces only here. On
  // Linux the descriptor is released even when close is interrupted, so EINTR is no failure.
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

}  // namespace

std::expected<void, CompileError> write_project(const fs::path& project_dir,
                                                const FileSet& files) {
  for (const auto& [relative, contents] : files) {
    fs::path full = project_dir / relative;
    fs::path parent = full.parent_path();
    if (!parent.empty()) {
      if (int err = make_directories(parent)) {
        return std::unexpected(CompileError{
            ErrorKind::Io, "creating " + parent.string() + ": " + system_error_text(err)});
      }
    }
    if (int err = write_file(full, contents)) {
      return std::unexpected(
          CompileError{ErrorKind::Io, "writing " + full.string() + ": " + system_error_text(err)});
    }
  }
  return {};
}

}  // namespace orvane::builder
