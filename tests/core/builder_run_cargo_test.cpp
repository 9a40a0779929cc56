#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "builder/run_cargo.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using schema::OptLevel;
using testing::binary;
using testing::no_std;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::wasm;
using testing::write_file;
using testing::write_script;
namespace fs = std::filesystem;

using Clock = std::chrono::steady_clock;

// Shell commands that leave an empty regular file at `rel`, relative to the project directory
// (where the tools run), as a successful tool leaves its artifact.
std::string creates(const std::string& rel) {
  return "mkdir -p '" + fs::path(rel).parent_path().string() + "' && : > '" + rel + "'";
}

const std::string kBinaryArtifact = "target/release/my_strat";
const std::string kWasmArtifact = "pkg/my_strat_bg.wasm";

class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

// Stand-ins for cargo and wasm-bindgen, first and alone on PATH. Each appends its name,
// arguments and working directory to calls.log, then runs `behaviour`, in which $S is the
// scratch directory (for files a test reads afterwards).
class StandIns {
 public:
  StandIns() {
    fs::create_directories(tmp_ / "bin");
    fs::create_directories(tmp_ / "project");
  }

  void add(const std::string& tool, const std::string& behaviour) {
    write_script(tmp_ / "bin" / tool,
                 "#!/bin/sh\n"
                 "PATH=/usr/bin:/bin\n"
                 "S='" + tmp_.path().string() + "'\n"
                 "{ printf '%s' \"${0##*/}\"; for a in \"$@\"; do printf ' %s' \"$a\"; done;"
                 " printf ' @%s\\n' \"$(pwd -P)\"; } >> " + log().string() + "\n" +
                     behaviour + "\n");
  }
  // Payload files that a behaviour can `cat`.
  fs::path payload(const std::string& name, std::string_view bytes) {
    write_file(tmp_ / name, bytes);
    return tmp_ / name;
  }

  fs::path scratch() const { return tmp_.path(); }
  fs::path bin() const { return tmp_ / "bin"; }
  fs::path project() const { return tmp_ / "project"; }
  fs::path log() const { return tmp_ / "calls.log"; }
  std::string calls() const { return read_file(log()); }
  // `line` with the project directory appended, as the stand-ins log it.
  std::string at_project(const std::string& line) const {
    return line + " @" + fs::canonical(project()).string() + "\n";
  }

  // `text` with <project> and <bin> replaced by those directories.
  std::string expand(std::string text) const {
    for (const auto& [name, dir] : {std::pair{std::string("<project>"), project()},
                                    std::pair{std::string("<bin>"), bin()}}) {
      for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, name.size(), dir.string());
      }
    }
    return text;
  }

  // "ok <artifact>" or the failure's text. PATH is the stand-ins' directory unless `path`
  // (expanded) is given.
  std::string run(const schema::Target& target, OptLevel level, const fs::path& dir,
                  const BuildControl& control = {},
                  const std::optional<std::string>& path = std::nullopt) const {
    ScopedEnv path_env("PATH", path ? expand(*path) : bin().string());
    auto built = run_cargo(dir, target, level, "my_strat", control);
    return built ? "ok " + *built : built.error().display();
  }
  std::string run(const schema::Target& target, OptLevel level = OptLevel::Release) const {
    return run(target, level, project());
  }

 private:
  TempDir tmp_;
};

TEST(BuilderRunCargo, ArgumentsAndArtifactPerTargetAndLevel) {
  const std::string bindgen = "wasm-bindgen target/wasm32-unknown-unknown/";
  struct Case {
    schema::Target target;
    OptLevel level;
    std::vector<std::string> calls;
    std::string artifact;
  };
  const Case cases[] = {
      {binary(), OptLevel::Debug, {"cargo build"}, "target/debug/my_strat"},
      {binary(), OptLevel::Release, {"cargo build --release"}, "target/release/my_strat"},
      {binary(), OptLevel::Size, {"cargo build --release"}, "target/release/my_strat"},
      {wasm(), OptLevel::Debug,
       {"cargo build --target wasm32-unknown-unknown",
        bindgen + "debug/my_strat.wasm --target web --out-dir pkg"},
       "pkg/my_strat_bg.wasm"},
      {wasm(), OptLevel::Release,
       {"cargo build --target wasm32-unknown-unknown --release",
        bindgen + "release/my_strat.wasm --target web --out-dir pkg"},
       "pkg/my_strat_bg.wasm"},
      {wasm(), OptLevel::Size,
       {"cargo build --target wasm32-unknown-unknown --release",
        bindgen + "release/my_strat.wasm --target web --out-dir pkg"},
       "pkg/my_strat_bg.wasm"},
      {no_std("thumbv7em-none-eabihf"), OptLevel::Size,
       {"cargo build --target thumbv7em-none-eabihf --release"},
       "target/thumbv7em-none-eabihf/release/libmy_strat.a"},
      {no_std("thumbv6m-none-eabi"), OptLevel::Release,
       {"cargo build --target thumbv6m-none-eabi --release"},
       "target/thumbv6m-none-eabi/release/libmy_strat.a"},
      {no_std("riscv32imac-unknown-none-elf"), OptLevel::Debug,
       {"cargo build --target riscv32imac-unknown-none-elf"},
       "target/riscv32imac-unknown-none-elf/debug/libmy_strat.a"},
  };
  for (const auto& c : cases) {
    StandIns tools;
    // For wasm the artifact is wasm-bindgen's; cargo's own output is not looked at.
    const bool for_wasm = c.target.kind == schema::TargetKind::Wasm;
    tools.add("cargo", "echo 'warning: unused' >&2; " +
                           (for_wasm ? "" : creates(c.artifact) + "; ") + "exit 0");
    tools.add("wasm-bindgen", (for_wasm ? creates(c.artifact) + "; " : "") + "exit 0");
    std::string expected_calls;
    for (const auto& line : c.calls) expected_calls += tools.at_project(line);
    SCOPED_TRACE(c.calls.front());
    EXPECT_EQ(tools.run(c.target, c.level), "ok " + c.artifact);
    EXPECT_EQ(tools.calls(), expected_calls);
  }
}

TEST(BuilderRunCargo, StdinIsAtEndOfFile) {
  StandIns tools;
  tools.add("cargo",
            "readlink /proc/$$/fd/0 >&2\n"
            "if IFS= read -r line; then echo \"read: $line\" >&2; fi\n"
            "exit 1");
  // Give this process a stdin with data on it, which a child that inherited it would read.
  // This process's own stdin may be closed, in which case the pipe may land on fd 0.
  int saved = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "data\n", 5), 5);
  ::close(fds[1]);
  if (fds[0] != STDIN_FILENO) {
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
  }
  std::string result = tools.run(binary());
  if (saved >= 0) {
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
  } else {
    ::close(STDIN_FILENO);
  }
  EXPECT_EQ(result, "build: /dev/null\n");
}

TEST(BuilderRunCargo, FailureMessageIsStderrTail) {
  const std::string x1998(1998, 'x'), x1999(1999, 'x'), x2000(2000, 'x');
  const std::string r = "\xEF\xBF\xBD";
  std::string r666;
  for (int i = 0; i < 666; ++i) r666 += r;
  struct Case {
    std::string name;
    std::string stderr_bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", "build: "},
      {"short", "error: could not compile\n", "build: error: could not compile\n"},
      {"exactly 2000", "a" + x1999, "build: a" + x1999},
      {"2001 drops the first byte", "ab" + x1999, "build: b" + x1999},
      {"2000 ending in a 2-byte character", x1998 + "\xC3\xA9", "build: " + x1998 + "\xC3\xA9"},
      {"2-byte character cut", "\xC3\xA9" + x1999, "build: " + x1999},
      {"3-byte character cut", "\xE2\x82\xAC" + x1998, "build: " + x1998},
      {"4-byte character cut after 2", "\xF0\x9F\x98\x80" + x1998, "build: " + x1998},
      {"invalid bytes replaced", "bad \xFF byte \xE1\x80 end", "build: bad " + r + " byte " + r + " end"},
      // 700 raw bytes become 2100 bytes of text; the cut falls inside a replacement.
      {"replacements grow past the limit", std::string(700, '\xFF'), "build: " + r666},
      {"long invalid output", std::string(50000, '\xFF'), "build: " + r666},
      {"long output", std::string(100000, 'y') + "z" + x1999, "build: z" + x1999},
  };
  for (const auto& c : cases) {
    StandIns tools;
    fs::path payload = tools.payload("stderr.bin", c.stderr_bytes);
    tools.add("cargo", "echo 'on stdout'; cat " + payload.string() + " >&2; exit 101");
    EXPECT_EQ(tools.run(binary()), c.expected) << c.name;
  }
}

TEST(BuilderRunCargo, ExitStatus) {
  struct Case {
    std::string behaviour;
    std::string expected;
  };
  const std::string killed = "build: cargo was killed by signal ";
  const Case cases[] = {
      {"echo 'warning: unused variable' >&2; echo noise; " + creates(kBinaryArtifact) + "; exit 0",
       "ok target/release/my_strat"},
      {"exit 1", "build: "},
      {"exit 255", "build: "},
      {"printf 'about to die\\n' >&2; kill -KILL $$", killed + "9 (SIGKILL)\nabout to die\n"},
      {"kill -KILL $$", killed + "9 (SIGKILL)"},
      {"printf 'terminated' >&2; kill -TERM $$", killed + "15 (SIGTERM)\nterminated"},
      {"kill -TERM $$", killed + "15 (SIGTERM)"},
      {"echo 'error: x' >&2; kill -SEGV $$", killed + "11 (SIGSEGV)\nerror: x\n"},
      {"kill -SEGV $$", killed + "11 (SIGSEGV)"},
      // A tool killed after leaving its artifact has still failed.
      {creates(kBinaryArtifact) + "; kill -KILL $$", killed + "9 (SIGKILL)"},
  };
  for (const auto& c : cases) {
    StandIns tools;
    tools.add("cargo", c.behaviour);
    EXPECT_EQ(tools.run(binary()), c.expected) << c.behaviour;
  }
}

// Megabytes on both pipes, each written while the other is full: reading one stream to its
// end before the other would stall. The stand-in gives up after a minute instead of hanging.
TEST(BuilderRunCargo, DrainsBothPipesTogether) {
  StandIns tools;
  tools.add("cargo",
            "exec timeout -s KILL 60 sh -c '"
            "head -c 3000000 /dev/zero | tr \"\\\\0\" e >&2; "
            "head -c 3000000 /dev/zero | tr \"\\\\0\" o; "
            "head -c 3000000 /dev/zero | tr \"\\\\0\" e >&2; "
            "printf END >&2; exit 3'");
  EXPECT_EQ(tools.run(binary()), "build: " + std::string(1997, 'e') + "END");
}

TEST(BuilderRunCargo, SpawnFailures) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> tools;  // name, behaviour; "" = not executable
    schema::Target target;
    std::string expected;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"cargo missing", {}, binary(), "build: spawning cargo: No such file or directory (os error 2)", {}},
      {"cargo missing for wasm", {{"wasm-bindgen", "exit 0"}}, wasm(),
       "build: spawning cargo: No such file or directory (os error 2)", {}},
      {"cargo not executable", {{"cargo", ""}}, binary(),
       "build: spawning cargo: Permission denied (os error 13)", {}},
      {"wasm-bindgen missing", {{"cargo", "exit 0"}}, wasm(),
       "build: spawning wasm-bindgen: No such file or directory (os error 2)",
       {"cargo build --target wasm32-unknown-unknown --release"}},
      {"wasm-bindgen fails", {{"cargo", "exit 0"}, {"wasm-bindgen", "echo 'error: bindgen broke' >&2; exit 1"}},
       wasm(), "build: error: bindgen broke\n",
       {"cargo build --target wasm32-unknown-unknown --release",
        "wasm-bindgen target/wasm32-unknown-unknown/release/my_strat.wasm --target web --out-dir pkg"}},
      {"cargo fails, wasm-bindgen not run",
       {{"cargo", "echo 'error: no target' >&2; exit 101"}, {"wasm-bindgen", "exit 0"}}, wasm(),
       "build: error: no target\n", {"cargo build --target wasm32-unknown-unknown --release"}},
      {"wasm-bindgen only for wasm",
       {{"cargo", creates("target/thumbv6m-none-eabi/release/libmy_strat.a") + "; exit 0"}},
       no_std("thumbv6m-none-eabi"),
       "ok target/thumbv6m-none-eabi/release/libmy_strat.a",
       {"cargo build --target thumbv6m-none-eabi --release"}},
  };
  for (const auto& c : cases) {
    StandIns tools;
    for (const auto& [tool, behaviour] : c.tools) {
      if (behaviour.empty()) {
        write_file(tools.project().parent_path() / "bin" / tool, "#!/bin/sh\nexit 0\n");
      } else {
        tools.add(tool, behaviour);
      }
    }
    std::string expected_calls;
    for (const auto& line : c.calls) expected_calls += tools.at_project(line);
    EXPECT_EQ(tools.run(c.target), c.expected) << c.name;
    EXPECT_EQ(tools.calls(), expected_calls) << c.name;
  }
}

TEST(BuilderRunCargo, WorkingDirectory) {
  StandIns tools;
  tools.add("cargo", creates("target/debug/my_strat") + "; exit 0");
  // A directory that is missing fails like any other start-up failure.
  EXPECT_EQ(tools.run(binary(), OptLevel::Release, tools.project() / "missing"),
            "build: spawning cargo: No such file or directory (os error 2)");
  EXPECT_EQ(tools.calls(), "");
  // A relative directory is taken from this process's working directory.
  std::string result;
  {
    ScopedCwd cwd(tools.project().parent_path());
    result = tools.run(binary(), OptLevel::Debug, "project");
  }
  EXPECT_EQ(result, "ok target/debug/my_strat");
  EXPECT_EQ(tools.calls(), tools.at_project("cargo build"));
  // The folder the writer holds, even when its path names another one by the time cargo starts.
  int held = ::open(tools.project().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const fs::path moved = tools.scratch() / "moved";
  fs::rename(tools.project(), moved);
  fs::create_directories(tools.scratch() / "planted");
  fs::create_directory_symlink(tools.scratch() / "planted", tools.project());
  ScopedEnv path_env("PATH", tools.bin().string());
  auto built = run_cargo(tools.project(), binary(), OptLevel::Debug, "my_strat", {}, std::nullopt, -1,
                         CargoRun{held, std::nullopt});
  ::close(held);
  EXPECT_EQ(built ? "ok " + *built : built.error().display(), "ok target/debug/my_strat");
  EXPECT_TRUE(fs::is_regular_file(moved / "target/debug/my_strat"));
  EXPECT_FALSE(fs::exists(tools.scratch() / "planted/target"));
}

TEST(BuilderRunCargo, ArtifactMustBeARegularFile) {
  const std::string no_std_lib = "target/thumbv6m-none-eabi/release/libmy_strat.a";
  struct Case {
    std::string name;
    schema::Target target;
    std::string cargo, bindgen;
    std::string expected;  // expanded
  };
  const Case cases[] = {
      {"binary missing", binary(), "exit 0", "",
       "build: cargo reported success, but the artifact <project>/target/release/my_strat is "
       "missing"},
      {"binary is a directory", binary(), "mkdir -p " + kBinaryArtifact, "",
       "build: cargo reported success, but the artifact <project>/target/release/my_strat is not a "
       "regular file"},
      {"binary is a symbolic link", binary(),
       "mkdir -p target/release && : > real && ln -s ../../real " + kBinaryArtifact, "",
       "build: cargo reported success, but the artifact <project>/target/release/my_strat is not a "
       "regular file"},
      {"binary written where CARGO_TARGET_DIR says", binary(),
       "mkdir -p \"$CARGO_TARGET_DIR/release\" && : > \"$CARGO_TARGET_DIR/release/my_strat\"", "",
       "ok target/release/my_strat"},
      {"no_std missing", no_std("thumbv6m-none-eabi"), "exit 0", "",
       "build: cargo reported success, but the artifact <project>/" + no_std_lib + " is missing"},
      {"wasm missing", wasm(), "exit 0", "exit 0",
       "build: wasm-bindgen reported success, but the artifact <project>/pkg/my_strat_bg.wasm is "
       "missing"},
      {"wasm looked for after wasm-bindgen", wasm(), creates(kWasmArtifact),
       "rm " + kWasmArtifact,
       "build: wasm-bindgen reported success, but the artifact <project>/pkg/my_strat_bg.wasm is "
       "missing"},
      {"wasm is a directory", wasm(), "exit 0", "mkdir -p " + kWasmArtifact,
       "build: wasm-bindgen reported success, but the artifact <project>/pkg/my_strat_bg.wasm is "
       "not a regular file"},
      {"wasm-bindgen killed", wasm(), "exit 0", creates(kWasmArtifact) + "; kill -ABRT $$",
       "build: wasm-bindgen was killed by signal 6 (SIGABRT)"},
  };
  for (const auto& c : cases) {
    StandIns tools;
    tools.add("cargo", c.cargo);
    if (!c.bindgen.empty()) tools.add("wasm-bindgen", c.bindgen);
    EXPECT_EQ(tools.run(c.target), tools.expand(c.expected)) << c.name;
  }
}

// Ignores some signals and blocks others on this thread (and the threads it starts) for one
// scope, as a host process may, and puts everything back.
class ScopedSignals {
 public:
  ScopedSignals(std::vector<int> ignored, const std::vector<int>& blocked)
      : ignored_(std::move(ignored)) {
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    old_actions_.resize(ignored_.size());
    for (std::size_t i = 0; i < ignored_.size(); ++i) {
      ::sigaction(ignored_[i], &ign, &old_actions_[i]);
    }
    sigset_t block;
    sigemptyset(&block);
    for (int sig : blocked) sigaddset(&block, sig);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
  }
  ScopedSignals(const ScopedSignals&) = delete;
  ScopedSignals& operator=(const ScopedSignals&) = delete;
  ~ScopedSignals() {
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    for (std::size_t i = 0; i < ignored_.size(); ++i) {
      ::sigaction(ignored_[i], &old_actions_[i], nullptr);
    }
  }

 private:
  std::vector<int> ignored_;
  std::vector<struct sigaction> old_actions_;
  sigset_t old_mask_;
};

// The process id a stand-in wrote into `file`, or 0.
pid_t recorded_pid(const fs::path& file) {
  try {
    return pid_t(std::stoi(read_file(file)));
  } catch (const std::exception&) {
    return 0;
  }
}

// Whether `pid` has ended: gone, or a zombie waiting for a reaper (on some hosts init never
// reaps orphans).
bool has_ended(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

// A scenario run with the call on a thread of its own: a call still running after 20 s fails
// the test, and the processes the stand-ins recorded are killed so that it returns.
struct Scenario {
  std::string name;
  schema::Target target;
  std::string cargo, bindgen;  // behaviours; no wasm-bindgen when empty
  std::optional<double> timeout_s;
  std::optional<int> cancel_after_ms;
  std::string expected;                   // expanded
  std::vector<std::string> ended = {};    // pid files in $S whose processes must be gone after
  std::vector<std::string> escaped = {};  // pid files of processes that left the group
};

void check(const Scenario& s) {
  SCOPED_TRACE(s.name);
  StandIns tools;
  tools.add("cargo", s.cargo);
  if (!s.bindgen.empty()) tools.add("wasm-bindgen", s.bindgen);
  std::function<bool()> cancelled;
  if (s.cancel_after_ms) {
    cancelled = [start = Clock::now(), ms = *s.cancel_after_ms] {
      return Clock::now() - start >= std::chrono::milliseconds(ms);
    };
  }
  auto call = std::async(std::launch::async, [&] {
    return tools.run(s.target, OptLevel::Release, tools.project(),
                     BuildControl(s.timeout_s, std::move(cancelled)));
  });
  if (call.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "still running after 20 s";
    for (const auto& file : s.ended) {
      if (pid_t pid = recorded_pid(tools.scratch() / file)) ::kill(pid, SIGKILL);
    }
  }
  EXPECT_EQ(call.get(), tools.expand(s.expected));
  for (const auto& file : s.ended) {
    pid_t pid = recorded_pid(tools.scratch() / file);
    if (pid == 0) {
      ADD_FAILURE() << "no pid in " << file;
      continue;
    }
    // SIGKILL has been sent; give the kernel a moment to finish the process off.
    auto give_up = Clock::now() + std::chrono::seconds(5);
    while (!has_ended(pid) && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!has_ended(pid)) {
      ADD_FAILURE() << file << ": " << pid << " is still running";
      ::kill(pid, SIGKILL);
    }
  }
  for (const auto& file : s.escaped) {
    if (pid_t pid = recorded_pid(tools.scratch() / file)) ::kill(pid, SIGKILL);
  }
}

// Runs in the background a `sleep 600` whose pid goes to $S/<name>.pid, the tool's own to
// $S/<tool>.pid, and waits for it.
std::string hangs(const std::string& tool, const std::string& name = "child") {
  return "echo $$ > \"$S/" + tool + ".pid\"; sleep 600 & echo $! > \"$S/" + name + ".pid\"; wait";
}

TEST(BuilderRunCargo, TimeLimitAndCancelStopTheWholeGroup) {
  const std::vector<std::string> cargo_group = {"cargo.pid", "child.pid"};
  const Scenario cases[] = {
      {"hangs past the limit", binary(), hangs("cargo"), "", 0.5, {},
       "build: timed out after 0.5 s", cargo_group},
      {"hangs with its output closed", binary(), "exec >/dev/null 2>&1; " + hangs("cargo"), "",
       0.5, {}, "build: timed out after 0.5 s", cargo_group},
      {"ignores the polite signals", binary(), "trap '' TERM INT HUP QUIT; " + hangs("cargo"), "",
       0.5, {}, "build: timed out after 0.5 s", cargo_group},
      {"cancelled", binary(), hangs("cargo"), "", {}, 300, "build: cancelled", cargo_group},
      {"cancelled before a long limit", binary(), hangs("cargo"), "", 30.0, 300, "build: cancelled",
       cargo_group},
      {"limit over cargo and wasm-bindgen", wasm(), "sleep 0.4", hangs("wasm-bindgen"), 1.0, {},
       "build: timed out after 1 s", {"wasm-bindgen.pid", "child.pid"}},
      {"limit for the build, not each tool", wasm(), "sleep 0.6",
       "sleep 0.6; " + creates(kWasmArtifact), 1.0, {}, "build: timed out after 1 s"},
      {"limit not reached, never cancelled", wasm(), "sleep 0.2",
       "sleep 0.2; " + creates(kWasmArtifact), 10.0, 60000, "ok pkg/my_strat_bg.wasm"},
  };
  for (const auto& c : cases) check(c);
}

// Processes the tool leaves behind with the output pipes open: once the tool has exited they
// hold the build up only for a moment, and those in its group are killed.
TEST(BuilderRunCargo, StragglersDoNotHoldTheBuild) {
  const std::string straggler = "(sleep 30 & echo $! > \"$S/straggler.pid\"); ";
  const Scenario cases[] = {
      {"in the group", binary(), straggler + creates(kBinaryArtifact) + "; exit 0", "", {}, {},
       "ok target/release/my_strat", {"straggler.pid"}},
      {"in the group, tool failed", binary(), straggler + "echo 'error: x' >&2; exit 1", "", {}, {},
       "build: error: x\n", {"straggler.pid"}},
      {"in the group, writing on", binary(),
       "(while :; do echo out; echo err >&2; sleep 0.01; done & echo $! > \"$S/straggler.pid\"); " +
           creates(kBinaryArtifact) + "; exit 0",
       "", {}, {}, "ok target/release/my_strat", {"straggler.pid"}},
      {"left by wasm-bindgen", wasm(), "exit 0", straggler + creates(kWasmArtifact) + "; exit 0",
       {}, {}, "ok pkg/my_strat_bg.wasm", {"straggler.pid"}},
      {"daemonised", binary(),
       "setsid sleep 30 & echo $! > \"$S/daemon.pid\"; " + creates(kBinaryArtifact) + "; exit 0",
       "", {}, {}, "ok target/release/my_strat", {"daemon.pid"}},
      {"daemonised twice, its parent gone", binary(),
       "(setsid sh -c \"sleep 30 & echo \\$! > '$S/orphan.pid'\" &); sleep 0.2; " +
           creates(kBinaryArtifact) + "; exit 0",
       "", {}, {}, "ok target/release/my_strat", {"orphan.pid"}},
  };
  for (const auto& c : cases) check(c);
}

// The host killed outright: the supervisor sees its end of the control pipe close and kills
// everything the build started, those in sessions of their own too.
TEST(BuilderRunCargo, NothingOutlivesAKilledHost) {
  StandIns tools;
  tools.add("cargo", "setsid sleep 600 & echo $! > \"$S/daemon.pid\"; " + hangs("cargo"));
  const std::vector<std::string> started = {"cargo.pid", "child.pid", "daemon.pid"};
  pid_t host = ::fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    tools.run(binary());
    ::_exit(0);
  }
  auto give_up = Clock::now() + std::chrono::seconds(20);
  auto all_started = [&] {
    return std::all_of(started.begin(), started.end(),
                       [&](const std::string& f) { return recorded_pid(tools.scratch() / f) != 0; });
  };
  while (!all_started() && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(host, SIGKILL);
  int status;
  ::waitpid(host, &status, 0);
  for (const std::string& file : started) {
    const pid_t pid = recorded_pid(tools.scratch() / file);
    ASSERT_NE(pid, 0) << file;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!has_ended(pid) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(has_ended(pid)) << file << " outlived the host";
    ::kill(pid, SIGKILL);
  }
}

// With SIGCHLD ignored the kernel would reap the tools; the supervisor between them and the
// host still passes on how they ended, so a failed tool is a failed build even when an
// artifact of an earlier build is there.
TEST(BuilderRunCargo, HostIgnoringSigchld) {
  const std::string wasm_input = "target/wasm32-unknown-unknown/release/my_strat.wasm";
  const std::string old_artifact = "mkdir -p target/release && echo old > " + kBinaryArtifact + "; ";
  const Scenario cases[] = {
      {"artifact made", binary(), creates(kBinaryArtifact) + "; exit 0", "", {}, {},
       "ok target/release/my_strat"},
      {"artifact made, then killed", binary(), creates(kBinaryArtifact) + "; kill -KILL $$", "", {},
       {}, "build: cargo was killed by signal 9 (SIGKILL)"},
      {"failed with output", binary(), "echo 'error: x' >&2; exit 1", "", {}, {}, "build: error: x\n"},
      {"failed silently", binary(), "exit 1", "", {}, {}, "build: "},
      {"failed after an old artifact", binary(), old_artifact + "echo 'error: z' >&2; exit 101", "",
       {}, {}, "build: error: z\n"},
      {"directory", binary(), "mkdir -p " + kBinaryArtifact, "", {}, {},
       "build: cargo reported success, but the artifact <project>/target/release/my_strat is not "
       "a regular file"},
      {"wasm", wasm(), creates(wasm_input) + "; exit 0", creates(kWasmArtifact), {}, {},
       "ok pkg/my_strat_bg.wasm"},
      {"wasm, cargo failed", wasm(), "echo 'error: x' >&2; exit 101",
       "echo 'error: no input' >&2; exit 1", {}, {}, "build: error: x\n"},
      {"wasm-bindgen failed", wasm(), creates(wasm_input), "echo 'error: y' >&2; exit 1", {}, {},
       "build: error: y\n"},
      {"time limit", binary(), hangs("cargo"), "", 0.5, {}, "build: timed out after 0.5 s",
       {"cargo.pid", "child.pid"}},
  };
  ScopedSignals host({SIGCHLD}, {});
  for (const auto& c : cases) check(c);
}

TEST(BuilderRunCargo, CargoTargetDirIsTheProjectsOwn) {
  struct Case {
    std::optional<std::string> host_value;
    bool relative_dir;
  };
  const Case cases[] = {
      {std::nullopt, false},
      {"/elsewhere/target", false},
      {"", false},
      {"shared-target", true},
      {std::nullopt, true},
  };
  for (const auto& c : cases) {
    StandIns tools;
    tools.add("cargo", "printf '%s\\n' \"$CARGO_TARGET_DIR\" >> \"$S/seen\"; exit 0");
    tools.add("wasm-bindgen",
              "printf '%s\\n' \"$CARGO_TARGET_DIR\" >> \"$S/seen\"; " + creates(kWasmArtifact));
    ScopedEnv host("CARGO_TARGET_DIR", c.host_value);
    ScopedCwd cwd(tools.scratch());
    // A relative project directory is made absolute from the working directory, which is
    // where the host's symbolic links have been resolved.
    // The tools start in the project folder, so "target" is the project's own.
    SCOPED_TRACE(c.host_value.value_or("(unset)") + (c.relative_dir ? ", relative" : ""));
    EXPECT_EQ(tools.run(wasm(), OptLevel::Release, c.relative_dir ? "project" : tools.project()),
              "ok pkg/my_strat_bg.wasm");
    EXPECT_EQ(read_file(tools.scratch() / "seen"), "target\ntarget\n");
  }
}

// Empty and relative PATH entries would name whatever the working directory holds; the host's
// and the tool's working directory (the project) holds a cargo there that must never run.
TEST(BuilderRunCargo, PathSkipsEmptyAndRelativeEntries) {
  const std::string missing = "build: spawning cargo: No such file or directory (os error 2)";
  struct Case {
    std::string path;  // expanded
    std::string expected;
  };
  const Case cases[] = {
      {":bin-rel:<bin>", "ok target/release/my_strat"},
      {"bin-rel:.:<bin>:", "ok target/release/my_strat"},
      {"<project>/not-executable:<bin>", "ok target/release/my_strat"},
      {":", missing},
      {"", missing},
      {"bin-rel", missing},
      {".::bin-rel", missing},
  };
  for (const auto& c : cases) {
    StandIns tools;
    tools.add("cargo", creates(kBinaryArtifact) + "; exit 0");
    const std::string planted = "#!/bin/sh\necho ran >> '" +
                                (tools.scratch() / "planted").string() + "'\n" +
                                creates(kBinaryArtifact) + "\n";
    write_script(tools.project() / "cargo", planted);
    write_script(tools.project() / "bin-rel" / "cargo", planted);
    write_file(tools.project() / "not-executable" / "cargo", planted);
    ScopedCwd cwd(tools.project());
    EXPECT_EQ(tools.run(binary(), OptLevel::Release, tools.project(), {}, c.path), c.expected)
        << c.path;
    EXPECT_FALSE(fs::exists(tools.scratch() / "planted")) << c.path;
    EXPECT_EQ(tools.calls(), c.expected == missing ? "" : tools.at_project("cargo build --release"))
        << c.path;
  }
}

// Each tool starts with default signal handling, nothing blocked, in a process group of its
// own and with /dev/null on stdin, whatever the host had. The shell reads its own status with
// builtins only: while it waits for a command it blocks every signal itself.
TEST(BuilderRunCargo, ToolsStartClean) {
  struct Case {
    std::string name;
    std::vector<int> ignored, blocked;
  };
  const Case cases[] = {
      {"defaults", {}, {}},
      {"ignores SIGPIPE and SIGINT, blocks SIGTERM", {SIGPIPE, SIGINT}, {SIGTERM}},
      {"ignores SIGCHLD and SIGHUP, blocks SIGINT and SIGUSR1", {SIGCHLD, SIGHUP},
       {SIGINT, SIGUSR1}},
  };
  const std::string report =
      "{ while read -r line; do case $line in SigBlk*|SigIgn*) echo \"$line\";; esac; done"
      " < /proc/$$/status; set -- $(cat /proc/$$/stat);"
      " [ \"$5\" = $$ ] && echo 'own group'; readlink /proc/$$/fd/0; } >> \"$S/seen\"; ";
  const std::string clean =
      "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nown group\n/dev/null\n";
  for (const auto& c : cases) {
    StandIns tools;
    // With SIGCHLD ignored, cargo's output is what says it succeeded.
    tools.add("cargo", report + creates("target/wasm32-unknown-unknown/release/my_strat.wasm"));
    tools.add("wasm-bindgen", report + creates(kWasmArtifact));
    std::string result;
    {
      ScopedSignals host(c.ignored, c.blocked);
      result = tools.run(wasm());
    }
    EXPECT_EQ(result, "ok pkg/my_strat_bg.wasm") << c.name;
    EXPECT_EQ(read_file(tools.scratch() / "seen"), clean + clean) << c.name;
  }
}

// A shared cache: cargo builds in the cache's target/ (the stand-in writes its output where
// CARGO_TARGET_DIR says, and notes what it saw), the artifact is copied into the project, and
// builds sharing the cache take turns.
TEST(BuilderRunCargo, SharedCacheFolder) {
  // The stand-ins write "<tool> <CARGO_TARGET_DIR>" to seen.log, and cargo its output there.
  const std::string cargo_out =
      "echo \"cargo $CARGO_TARGET_DIR\" >> \"$S/seen.log\"\n"
      "out=\"$CARGO_TARGET_DIR/${OUT_REL}\"; mkdir -p \"${out%/*}\" && printf built > \"$out\"";
  struct Case {
    schema::Target target;
    OptLevel level;
    std::string cargo_rel;  // cargo's output below its target folder
    std::string expected;
  };
  const Case cases[] = {
      {binary(), OptLevel::Debug, "debug/my_strat", "ok target/debug/my_strat"},
      {no_std("thumbv6m-none-eabi"), OptLevel::Size, "thumbv6m-none-eabi/release/libmy_strat.a",
       "ok target/thumbv6m-none-eabi/release/libmy_strat.a"},
      {wasm(), OptLevel::Release, "wasm32-unknown-unknown/release/my_strat.wasm", "ok pkg/my_strat_bg.wasm"},
  };
  for (const auto& c : cases) {
    StandIns tools;
    ScopedEnv out_rel("OUT_REL", c.cargo_rel);
    tools.add("cargo", cargo_out);
    // wasm-bindgen reads cargo's output from the project, as without a cache.
    tools.add("wasm-bindgen", "echo \"wasm-bindgen $CARGO_TARGET_DIR\" >> \"$S/seen.log\"\n"
                              "cat \"$1\" > /dev/null && " + creates(kWasmArtifact));
    const fs::path cache = tools.scratch() / "cache";
    ScopedEnv path_env("PATH", tools.bin().string());
    auto built = run_cargo(tools.project(), c.target, c.level, "my_strat", {}, cache);
    EXPECT_EQ(built ? "ok " + *built : built.error().display(), c.expected) << c.cargo_rel;
    const std::string target_dir = fs::absolute(cache / "target").string();
    std::string seen = "cargo " + target_dir + "\n";
    if (c.target.kind == schema::TargetKind::Wasm) seen += "wasm-bindgen " + target_dir + "\n";
    EXPECT_EQ(read_file(tools.scratch() / "seen.log"), seen);
    EXPECT_EQ(read_file(tools.project() / "target" / c.cargo_rel), "built") << c.cargo_rel;
    EXPECT_EQ(read_file(cache / "target" / c.cargo_rel), "built") << c.cargo_rel;
  }

  // Success without output in the cache names the cache's file; a cache folder that cannot be
  // made is an io failure.
  StandIns tools;
  tools.add("cargo", "exit 0");
  write_file(tools.scratch() / "blocker", "a file where the cache folder goes");
  ScopedEnv path_env("PATH", tools.bin().string());
  auto missing = run_cargo(tools.project(), binary(), OptLevel::Release, "my_strat", {},
                           tools.scratch() / "cache");
  EXPECT_EQ(missing ? *missing : missing.error().display(),
            "build: cargo reported success, but the artifact " +
                (tools.scratch() / "cache/target/release/my_strat").string() + " is missing");
  auto blocked = run_cargo(tools.project(), binary(), OptLevel::Release, "my_strat", {},
                           tools.scratch() / "blocker");
  EXPECT_EQ(blocked ? *blocked : blocked.error().display(),
            "io: creating " + (tools.scratch() / "blocker").string() + ": Not a directory (os error 20)");
}

// A cache folder that others may change would decide what every build sharing it runs: it is
// refused as a project folder would be. The cache folder itself may be a symbolic link (the
// caller chose it), its target/ may not.
TEST(BuilderRunCargo, UntrustedCacheFolderIsRefused) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> arrange;
    std::string expected;  // <cache> stands for the cache folder
    mode_t umask = 022;
  };
  const Case cases[] = {
      {"writable by the group", [](const fs::path& c) { fs::permissions(c, fs::perms(0775)); },
       "io: refusing to write into <cache>: users other than its owner may write to it (mode 0775)"},
      {"target writable by all",
       [](const fs::path& c) { fs::create_directories(c / "target"); fs::permissions(c / "target", fs::perms(0777)); },
       "io: refusing to write into <cache>/target: users other than its owner may write to it (mode 0777)"},
      {"owned by another user", [](const fs::path& c) { ASSERT_EQ(::chown(c.c_str(), 1000, 1000), 0); },
       "io: refusing to write into <cache>: it is owned by user 1000, not by this user (0) or root"},
      {"target a symbolic link",
       [](const fs::path& c) { fs::create_directories(c.parent_path() / "elsewhere");
                               fs::create_directory_symlink(c.parent_path() / "elsewhere", c / "target"); },
       "io: refusing to write through <cache>/target: it is a symbolic link"},
      {"the folder a symbolic link to a good one",
       [](const fs::path& c) { fs::remove(c); fs::create_directories(c.parent_path() / "real");
                               fs::create_directory_symlink(c.parent_path() / "real", c); },
       "ok target/release/my_strat"},
      {"sticky and writable by all, as /tmp", [](const fs::path& c) { fs::permissions(c, fs::perms(01777)); },
       "ok target/release/my_strat"},
      {"made under umask 002", [](const fs::path& c) { fs::remove(c); }, "ok target/release/my_strat", 002},
      // What is at the copy's temporary name is replaced, never written through.
      {"a hard link at the copy's place",
       [](const fs::path& c) {
         testing::write_file(c.parent_path() / "victim", "outside");
         fs::create_directories(c.parent_path() / "project/target/release");
         fs::create_hard_link(c.parent_path() / "victim", c.parent_path() / "project/target/release/.my_strat.orvane-tmp");
       },
       "ok target/release/my_strat"},
      {"a symbolic link at the copy's place",
       [](const fs::path& c) {
         testing::write_file(c.parent_path() / "victim", "outside");
         fs::create_directories(c.parent_path() / "project/target/release");
         fs::create_symlink(c.parent_path() / "victim", c.parent_path() / "project/target/release/.my_strat.orvane-tmp");
       },
       "ok target/release/my_strat"},
      {"a folder at the copy's place",
       [](const fs::path& c) { fs::create_directories(c.parent_path() / "project/target/release/.my_strat.orvane-tmp/x"); },
       "io: removing <scratch>/project/target/release/.my_strat.orvane-tmp: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    if (c.name == "owned by another user" && ::geteuid() != 0) continue;  // chown needs root
    StandIns tools;
    tools.add("cargo", "out=\"$CARGO_TARGET_DIR/release/my_strat\"; mkdir -p \"${out%/*}\" && : > \"$out\"");
    const fs::path cache = tools.scratch() / "cache";
    fs::create_directories(cache);
    fs::permissions(cache, fs::perms(0755));
    c.arrange(cache);
    ScopedEnv path_env("PATH", tools.bin().string());
    const mode_t old_umask = ::umask(c.umask);
    auto built = run_cargo(tools.project(), binary(), OptLevel::Release, "my_strat", {}, cache);
    ::umask(old_umask);
    std::string expected = c.expected;
    for (std::size_t at; (at = expected.find("<cache>")) != std::string::npos;) {
      expected.replace(at, 7, cache.string());
    }
    for (std::size_t at; (at = expected.find("<scratch>")) != std::string::npos;) {
      expected.replace(at, 9, tools.scratch().string());
    }
    EXPECT_EQ(built ? "ok " + *built : built.error().display(), expected) << c.name;
    if (fs::exists(tools.scratch() / "victim")) {
      EXPECT_EQ(testing::read_file(tools.scratch() / "victim"), "outside") << c.name;
    }
  }
}

// Builds of one crate name from several projects at once on one cache: they run side by side
// up to one per core, each in a target folder of the cache's own, and wait for a free one
// beyond that. Each project gets the output of its own cargo run, never another's.
TEST(BuilderRunCargo, BuildsSharingACacheNeverSwapArtifacts) {
  StandIns tools;
  tools.add("cargo",
            "out=\"$CARGO_TARGET_DIR/release/my_strat\"; mkdir -p \"${out%/*}\"\n"
            "printf '%s' \"$(pwd -P)\" > \"$out\"; sleep 0.3\n"
            "echo \"$(pwd -P)\" >> \"$S/order.log\"");
  const fs::path cache = tools.scratch() / "cache";
  const unsigned builds = std::max(1u, std::thread::hardware_concurrency()) + 1;
  std::vector<fs::path> projects;
  for (unsigned i = 0; i < builds; ++i) {
    projects.push_back(tools.scratch() / ("p" + std::to_string(i)));
    fs::create_directories(projects.back());
  }
  ScopedEnv path_env("PATH", tools.bin().string());
  auto build = [&](const fs::path& dir) {
    auto built = run_cargo(dir, binary(), OptLevel::Release, "my_strat", {}, cache);
    return built ? *built : built.error().display();
  };
  std::vector<std::future<std::string>> running;
  for (const fs::path& dir : projects) running.push_back(std::async(std::launch::async, build, dir));
  for (auto& r : running) EXPECT_EQ(r.get(), "target/release/my_strat");
  for (const fs::path& dir : projects) {
    EXPECT_EQ(read_file(dir / "target/release/my_strat"), fs::canonical(dir).string());
  }
  std::size_t folders = 0;
  for (const auto& e : fs::directory_iterator(cache)) folders += e.path().filename().string().starts_with("target");
  EXPECT_EQ(folders, builds - 1);
  const std::string order = read_file(tools.scratch() / "order.log");
  EXPECT_EQ(std::size_t(std::count(order.begin(), order.end(), '\n')), builds);
}

// The tools' output, echoed as it comes: whole lines after the crate name, from both streams,
// a last line without its end completed, and the answer unchanged.
TEST(BuilderRunCargo, EchoesToolOutputLineByLine) {
  struct Case {
    std::string cargo;
    schema::Target target;
    std::string expected_echo;
    std::string expected;
  };
  const Case cases[] = {
      {"echo '   Compiling my_strat' >&2; echo 'warning: unused' >&2; " + creates(kBinaryArtifact), binary(),
       "my_strat:    Compiling my_strat\nmy_strat: warning: unused\n", "ok " + kBinaryArtifact},
      {"printf 'out 1\\nout' ; sleep 0.1; printf ' 2\\n'; printf 'no end' >&2; exit 101", binary(),
       "my_strat: out 1\nmy_strat: out 2\nmy_strat: no end\n", "build: no end"},
      {"exit 0", wasm(), "my_strat: bound\n", "ok " + kWasmArtifact},
      {"", binary(), "", "build: "},
      // A line without end goes out in pieces of 64 KiB, each a line of its own.
      {"head -c 70000 /dev/zero | tr '\\0' x; echo y; " + creates(kBinaryArtifact), binary(),
       "my_strat: " + std::string(65536, 'x') + "\nmy_strat: " + std::string(70000 - 65536, 'x') + "y\n",
       "ok " + kBinaryArtifact},
  };
  for (const auto& c : cases) {
    StandIns tools;
    tools.add("cargo", c.cargo.empty() ? "exit 3" : c.cargo);
    tools.add("wasm-bindgen", "echo bound; " + creates(kWasmArtifact));
    const fs::path echo_file = tools.scratch() / "echo.txt";
    int fd = ::open(echo_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ScopedEnv path_env("PATH", tools.bin().string());
    auto built = run_cargo(tools.project(), c.target, OptLevel::Release, "my_strat", {}, std::nullopt, fd);
    ::close(fd);
    EXPECT_EQ(built ? "ok " + *built : built.error().display(), c.expected) << c.cargo;
    EXPECT_EQ(read_file(echo_file), c.expected_echo) << c.cargo;
  }
}

// What cargo is given on top of the user's own flags and workspace wrapper, which all still
// apply: the remaps go where cargo takes the flags from, and the user's wrapper is chained.
TEST(BuilderPathRemaps, AddedToTheUsersFlagsWhereCargoTakesThem) {
  using Vars = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::string name;
    Vars host;
    bool config_sets_wrapper;
    Vars expected;
  };
  const std::string home = "--remap-path-prefix=/h/.cargo=/cargo";
  const std::string target = "--remap-path-prefix=/t my/target=./target";
  const Vars ours = {{"RUSTC_WORKSPACE_WRAPPER", "w"}, {"ORVANE_USER_WORKSPACE_WRAPPER", ""}};
  auto with = [](Vars a, const Vars& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"none: the configuration's build.rustflags get them, without the path holding a space", {}, false,
       with({{"CARGO_BUILD_RUSTFLAGS", home}}, ours)},
      {"CARGO_BUILD_RUSTFLAGS set", {{"CARGO_BUILD_RUSTFLAGS", "--cfg x  -Cdebuginfo=1"}}, false,
       with({{"CARGO_BUILD_RUSTFLAGS", "--cfg x  -Cdebuginfo=1 " + home}}, ours)},
      {"RUSTFLAGS set: split as cargo splits it", {{"RUSTFLAGS", " --cfg\tx  -Cdebuginfo=1\n "}}, false,
       with({{"CARGO_ENCODED_RUSTFLAGS", "--cfg\tx\x1f-Cdebuginfo=1\x1f" + home + "\x1f" + target}}, ours)},
      {"RUSTFLAGS empty", {{"RUSTFLAGS", ""}}, false,
       with({{"CARGO_ENCODED_RUSTFLAGS", home + "\x1f" + target}}, ours)},
      {"CARGO_ENCODED_RUSTFLAGS set, over RUSTFLAGS",
       {{"CARGO_ENCODED_RUSTFLAGS", "--cfg\x1f" "a b"}, {"RUSTFLAGS", "--cfg y"}}, false,
       with({{"CARGO_ENCODED_RUSTFLAGS", "--cfg\x1f" "a b\x1f" + home + "\x1f" + target}}, ours)},
      {"the user's workspace wrapper is chained", {{"RUSTC_WORKSPACE_WRAPPER", "/u/wrap"}}, true,
       {{"CARGO_BUILD_RUSTFLAGS", home}, {"RUSTC_WORKSPACE_WRAPPER", "w"}, {"ORVANE_USER_WORKSPACE_WRAPPER", "/u/wrap"}}},
      {"one set in the environment's configuration too",
       {{"CARGO_BUILD_RUSTC_WORKSPACE_WRAPPER", "clippy-driver"}}, false,
       {{"CARGO_BUILD_RUSTFLAGS", home}, {"RUSTC_WORKSPACE_WRAPPER", "w"}, {"ORVANE_USER_WORKSPACE_WRAPPER", "clippy-driver"}}},
      {"one set in a configuration file stays", {}, true, {{"CARGO_BUILD_RUSTFLAGS", home}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto host = [&](const char* name) -> std::optional<std::string> {
      for (const auto& [key, value] : c.host) {
        if (key == name) return value;
      }
      return std::nullopt;
    };
    EXPECT_EQ(path_remap_environment(host, {{"/h/.cargo", "/cargo"}, {"/t my/target", "./target"}}, "w",
                                     c.config_sets_wrapper),
              c.expected);
  }
}

}  // namespace
}  // namespace orvane::builder
