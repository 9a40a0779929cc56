#include "builder/run_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace orvane::builder {

namespace {

using Clock = std::chrono::steady_clock;

// After the tool has exited, how long output is still waited for from processes it left
// behind holding the pipes open. They are killed after it.
constexpr auto kStragglerGrace = std::chrono::milliseconds(250);
// Output without a line end is passed on in pieces of this size.
constexpr std::size_t kLongestLine = 64 * 1024;

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

// The host's environment with `overrides` set on top, as "KEY=value" texts; `path_first`, when
// not empty, is searched before the PATH's folders.
std::vector<std::string> child_environment(
    const std::vector<std::pair<std::string, std::string>>& overrides, const std::string& path_first) {
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
  // The tools search the PATH this process searched, so that neither they nor what they run
  // (rustc's linker, say) come from the working directory.
  std::string path = "PATH=" + path_first;
  for (const std::string& dir : searched_path()) {
    if (path.size() > 5) path.push_back(':');
    path.append(dir);
  }
  std::erase_if(env, [](const std::string& e) { return e.starts_with("PATH="); });
  env.push_back(std::move(path));
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
  int working_dir_fd;
  int out_fd, err_fd, report_fd;
  int control_fd;  // the host holds the other end: its closing (or the host's death) ends the build
  int status_fd;   // the tool's wait status goes here, so the host learns it even if it cannot reap
};

// Between fork and exec only async-signal-safe calls are made: the host may have threads.

void report_failure(int report_fd, int err) {
  while (::write(report_fd, &err, sizeof err) < 0 && errno == EINTR) {
  }
}

void default_signals() {
  // The host may ignore or block signals (Python ignores SIGPIPE; some hosts ignore SIGCHLD,
  // which would break cargo's own waiting for its jobs): the tools start with defaults.
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The tool itself, a child of the supervisor. A failure is reported to the host as its errno
// through `report_fd`, which the exec closes on success.
[[noreturn]] void become_tool(const ChildSetup& s, pid_t supervisor) {
  auto fail = [&](int err) {
    report_failure(s.report_fd, err);
    ::_exit(127);
  };
  // A group of its own, which the supervisor kills as a whole besides every descendant.
  ::setpgid(0, 0);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(errno);
  if (::getppid() != supervisor) ::_exit(127);
  if (::dup2(s.out_fd, STDOUT_FILENO) < 0 || ::dup2(s.err_fd, STDERR_FILENO) < 0) fail(errno);
  int null = ::open("/dev/null", O_RDONLY);
  if (null < 0) fail(errno);
  if (null != STDIN_FILENO) {
    if (::dup2(null, STDIN_FILENO) < 0) fail(errno);
    ::close(null);
  }
  // Into the folder the caller holds, not whatever its path names by now.
  if (s.working_dir_fd >= 0 ? ::fchdir(s.working_dir_fd) != 0 : ::chdir(s.working_dir) != 0) fail(errno);
  // Descriptors the host left inheritable stay with the host.
#ifdef SYS_close_range
  ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
  ::execve(s.program, s.argv, s.envp);
  fail(errno);
  ::_exit(127);
}

// The parent process id in /proc/<pid>/stat, or -1.
pid_t parent_of(const char* pid_text) {
  char path[64] = "/proc/";
  std::size_t n = 6;
  for (const char* p = pid_text; *p && n < 40; ++p) path[n++] = *p;
  std::memcpy(path + n, "/stat", 6);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[512];
  ssize_t got = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (got <= 0) return -1;
  buf[got] = '\0';
  // "pid (comm) state ppid ...": comm may hold anything, so read after its last ')'.
  char* close_paren = nullptr;
  for (char* p = buf; *p; ++p) {
    if (*p == ')') close_paren = p;
  }
  if (!close_paren || close_paren[1] != ' ' || !close_paren[2] || close_paren[3] != ' ') return -1;
  pid_t ppid = 0;
  for (char* p = close_paren + 4; *p >= '0' && *p <= '9'; ++p) ppid = ppid * 10 + (*p - '0');
  return ppid;
}

// Sends SIGKILL to every child of this process, found in /proc. Processes whose parents died
// are its children too: it is their subreaper.
void kill_children(pid_t self) {
  int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  alignas(8) char buf[8192];
  for (;;) {
    long got = ::syscall(SYS_getdents64, proc, buf, sizeof buf);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
      };
      const Entry* e = reinterpret_cast<const Entry*>(buf + at);
      at += e->reclen;
      if (e->name[0] < '1' || e->name[0] > '9') continue;
      pid_t pid = 0;
      const char* p = e->name;
      for (; *p >= '0' && *p <= '9'; ++p) pid = pid * 10 + (*p - '0');
      if (*p == '\0' && parent_of(e->name) == self) ::kill(pid, SIGKILL);
    }
  }
  ::close(proc);
}

void on_child(int) {}

// Keeps only the descriptors the supervisor uses, so that it holds nothing of the host's (a
// socket, the write end of someone's pipe) while the build runs.
void keep_only(std::array<int, 6> keep) {
  std::sort(keep.begin(), keep.end());
  // Closes [from, to]; close_range where the kernel has it, else one by one (up to the limit
  // of open files, which bounds the descriptors there can be).
  auto close_between = [](unsigned from, unsigned to) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, from, to, 0U) == 0) return;
#endif
    struct rlimit limit;
    unsigned most = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < most) most = unsigned(limit.rlim_cur);
    for (unsigned fd = from; fd <= to && fd < most; ++fd) ::close(int(fd));
  };
  unsigned from = 3;
  for (int fd : keep) {
    if (fd < int(from)) continue;
    if (unsigned(fd) > from) close_between(from, unsigned(fd) - 1);
    from = unsigned(fd) + 1;
  }
  close_between(from, ~0U);
}

// The supervisor, between the host and the tool: a subreaper, so that whatever the tool
// starts (even in a session of its own) stays its descendant, and everything still running
// when the tool has ended, or when the host says so or dies, is killed. The tool's wait
// status goes to `status_fd`; the host ends the build by closing the control pipe.
[[noreturn]] void become_supervisor(const ChildSetup& s) {
  ::setpgid(0, 0);
  default_signals();
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    report_failure(s.report_fd, errno);
    ::_exit(127);
  }
  if (::getppid() != s.parent) ::_exit(127);  // the host is already gone
  keep_only({s.control_fd, s.status_fd, s.out_fd, s.err_fd, s.report_fd, s.working_dir_fd});
  const pid_t self = ::getpid();
  // SIGCHLD is only let in while waiting, so that no exit is missed between looking and waiting.
  sigset_t chld, waiting;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &chld, &waiting);
  struct sigaction wake;
  std::memset(&wake, 0, sizeof wake);
  wake.sa_handler = on_child;
  ::sigaction(SIGCHLD, &wake, nullptr);

  pid_t tool = ::fork();
  if (tool < 0) {
    report_failure(s.report_fd, errno);
    ::_exit(127);
  }
  if (tool == 0) {
    ::sigprocmask(SIG_SETMASK, &waiting, nullptr);
    ::signal(SIGCHLD, SIG_DFL);
    become_tool(s, self);
  }
  // The host may be gone by the time the status is written: that must not end the supervisor
  // before it has cleaned up.
  ::signal(SIGPIPE, SIG_IGN);
  // The host sees the report pipe close once the tool's exec succeeded, and the output pipes
  // once the tool and whatever it started are done with them.
  ::close(s.report_fd);
  ::close(s.out_fd);
  ::close(s.err_fd);
  if (s.working_dir_fd >= 0) ::close(s.working_dir_fd);
  bool reported = false;
  for (;;) {
    int status;
    pid_t r;
    while ((r = ::waitpid(-1, &status, WNOHANG)) > 0) {
      if (r == tool && !reported) {
        reported = true;
        while (::write(s.status_fd, &status, sizeof status) < 0 && errno == EINTR) {
        }
      }
    }
    pollfd control{s.control_fd, POLLIN, 0};
    if (::ppoll(&control, 1, nullptr, &waiting) > 0) break;  // closed (or written to): finish
  }
  // Everything the tool left behind goes: its group, then every descendant, until none is left.
  ::kill(-tool, SIGKILL);
  for (;;) {
    kill_children(self);
    int status;
    pid_t r = ::waitpid(-1, &status, 0);
    if (r < 0 && errno == ECHILD) break;
    if (r == tool && !reported) {
      reported = true;
      while (::write(s.status_fd, &status, sizeof status) < 0 && errno == EINTR) {
      }
    }
  }
  ::_exit(0);
}

// Passes a tool's output on, a whole line at a time, each after the prefix.
class Echo {
 public:
  Echo(int fd, std::string_view prefix) : fd_(fd), prefix_(prefix) {}
  // Only the new bytes are searched for line ends, and a line longer than kLongestLine goes
  // out in pieces of that size, so the work is linear in the output and the memory bounded.
  void feed(std::size_t stream, std::string_view bytes) {
    if (fd_ < 0) return;
    std::string& pending = pending_[stream];
    while (!bytes.empty()) {
      const std::size_t nl = bytes.find('\n');
      const std::size_t text = nl == std::string_view::npos ? bytes.size() : nl;
      const std::size_t room = kLongestLine - pending.size();
      if (text > room || (text == room && nl == std::string_view::npos)) {
        pending.append(bytes.substr(0, room)).push_back('\n');
        emit(pending);
        pending.clear();
        bytes.remove_prefix(room);
        continue;
      }
      if (nl == std::string_view::npos) {
        pending.append(bytes);
        break;
      }
      pending.append(bytes.substr(0, nl + 1));
      emit(pending);
      pending.clear();
      bytes.remove_prefix(nl + 1);
    }
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

// Reaps `pid`; false when it was reaped already (the host ignores SIGCHLD).
bool reap(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// A tool that could not be found, started or followed, as the build reports it.
CompileError cannot_spawn(const std::string& program, int errnum) {
  return system_error(ErrorKind::Build, "spawning", program, errnum);
}

}  // namespace

std::vector<std::string> searched_path() {
  std::string_view path = "/bin:/usr/bin";
  if (const char* p = ::getenv("PATH")) path = p;
  std::vector<std::string> dirs;
  for (std::size_t start = 0;;) {
    std::size_t colon = path.find(':', start);
    std::string_view dir = path.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    // An empty or relative entry would find programs in whatever the working directory is.
    if (!dir.empty() && dir.front() == '/') dirs.emplace_back(dir);
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return dirs;
}

std::expected<std::string, CompileError> find_program(const std::string& name) {
  if (name.empty()) return std::unexpected(cannot_spawn(name, ENOENT));
  if (name.find('/') != std::string::npos) return name;
  int err = ENOENT;
  for (const std::string& dir : searched_path()) {
    std::string candidate = dir + "/" + name;
    if (is_executable_file(candidate)) return candidate;
    if (::access(candidate.c_str(), F_OK) == 0) err = EACCES;
  }
  return std::unexpected(cannot_spawn(name, err));
}

namespace {

// A tool running under its supervisor, as the host holds it: the pipes' ends it reads, and the
// control pipe whose closing ends the supervisor.
struct Supervised {
  pid_t pid = -1;
  Pipe out, err, status, control;

  // Ends the supervisor, which kills whatever is left of the run, and waits until it has.
  void finish() {
    control.write_end.reset();
    char sink[sizeof(int)];
    while (status.read_end.get() >= 0) {
      ssize_t n = ::read(status.read_end.get(), sink, sizeof sink);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) status.read_end.reset();
    }
    int ignored;
    reap(pid, ignored);
  }
};

// Step one: the supervisor forked, and through it the tool started (the errno of finding or
// starting it otherwise).
std::expected<std::unique_ptr<Supervised>, CompileError> spawn(const std::string& program,
                                                               const ProcessOptions& options) {
  auto found = find_program(program);
  if (!found) return std::unexpected(std::move(found.error()));
  if (options.working_dir.native().find('\0') != std::string::npos) {
    return std::unexpected(cannot_spawn(program, EINVAL));
  }

  auto tool = std::make_unique<Supervised>();
  Pipe report;
  for (Pipe* p : {&tool->out, &tool->err, &report, &tool->control, &tool->status}) {
    if (int e = open_pipe(*p)) return std::unexpected(cannot_spawn(program, e));
  }
  std::vector<std::string> arg_texts;
  arg_texts.reserve(options.args.size() + 1);
  arg_texts.push_back(program);
  for (const std::string& a : options.args) arg_texts.push_back(a);
  std::vector<char*> argv = pointers_to(arg_texts);
  std::vector<std::string> env_texts = child_environment(options.env, options.path_first);
  std::vector<char*> envp = pointers_to(env_texts);
  const ChildSetup setup{::getpid(),
                         found->c_str(),
                         argv.data(),
                         envp.data(),
                         options.working_dir.c_str(),
                         options.working_dir_fd,
                         tool->out.write_end.get(),
                         tool->err.write_end.get(),
                         report.write_end.get(),
                         tool->control.read_end.get(),
                         tool->status.write_end.get()};

  tool->pid = ::fork();
  if (tool->pid < 0) return std::unexpected(cannot_spawn(program, errno));
  if (tool->pid == 0) become_supervisor(setup);

  // Only the supervisor and the tool may hold these ends, or the reads would never end.
  tool->out.write_end.reset();
  tool->err.write_end.reset();
  report.write_end.reset();
  tool->status.write_end.reset();
  tool->control.read_end.reset();
  int start_err = 0;
  ssize_t got;
  do {
    got = ::read(report.read_end.get(), &start_err, sizeof start_err);
  } while (got < 0 && errno == EINTR);
  if (got == ssize_t(sizeof start_err)) {
    tool->finish();
    return std::unexpected(cannot_spawn(program, start_err));
  }
  return tool;
}

// How a run ended, as draining its output saw it.
struct Drained {
  enum class How { Exited, StatusLost, Stopped } how = How::StatusLost;
  int wait_status = 0;  // for Exited
  std::string stop_reason;  // for Stopped
};

// Step two: the tool's output read until it has exited and its stragglers let go of the pipes
// (or a grace period ends), or until the BuildControl stops it; standard error's tail kept,
// both streams echoed as asked. The errno of a failed poll otherwise.
std::expected<Drained, CompileError> drain(const std::string& program, Supervised& tool,
                                           const ProcessOptions& options,
                                           std::string& stderr_tail, std::string& stdout_head) {
  Echo echo(options.echo_fd, options.echo_prefix);
  std::array<char, 65536> chunk;
  Drained drained;
  bool exited = false;
  Clock::time_point exited_at;
  const std::size_t keep = options.stderr_keep;
  for (;;) {
    std::array<pollfd, 3> fds = {{{tool.out.read_end.get(), POLLIN, 0},
                                  {tool.err.read_end.get(), POLLIN, 0},
                                  {exited ? -1 : tool.status.read_end.get(), POLLIN, 0}}};
    const bool open_pipes = fds[0].fd >= 0 || fds[1].fd >= 0;
    int wait_ms = -1;
    if (exited) {
      if (!open_pipes) break;
      auto left = kStragglerGrace - (Clock::now() - exited_at);
      if (left <= Clock::duration::zero()) break;
      wait_ms = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    } else if (options.control) {
      wait_ms = options.control->wait_ms(kPollIntervalMs);
    }
    // A closed stream keeps its slot with fd -1, which poll skips.
    if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) {
      return std::unexpected(cannot_spawn(program, errno));
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        n = 0;  // a broken stream ends like a closed one
      }
      if (n > 0) echo.feed(i, std::string_view(chunk.data(), std::size_t(n)));
      if (n > 0 && i == 0 && stdout_head.size() < options.stdout_keep) {
        stdout_head.append(chunk.data(), std::min(std::size_t(n), options.stdout_keep - stdout_head.size()));
      }
      if (n == 0) {
        (i == 0 ? tool.out.read_end : tool.err.read_end).reset();
      } else if (i == 1) {
        stderr_tail.append(chunk.data(), static_cast<std::size_t>(n));
        // Trim only now and then, so the copying stays proportional to what was read.
        if (stderr_tail.size() > 2 * keep + chunk.size()) keep_tail(stderr_tail, keep);
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      ssize_t n = ::read(tool.status.read_end.get(), &drained.wait_status, sizeof drained.wait_status);
      if (n == ssize_t(sizeof drained.wait_status)) {
        exited = true;
        drained.how = Drained::How::Exited;
      } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        exited = true;  // the supervisor died without telling
        drained.how = Drained::How::StatusLost;
      }
      if (exited) exited_at = Clock::now();
    }
    if (!exited && options.control) {
      if (auto stop = options.control->stop_reason()) {
        drained.how = Drained::How::Stopped;
        drained.stop_reason = std::move(*stop);
        break;
      }
    }
  }
  echo.finish();
  return drained;
}

// Step three: what the run's end means.
void classify(Drained& drained, ProcessResult& result) {
  switch (drained.how) {
    case Drained::How::Stopped:
      result.ending = ProcessResult::Ending::Stopped;
      result.stop_reason = std::move(drained.stop_reason);
      return;
    case Drained::How::StatusLost:
      result.ending = ProcessResult::Ending::Unknown;
      return;
    case Drained::How::Exited:
      if (WIFEXITED(drained.wait_status)) {
        result.ending = ProcessResult::Ending::Exited;
        result.code = WEXITSTATUS(drained.wait_status);
      } else {
        result.ending = ProcessResult::Ending::Signalled;
        result.code = WTERMSIG(drained.wait_status);
      }
  }
}

}  // namespace

std::expected<ProcessResult, CompileError> run_process(const std::string& program,
                                                       const ProcessOptions& options) {
  auto tool = spawn(program, options);
  if (!tool) return std::unexpected(std::move(tool.error()));
  ProcessResult result;
  auto drained = drain(program, **tool, options, result.stderr_tail, result.stdout_head);
  // Whatever the tool left running goes with it, however the run ended.
  (*tool)->finish();
  if (!drained) return std::unexpected(std::move(drained.error()));
  keep_tail(result.stderr_tail, options.stderr_keep);
  classify(*drained, result);
  return result;
}

std::expected<ProcessResult, CompileError> run_process(const std::string& program,
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
