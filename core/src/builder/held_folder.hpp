#pragma once
// Files and folders reached from a folder the build holds open, one step at a time and never
// through a symbolic link, so that what a path names cannot change under the build.
#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>

namespace orvane::builder {

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// The folder holding `rel` ("a/b/name", "/"-separated) below `dir`, opened step by step
// without following a symbolic link; with `create`, missing folders are made (mode 0755).
// Sets errno (ELOOP for a link on the way) and gives an empty Fd on failure.
Fd open_parent_below(int dir, std::string_view rel, bool create);

// The last component of `rel`.
std::string base_name(std::string_view rel);

// "." + name + ".orvane-tmp": where a file is written before it is renamed into place.
std::string temp_name(std::string_view name);

// Creates `name` in `dir` afresh (O_CREAT|O_EXCL|O_NOFOLLOW: never an existing file, nor one
// a link points to), after removing a leftover of that name. 0 or the errno of the step that
// failed; EISDIR when a folder stands there.
int create_fresh(int dir, const std::string& name, mode_t mode, Fd& out);

// Writes all of `bytes`, retrying interrupted writes: 0 or the errno.
int write_all(int fd, std::string_view bytes);

}  // namespace orvane::builder
