// The artifact a build reports is the output of cargo run on this build's files, with the real
// cargo, offline: through a cache shared by projects of one crate name, and when a build target
// configured elsewhere would send cargo's output somewhere else. Slow, like the RealCargo suite.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "builder/artifact_store.hpp"
#include "builder/project_files.hpp"
#include "builder/run_cargo.hpp"
#include "builder/run_process.hpp"
#include "builder/target_table.hpp"
#include "builder/write_project.hpp"
#include "json/sha256.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using schema::OptLevel;
using testing::binary;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;


std::string host_triple() {
  const std::string args[] = {"-vV"};
  std::string out = testing::capture("rustc -vV");
  const std::size_t at = out.find("host: ");
  if (at == std::string::npos) return {};
  return out.substr(at + 6, out.find('\n', at) - at - 6);
}

class RealCargoShared : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(testing::kCrateRegistry)) {
      GTEST_SKIP() << "no packaged crate sources in " << testing::kCrateRegistry;
    }
    if (!find_program("cargo")) GTEST_SKIP() << "cargo is not on PATH";
    testing::serve_offline_crates(tmp_.path());
  }

  // Writes the binary project of `spec` into <out>/demo and builds it; the answer's path
  // relative to tmp_, or the error.
  std::string build(const std::string& out, const std::string& spec,
                    const std::optional<fs::path>& cache) {
    const fs::path dir = tmp_ / out / "demo";
    auto folder = write_project(
        dir, project_files(binary(), "demo", profile_snippet(OptLevel::Debug), std::string(spec), {}));
    if (!folder) return folder.error().display();
    auto built = run_cargo(dir, binary(), OptLevel::Debug, "demo", {}, cache, -1, CargoRun{folder->fd(), 1u});
    return built ? (fs::path(out) / "demo" / *built).string() : built.error().display();
  }

  TempDir tmp_;
  ScopedEnv no_target_dir_{"CARGO_TARGET_DIR", std::nullopt};
  ScopedEnv no_build_target_{"CARGO_BUILD_TARGET", std::nullopt};
};

std::string spec_of(int fast) {
  return R"({"symbol":"ETH/USD","params":[)" + std::to_string(fast) + "]}";
}

// cargo knows a project only by its crate's name and version: projects of one name sharing a
// cache, each built in turn, must each get a build of their own sources.
TEST_F(RealCargoShared, ProjectsOfOneCrateNameSharingACacheGetTheirOwnBuilds) {
  struct Step {
    std::string out;
    int fast;
  };
  const Step steps[] = {{"e1", 12}, {"e2", 40}, {"e1", 12}, {"e2", 40}, {"e1", 7}, {"e2", 40}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.out + " " + std::to_string(step.fast));
    ASSERT_EQ(build(step.out, spec_of(step.fast), tmp_ / "cache"), step.out + "/demo/target/debug/demo");
    EXPECT_EQ(testing::capture((tmp_ / step.out / "demo/target/debug/demo").string()),
              "orvane strategy for ETH/USD\n" + spec_of(step.fast) + "\n");
  }
}

// A build target set for cargo elsewhere would leave a host build under target/<triple>/ while
// an earlier build's binary is still at target/debug/: the build fails and says why.
TEST_F(RealCargoShared, ABuildTargetSetElsewhereIsNamedNotAnOldArtifact) {
  const std::string host = host_triple();
  ASSERT_FALSE(host.empty());
  ASSERT_EQ(build("out", spec_of(1), std::nullopt), "out/demo/target/debug/demo");
  const std::string project = (tmp_ / "out/demo").string();
  {
    ScopedEnv set("CARGO_BUILD_TARGET", host);
    EXPECT_EQ(build("out", spec_of(2), std::nullopt),
              "build: CARGO_BUILD_TARGET is set in the environment (to \"" + host +
                  "\"): cargo would write the binary under target/" + host +
                  "/ rather than where it is looked for; unset it for this build");
  }
  write_file(tmp_ / "out/.cargo/config.toml", "[build]\ntarget = \"" + host + "\"\n");
  EXPECT_EQ(build("out", spec_of(3), std::nullopt),
            "build: cargo wrote its output to " + project + "/target/" + host + "/debug/demo, not to " +
                project + "/target/debug/demo: a build target is configured for it (`[build] "
                "target` in a .cargo/config.toml above the project, or CARGO_BUILD_TARGET); remove "
                "it for this build");
}

// The artifact's bytes do not depend on where it is built: the output folder (of another
// length), cargo's home, or whether the cache is used. The second project in a cache slot
// compiles its own crate only: the dependencies built for the first stay shared.
TEST_F(RealCargoShared, ArtifactBytesDoNotDependOnWhereTheyAreBuilt) {
  struct Build {
    std::string out;
    std::string cargo_home;
    bool cache;
  };
  const Build builds[] = {{"a", "home1", false},
                          {"a-much-longer-output-folder/b", "cargo-home-2", false},
                          {"a", "home1", true},
                          {"a-much-longer-output-folder/b", "home1", true}};
  std::set<std::string> release_and_debug;
  for (OptLevel level : {OptLevel::Debug, OptLevel::Release}) {
    std::set<std::string> digests;
    for (const Build& b : builds) {
      const std::string name(profile_dir_name(level));
      SCOPED_TRACE(name + " " + b.out + " " + b.cargo_home + (b.cache ? " cached" : ""));
      ScopedEnv home("CARGO_HOME", (tmp_ / b.cargo_home).string());
      const fs::path dir = tmp_ / (name + "-" + b.out) / "demo";
      auto folder = write_project(dir, project_files(binary(), "demo", profile_snippet(level), spec_of(12), {}));
      ASSERT_TRUE(folder);
      const fs::path log = tmp_ / "cargo.log";
      int echo = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ASSERT_GE(echo, 0);
      auto built = run_cargo(dir, binary(), level, "demo", {},
                             b.cache ? std::optional<fs::path>(tmp_ / (name + "-cache")) : std::nullopt,
                             echo, CargoRun{folder->fd(), 2u});
      ::close(echo);
      ASSERT_TRUE(built) << built.error().display();
      digests.insert(json::sha256_hex(testing::read_file(dir / *built)));
      if (&b == &builds[3]) {
        std::istringstream lines(testing::read_file(log));
        std::vector<std::string> compiled;
        for (std::string line; std::getline(lines, line);) {
          const std::size_t at = line.find("Compiling ");
          if (at != std::string::npos) compiled.push_back(line.substr(at, line.find(" v", at) - at));
        }
        EXPECT_EQ(compiled, std::vector<std::string>{"Compiling demo"});
      }
    }
    EXPECT_EQ(digests.size(), 1u) << profile_dir_name(level);
    release_and_debug.insert(*digests.begin());
  }
  EXPECT_EQ(release_and_debug.size(), 2u);
}

// A second machine (another cargo home, another output folder, no cache) sharing the store gets
// the first one's artifact without building it.
TEST_F(RealCargoShared, ASecondMachineSharingAStoreCopiesTheFirstOnesBuild) {
  Manifest m;
  m.target = binary();
  m.opt_level = OptLevel::Debug;
  m.crate_name = "demo";
  m.project_hash = json::sha256_hex(spec_of(12));
  auto store = open_store("file://" + (tmp_ / "store").string());
  ASSERT_TRUE(store) << store.error().display();
  struct Machine {
    std::string out;
    std::string cargo_home;
    bool builds;
  };
  const Machine machines[] = {{"m1", "home1", true}, {"second-machine/out", "home2", false}};
  for (const Machine& machine : machines) {
    SCOPED_TRACE(machine.out);
    ScopedEnv home("CARGO_HOME", (tmp_ / machine.cargo_home).string());
    const fs::path dir = tmp_ / machine.out / "demo";
    auto folder = write_project(dir, project_files(binary(), "demo", profile_snippet(OptLevel::Debug), spec_of(12), {}));
    ASSERT_TRUE(folder);
    bool built = false;
    auto artifact = build_through_store(**store, m, folder->fd(), dir, {}, [&] {
      built = true;
      return run_cargo(dir, binary(), OptLevel::Debug, "demo", {}, std::nullopt, -1, CargoRun{folder->fd(), 2u});
    });
    ASSERT_TRUE(artifact) << artifact.error().display();
    EXPECT_EQ(std::pair(*artifact, built), std::pair(std::string("target/debug/demo"), machine.builds));
    EXPECT_EQ(testing::capture((dir / *artifact).string()), "orvane strategy for ETH/USD\n" + spec_of(12) + "\n");
  }
}

}  // namespace
}  // namespace orvane::builder
