#include "builder/run_process.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <vector>

#if !defined(__GLIBC__) || __GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 29)
#error "posix_spawn_file_actions_addchdir_np needs glibc 2.29 or later"
#endif

namespace orvane::builder {

namespace {

class OwnedFd {
 public:
  OwnedFd() = default;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { reset(); }
  int get() const { return fd_; }
  int* out() { return &fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  OwnedFd read_end, write_end;
};

// Moves `fd` above the standard streams, so that setting up the child's 0, 1 and 2 cannot
// overwrite a pipe end still to be copied (a host may run with its standard streams closed).
int lift_above_std(OwnedFd& fd) {
  if (fd.get() > STDERR_FILENO) return 0;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return errno;
  fd.reset();
  *fd.out() = lifted;
  return 0;
}

int open_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  *p.read_end.out() = fds[0];
  *p.write_end.out() = fds[1];
  if (int e = lift_above_std(p.read_end)) return e;
  return lift_above_std(p.write_end);
}

class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

int wait_for(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void keep_tail(std::string& buffer, std::size_t keep) {
  if (buffer.size() > keep) buffer.erase(0, buffer.size() - keep);
}

// Reads both pipes to their ends; 0 or the errno of the poll or read that failed.
int drain(Pipe& out, Pipe& err, std::string& stderr_tail, std::size_t keep) {
  std::array<char, 65536> chunk;
  while (out.read_end.get() >= 0 || err.read_end.get() >= 0) {
    // A closed stream keeps its slot with fd -1, which poll skips.
    std::array<pollfd, 2> fds = {
        {{out.read_end.get(), POLLIN, 0}, {err.read_end.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      OwnedFd& fd = i == 0 ? out.read_end : err.read_end;
      if (n == 0) {
        fd.reset();
      } else if (i == 1) {
        stderr_tail.append(chunk.data(), static_cast<std::size_t>(n));
        // Trim only now and then, so the copying stays proportional to what was read.
        if (stderr_tail.size() > 2 * keep + chunk.size()) keep_tail(stderr_tail, keep);
      }
    }
  }
  keep_tail(stderr_tail, keep);
  return 0;
}

}  // namespace

std::expected<ProcessResult, int> run_process(const std::string& program,
                                              std::span<const std::string> args,
                                              const std::filesystem::path& working_dir,
                                              std::size_t stderr_keep) {
  Pipe out, err;
  if (int e = open_pipe(out)) return std::unexpected(e);
  if (int e = open_pipe(err)) return std::unexpected(e);

  SpawnSetup setup;
  // The host (Python, for one) may ignore SIGPIPE or block signals; the tool gets defaults.
  sigset_t none, pipe_only;
  sigemptyset(&none);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  for (int e : {
           ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                              O_RDONLY, 0),
           ::posix_spawn_file_actions_adddup2(&setup.actions, out.write_end.get(), STDOUT_FILENO),
           ::posix_spawn_file_actions_adddup2(&setup.actions, err.write_end.get(), STDERR_FILENO),
           ::posix_spawn_file_actions_addchdir_np(&setup.actions, working_dir.c_str()),
           ::posix_spawnattr_setsigmask(&setup.attr, &none),
           ::posix_spawnattr_setsigdefault(&setup.attr, &pipe_only),
           ::posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
       }) {
    if (e != 0) return std::unexpected(e);
  }

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid;
  int spawn_err = ::posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(),
                                 environ);
  // Only the child may hold the write ends, or the reads below would never see the end.
  out.write_end.reset();
  err.write_end.reset();
  if (spawn_err != 0) return std::unexpected(spawn_err);

  ProcessResult result;
  int status = 0;
  if (int read_err = drain(out, err, result.stderr_tail, stderr_keep)) {
    ::kill(pid, SIGKILL);
    wait_for(pid, status);
    return std::unexpected(read_err);
  }
  if (int wait_err = wait_for(pid, status)) return std::unexpected(wait_err);
  result.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

}  // namespace orvane::builder
