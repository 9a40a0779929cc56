#include <gtest/gtest.h>
#include <unistd.h>

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
  const FileSet second = {{"Cargo.toml", "new"}, {"src/main.rs", ""}};
  ASSERT_EQ(write(project, second), "");
  EXPECT_EQ(read_file(project / "Cargo.toml"), "new");  // truncated, not overlaid
  EXPECT_EQ(read_file(project / "src/main.rs"), "");
  EXPECT_EQ(read_file(project / "src/candles.csv"), "old data");
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

// Tests run as root, which writes through permission bits, so a chmod'ed file proves nothing.
// Kernel file systems refuse regardless of who asks.
TEST(BuilderWriteProject, FailuresTheKernelImposes) {
  if (fs::exists("/sys/kernel/notes")) {
    // A read-only file of the set: sysfs refuses to open it for writing.
    EXPECT_EQ(write("/sys/kernel", {{"notes", "x"}}),
              "io: writing /sys/kernel/notes: Permission denied (os error 13)");
    // No directory can be made there.
    EXPECT_EQ(write("/sys", {{"orvane-test-dir/file", "x"}}),
              "io: creating /sys/orvane-test-dir: Operation not permitted (os error 1)");
  }
  if (::geteuid() == 0 && fs::exists("/proc/version")) {
    // Opens for root, then the write itself fails.
    EXPECT_EQ(write("/proc", {{"version", "x"}}),
              "io: writing /proc/version: Input/output error (os error 5)");
  }
}

// Entries go in byte order and the first failure stops the rest.
TEST(BuilderWriteProject, OrderAndStop) {
  struct Case {
    FileSet files;
    std::vector<std::string> written, not_written;
  };
  const Case cases[] = {
      {{{"Cargo.toml", "c"}, {"src/x", "s"}, {"zz", "z"}}, {"Cargo.toml"}, {"zz"}},
      // "." sorts before "C": the config fails first and the manifest never comes.
      {{{".cargo/config.toml", "b"}, {"Cargo.toml", "c"}}, {}, {"Cargo.toml"}},
      // Upper case sorts before lower case, and "Z" before "src".
      {{{"Z", "z"}, {"a", "a"}, {"src/x", "s"}, {"t", "t"}}, {"Z", "a"}, {"t"}},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    write_file(tmp / "p/src", "blocks src/");
    write_file(tmp / "p/.cargo", "blocks .cargo/");
    EXPECT_NE(write(tmp / "p", c.files), "");
    for (const auto& rel : c.written) EXPECT_EQ(read_file(tmp / "p" / rel), c.files.at(rel)) << rel;
    for (const auto& rel : c.not_written) EXPECT_FALSE(fs::exists(tmp / "p" / rel)) << rel;
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
