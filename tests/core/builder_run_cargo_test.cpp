#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "builder/run_cargo.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using spec::OptLevel;
using testing::binary;
using testing::no_std;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::wasm;
using testing::write_file;
using testing::write_script;
namespace fs = std::filesystem;

// Stand-ins for cargo and wasm-bindgen, first and alone on PATH. Each appends its name,
// arguments and working directory to calls.log, then runs `behaviour`.
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
                 "{ printf '%s' \"${0##*/}\"; for a in \"$@\"; do printf ' %s' \"$a\"; done;"
                 " printf ' @%s\\n' \"$(pwd -P)\"; } >> " + log().string() + "\n" +
                     behaviour + "\n");
  }
  // Payload files that a behaviour can `cat`.
  fs::path payload(const std::string& name, std::string_view bytes) {
    write_file(tmp_ / name, bytes);
    return tmp_ / name;
  }

  fs::path project() const { return tmp_ / "project"; }
  fs::path log() const { return tmp_ / "calls.log"; }
  std::string calls() const { return read_file(log()); }
  // `line` with the project directory appended, as the stand-ins log it.
  std::string at_project(const std::string& line) const {
    return line + " @" + fs::canonical(project()).string() + "\n";
  }

  std::string run(const spec::Target& target, OptLevel level, const fs::path& dir) const {
    ScopedEnv path("PATH", (tmp_ / "bin").string());
    auto built = run_cargo(dir, target, level, "my_strat");
    return built ? "ok " + *built : built.error().display();
  }
  std::string run(const spec::Target& target, OptLevel level = OptLevel::Release) const {
    return run(target, level, project());
  }

 private:
  TempDir tmp_;
};

TEST(BuilderRunCargo, ArgumentsAndArtifactPerTargetAndLevel) {
  const std::string bindgen = "wasm-bindgen target/wasm32-unknown-unknown/";
  struct Case {
    spec::Target target;
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
    tools.add("cargo", "echo 'warning: unused' >&2; exit 0");
    tools.add("wasm-bindgen", "exit 0");
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
  const Case cases[] = {
      {"echo 'warning: unused variable' >&2; echo noise; exit 0", "ok target/release/my_strat"},
      {"exit 1", "build: "},
      {"exit 255", "build: "},
      {"printf 'about to die\\n' >&2; kill -KILL $$", "build: about to die\n"},
      {"printf 'terminated' >&2; kill -TERM $$", "build: terminated"},
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
    spec::Target target;
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
      {"wasm-bindgen only for wasm", {{"cargo", "exit 0"}}, no_std("thumbv6m-none-eabi"),
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
  tools.add("cargo", "exit 0");
  // A directory that is missing fails like any other start-up failure.
  EXPECT_EQ(tools.run(binary(), OptLevel::Release, tools.project() / "missing"),
            "build: spawning cargo: No such file or directory (os error 2)");
  EXPECT_EQ(tools.calls(), "");
  // A relative directory is taken from this process's working directory.
  fs::path old = fs::current_path();
  fs::current_path(tools.project().parent_path());
  std::string result = tools.run(binary(), OptLevel::Debug, "project");
  fs::current_path(old);
  EXPECT_EQ(result, "ok target/debug/my_strat");
  EXPECT_EQ(tools.calls(), tools.at_project("cargo build"));
}

}  // namespace
}  // namespace orvane::builder
