#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "builder/write_project.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

std::string write(const fs::path& dir, const FileSet& files) {
  auto written = write_project(dir, files);
  return written ? "" : written.error().display();
}

TEST(BuilderWriteProject, CreatesDirectoriesAndFiles) {
  TempDir tmp;
  fs::path project = tmp / "out/deeper/my_strat";  // no ancestor exists yet
  const FileSet files = {{".cargo/config.toml", "[build]\n"},
                         {"Cargo.toml", "[package]\n"},
                         {"src/lib.rs", "// lib\n"},
                         {"src/spec.json", "{\"a\":1}"},
                         {"src/empty", ""},
                         {"src/nested/a/b.txt", "deep"}};
  ASSERT_EQ(write(project, files), "");
  for (const auto& [rel, contents] : files) EXPECT_EQ(read_file(project / rel), contents) << rel;
  EXPECT_TRUE(fs::is_regular_file(project / "src/empty"));
}

TEST(BuilderWriteProject, OverwritesAndKeepsOtherFiles) {
  TempDir tmp;
  fs::path project = tmp / "my_strat";
  ASSERT_EQ(write(project, {{"Cargo.toml", std::string(5000, 'o')}, {"src/main.rs", "old main"},
                            {"src/candles.csv", "old data"}}),
            "");
  write_file(project / "target/debug/my_strat", "artifact");
  write_file(project / "Cargo.lock", "lock");
  write_file(project / "src/notes.txt", "a file of the user's");
  const FileSet second = {{"Cargo.toml", "new"}, {"src/main.rs", ""}};
  ASSERT_EQ(write(project, second), "");
  EXPECT_EQ(read_file(project / "Cargo.toml"), "new");  // replaced, not overlaid
  EXPECT_EQ(read_file(project / "src/main.rs"), "");
  // The compiler's own file that this set lacks goes; everything else stays.
  EXPECT_FALSE(fs::exists(project / "src/candles.csv"));
  EXPECT_EQ(read_file(project / "src/notes.txt"), "a file of the user's");
  EXPECT_EQ(read_file(project / "Cargo.lock"), "lock");
  EXPECT_EQ(read_file(project / "target/debug/my_strat"), "artifact");
}

TEST(BuilderWriteProject, Failures) {
  TempDir tmp;
  const std::string t = tmp.path().string();
  write_file(tmp / "file_src/src", "a regular file where a directory goes");
  write_file(tmp / "plain", "a regular file where the project's parent goes");
  fs::create_directories(tmp / "dir_file/src/main.rs");
  struct Case {
    fs::path project;
    FileSet files;
    std::string expected;
  };
  const Case cases[] = {
      {tmp / "file_src", {{"src/main.rs", "x"}},
       "io: creating " + t + "/file_src/src: File exists (os error 17)"},
      {tmp / "plain/proj", {{"Cargo.toml", "x"}},
       "io: creating " + t + "/plain/proj: Not a directory (os error 20)"},
      {tmp / "plain/proj", {{"src/lib.rs", "x"}},
       "io: creating " + t + "/plain/proj/src: Not a directory (os error 20)"},
      {tmp / "dir_file", {{"src/main.rs", "x"}},
       "io: writing " + t + "/dir_file/src/main.rs: Is a directory (os error 21)"},
      {tmp / "dir_file", {{"src", "x"}}, "io: writing " + t + "/dir_file/src: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) EXPECT_EQ(write(c.project, c.files), c.expected);
}

// Kernel file systems refuse regardless of who asks (tests run as root, which writes through
// permission bits). The lock file is the first thing made in a project folder.
TEST(BuilderWriteProject, FailuresTheKernelImposes) {
  if (fs::exists("/sys/kernel/notes")) {
    EXPECT_EQ(write("/sys/kernel", {{"notes", "x"}}),
              "io: creating /sys/kernel/.orvane-compile.lock: No such file or directory (os error 2)");
    EXPECT_EQ(write("/sys/orvane-test-dir", {{"file", "x"}}),
              "io: creating /sys/orvane-test-dir: Operation not permitted (os error 1)");
  }
}

// The first failure stops the write and leaves every earlier file as it was: nothing of the
// new set is renamed into place, and no temporary file is left behind.
TEST(BuilderWriteProject, AllOrNothing) {
  struct Case {
    FileSet files;
    std::string expected;
  };
  const Case cases[] = {
      {{{"Cargo.toml", "c"}, {"src/x", "s"}, {"zz", "z"}}, "io: creating P/src: File exists (os error 17)"},
      // "." sorts before "C": the config fails first.
      {{{".cargo/config.toml", "b"}, {"Cargo.toml", "c"}},
       "io: creating P/.cargo: File exists (os error 17)"},
      // Upper case sorts before lower case, and "Z" before "src".
      {{{"Z", "z"}, {"a", "a"}, {"src/x", "s"}, {"t", "t"}}, "io: creating P/src: File exists (os error 17)"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const fs::path p = tmp / "p";
    write_file(p / "Cargo.toml", "before");
    write_file(p / "Z", "before");
    write_file(p / "src", "blocks src/");
    write_file(p / ".cargo", "blocks .cargo/");
    std::string expected = c.expected;
    expected.replace(expected.find("P/"), 1, p.string());
    EXPECT_EQ(write(p, c.files), expected);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(p)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".cargo", ".orvane-compile.lock", "Cargo.toml", "Z", "src"}));
    EXPECT_EQ(read_file(p / "Cargo.toml"), "before");
    EXPECT_EQ(read_file(p / "Z"), "before");
  }
}

TEST(BuilderWriteProject, RelativeProjectDirectory) {
  TempDir tmp;
  fs::path old = fs::current_path();
  fs::current_path(tmp.path());
  std::string ok = write("out/rel", {{"src/lib.rs", "r"}});
  write_file("blocked/src", "");
  std::string failed = write("blocked", {{"src/lib.rs", "r"}});
  fs::current_path(old);
  EXPECT_EQ(ok, "");
  EXPECT_EQ(read_file(tmp / "out/rel/src/lib.rs"), "r");
  // The message shows the path as given, not resolved.
  EXPECT_EQ(failed, "io: creating blocked/src: File exists (os error 17)");
}

}  // namespace
}  // namespace orvane::builder
