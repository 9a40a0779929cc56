#include "builder/run_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string_view>

namespace orvane::builder {

namespace {

using Clock = std::chrono::steady_clock;

// After the tool has exited, how long output is still waited for from processes it left
// behind holding the pipes open. They are killed after it.
constexpr auto kStragglerGrace = std::chrono::milliseconds(250);
// While the pipes are closed but the exit is not yet seen, how often to look.
constexpr int kExitPollMs = 5;

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

bool is_executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The host's environment with `overrides` set on top, as "KEY=value" texts.
std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry = *e;
    bool replaced = false;
    for (const auto& [key, value] : overrides) {
      if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=') {
        replaced = true;
      }
    }
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

struct ChildSetup {
  pid_t parent;
  const char* program;
  char* const* argv;
  char* const* envp;
  const char* working_dir;
  int out_fd, err_fd, report_fd;
};

// In the child, between fork and exec: only async-signal-safe calls. A failure is reported
// to the parent as its errno through `report_fd`, which the exec closes on success.
[[noreturn]] void become_child(const ChildSetup& s) {
  auto fail = [&](int err) {
    while (::write(s.report_fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    ::_exit(127);
  };
  ::setpgid(0, 0);
  // Dies with the thread that started it, and so with the host process.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(errno);
  if (::getppid() != s.parent) ::_exit(127);
  // The host may ignore or block signals (Python ignores SIGPIPE; some hosts ignore SIGCHLD,
  // which would break cargo's own waiting for its jobs): the tool starts with defaults.
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::dup2(s.out_fd, STDOUT_FILENO) < 0 || ::dup2(s.err_fd, STDERR_FILENO) < 0) fail(errno);
  int null = ::open("/dev/null", O_RDONLY);
  if (null < 0) fail(errno);
  if (null != STDIN_FILENO) {
    if (::dup2(null, STDIN_FILENO) < 0) fail(errno);
    ::close(null);
  }
  if (::chdir(s.working_dir) != 0) fail(errno);
  // Descriptors the host left inheritable stay with the host.
#ifdef SYS_close_range
  ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
  ::execve(s.program, s.argv, s.envp);
  fail(errno);
  ::_exit(127);
}

// Passes a tool's output on, a whole line at a time, each after the prefix.
class Echo {
 public:
  Echo(int fd, std::string_view prefix) : fd_(fd), prefix_(prefix) {}
  void feed(std::size_t stream, std::string_view bytes) {
    if (fd_ < 0) return;
    std::string& pending = pending_[stream];
    pending.append(bytes);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      emit(std::string_view(pending).substr(start, nl + 1 - start));
    }
    pending.erase(0, start);
  }
  // What is left of a line without its end.
  void finish() {
    for (std::string& pending : pending_) {
      if (!pending.empty()) emit(pending + "\n");
      pending.clear();
    }
  }

 private:
  void emit(std::string_view line) {
    std::string out = prefix_;
    out.append(line);
    std::string_view rest = out;
    while (!rest.empty()) {
      ssize_t n = ::write(fd_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fd_ = -1;  // the reader went away: the build goes on without it
        return;
      }
      rest.remove_prefix(std::size_t(n));
    }
  }
  int fd_;
  std::string prefix_;
  std::array<std::string, 2> pending_;
};

void keep_tail(std::string& buffer, std::size_t keep) {
  if (buffer.size() > keep) buffer.erase(0, buffer.size() - keep);
}

// Reaps `pid`; false when its status was lost (the host ignores SIGCHLD).
bool reap(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

std::expected<std::string, int> find_program(const std::string& name) {
  if (name.empty()) return std::unexpected(ENOENT);
  if (name.find('/') != std::string::npos) return name;
  std::string path;
  if (const char* p = ::getenv("PATH")) {
    path = p;
  } else {
    path = "/bin:/usr/bin";
  }
  int err = ENOENT;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = path.find(':', start);
    std::string_view dir = std::string_view(path).substr(
        start, colon == std::string::npos ? std::string::npos : colon - start);
    // An empty or relative entry would find programs in whatever the working directory is.
    if (!dir.empty() && dir.front() == '/') {
      std::string candidate = std::string(dir) + "/" + name;
      if (is_executable_file(candidate)) return candidate;
      if (::access(candidate.c_str(), F_OK) == 0) err = EACCES;
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return std::unexpected(err);
}

std::expected<ProcessResult, int> run_process(const std::string& program,
                                              const ProcessOptions& options) {
  auto found = find_program(program);
  if (!found) return std::unexpected(found.error());
  if (options.working_dir.native().find('\0') != std::string::npos) return std::unexpected(EINVAL);

  Pipe out, err, report;
  if (int e = open_pipe(out)) return std::unexpected(e);
  if (int e = open_pipe(err)) return std::unexpected(e);
  if (int e = open_pipe(report)) return std::unexpected(e);

  std::vector<std::string> arg_texts;
  arg_texts.reserve(options.args.size() + 1);
  arg_texts.push_back(program);
  for (const std::string& a : options.args) arg_texts.push_back(a);
  std::vector<char*> argv = pointers_to(arg_texts);
  std::vector<std::string> env_texts = child_environment(options.env);
  std::vector<char*> envp = pointers_to(env_texts);
  const ChildSetup setup{::getpid(),     found->c_str(),        argv.data(),
                         envp.data(),    options.working_dir.c_str(),
                         out.write_end.get(), err.write_end.get(), report.write_end.get()};

  pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(errno);
  if (pid == 0) become_child(setup);

  // Only the child may hold the write ends, or the reads below would never see the end.
  out.write_end.reset();
  err.write_end.reset();
  report.write_end.reset();
  int start_err = 0;
  ssize_t got;
  do {
    got = ::read(report.read_end.get(), &start_err, sizeof start_err);
  } while (got < 0 && errno == EINTR);
  if (got == ssize_t(sizeof start_err)) {
    int status;
    reap(pid, status);
    return std::unexpected(start_err);
  }

  ProcessResult result;
  Echo echo(options.echo_fd, options.echo_prefix);
  std::array<char, 65536> chunk;
  bool exited = false, status_lost = false;
  Clock::time_point exited_at;
  const std::size_t keep = options.stderr_keep;
  auto kill_group = [&] { ::kill(-pid, SIGKILL); };

  for (;;) {
    std::array<pollfd, 2> fds = {{{out.read_end.get(), POLLIN, 0}, {err.read_end.get(), POLLIN, 0}}};
    const bool open_pipes = fds[0].fd >= 0 || fds[1].fd >= 0;
    int wait_ms;
    if (exited) {
      if (!open_pipes) break;
      auto left = kStragglerGrace - (Clock::now() - exited_at);
      if (left <= Clock::duration::zero()) break;
      wait_ms = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    } else {
      wait_ms = open_pipes ? kPollIntervalMs : kExitPollMs;
      if (options.control) wait_ms = options.control->wait_ms(wait_ms);
    }
    // A closed stream keeps its slot with fd -1, which poll skips.
    if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) {
      int poll_err = errno;
      kill_group();
      int status;
      reap(pid, status);
      return std::unexpected(poll_err);
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        n = 0;  // a broken stream ends like a closed one
      }
      OwnedFd& fd = i == 0 ? out.read_end : err.read_end;
      if (n > 0) echo.feed(i, std::string_view(chunk.data(), std::size_t(n)));
      if (n == 0) {
        fd.reset();
      } else if (i == 1) {
        result.stderr_tail.append(chunk.data(), static_cast<std::size_t>(n));
        // Trim only now and then, so the copying stays proportional to what was read.
        if (result.stderr_tail.size() > 2 * keep + chunk.size()) keep_tail(result.stderr_tail, keep);
      }
    }
    if (!exited) {
      // Seen without reaping it, so that its process group keeps its id until the end.
      siginfo_t info;
      std::memset(&info, 0, sizeof info);
      if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        if (info.si_pid == pid) exited = true;
      } else if (errno == ECHILD) {
        exited = status_lost = true;  // reaped for us already
      }
      if (exited) exited_at = Clock::now();
    }
    if (!exited && options.control) {
      if (auto stop = options.control->stop_reason()) {
        kill_group();
        int status;
        reap(pid, status);
        echo.finish();
        result.ending = ProcessResult::Ending::Stopped;
        result.stop_reason = std::move(*stop);
        keep_tail(result.stderr_tail, keep);
        return result;
      }
    }
  }
  // Whatever the tool left running in its group goes with it.
  kill_group();
  echo.finish();
  keep_tail(result.stderr_tail, keep);
  int status = 0;
  if (status_lost || !reap(pid, status)) {
    result.ending = ProcessResult::Ending::Unknown;
  } else if (WIFEXITED(status)) {
    result.ending = ProcessResult::Ending::Exited;
    result.code = WEXITSTATUS(status);
  } else {
    result.ending = ProcessResult::Ending::Signalled;
    result.code = WTERMSIG(status);
  }
  return result;
}

std::expected<ProcessResult, int> run_process(const std::string& program,
                                              std::span<const std::string> args,
                                              const std::filesystem::path& working_dir,
                                              std::size_t stderr_keep) {
  ProcessOptions options;
  options.args = args;
  options.working_dir = working_dir;
  options.stderr_keep = stderr_keep;
  return run_process(program, options);
}

}  // namespace orvane::builder
