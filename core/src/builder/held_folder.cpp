#include "builder/held_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::builder {

namespace {

constexpr std::string_view kTempSuffix = ".orvane-tmp";

}  // namespace

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Fd open_parent_below(int dir, std::string_view rel, bool create) {
  Fd current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!current) return current;
  for (std::size_t slash; (slash = rel.find('/')) != std::string_view::npos;) {
    const std::string name(rel.substr(0, slash));
    rel.remove_prefix(slash + 1);
    if (create && ::mkdirat(current.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return Fd();
    Fd next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return next;
    current = std::move(next);
  }
  return current;
}

std::string base_name(std::string_view rel) {
  std::size_t slash = rel.rfind('/');
  return std::string(slash == std::string_view::npos ? rel : rel.substr(slash + 1));
}

std::string temp_name(std::string_view name) {
  std::string out;
  out.reserve(1 + name.size() + kTempSuffix.size());
  out.push_back('.');
  out.append(name);
  out.append(kTempSuffix);
  return out;
}

int create_fresh(int dir, const std::string& name, mode_t mode, Fd& out) {
  // Unlinking a link or a hard link removes only the name here, never what it points to.
  if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
  int raw;
  do {
    raw = ::openat(dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return errno;
  out = Fd(raw);
  return 0;
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace orvane::builder
