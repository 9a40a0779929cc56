#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "builder/project_files.hpp"
#include "builder/target_table.hpp"
#include "builder/write_project.hpp"
#include "builder_test_support.hpp"

namespace orvane::builder {
namespace {

using testing::binary;
using testing::no_std;
using testing::read_file;
using testing::TempDir;
using testing::wasm;
using testing::write_file;
namespace fs = std::filesystem;

std::string write(const fs::path& dir, const FileSet& files, const BuildControl& control = {}) {
  auto written = write_project(dir, files, control);
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

// Two small hand-made file sets: B adds .cargo/config.toml and changes every file of A.
const FileSet kSetA = {{"Cargo.toml", "[package] a\n"},
                       {"src/main.rs", "fn main() {} // a\n"},
                       {"src/spec.json", "{\"v\":1}"}};
const FileSet kSetB = {{".cargo/config.toml", "[build] b\n"},
                       {"Cargo.toml", "[package] b\n"},
                       {"src/main.rs", "fn main() {} // b\n"},
                       {"src/spec.json", "{\"v\":2}"}};

// A time no write of today's can give a file, so a rewrite always shows.
constexpr struct timespec kOldTime = {1'000'000'000, 123'456'789};

void make_old(const fs::path& root) {
  const struct timespec times[2] = {kOldTime, kOldTime};
  ::utimensat(AT_FDCWD, root.c_str(), times, AT_SYMLINK_NOFOLLOW);
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    ::utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

// Everything below `root`, no symbolic link followed and the lock files left out: a folder as
// its path with a trailing "/", a symbolic link by its target, a file by its contents and its
// modification time to the nanosecond.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.path().filename() == kLockFileName || e.path().filename() == kRecordFileName) continue;
    const std::string rel = e.path().lexically_relative(root).string();
    struct stat st;
    if (::lstat(e.path().c_str(), &st) != 0) {
      out[rel] = "vanished";
    } else if (S_ISDIR(st.st_mode)) {
      out[rel + "/"] = "folder";
    } else if (S_ISLNK(st.st_mode)) {
      out[rel] = "link to " + fs::read_symlink(e.path()).string();
    } else {
      out[rel] = read_file(e.path()) + " @" + std::to_string(st.st_mtim.tv_sec) + "." +
                 std::to_string(st.st_mtim.tv_nsec);
    }
  }
  return out;
}

std::set<std::string> names_in(const fs::path& root) {
  std::set<std::string> out;
  for (const auto& [name, what] : tree_of(root)) out.insert(name);
  return out;
}

// `files` and `more` as tree_of names them, with every folder on their way.
std::set<std::string> layout(const FileSet& files, const std::vector<std::string>& more = {}) {
  std::vector<std::string> paths = more;
  for (const auto& [rel, contents] : files) paths.push_back(rel);
  std::set<std::string> out;
  for (const std::string& p : paths) {
    out.insert(p);
    for (std::size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
      out.insert(p.substr(0, at + 1));
    }
  }
  return out;
}

std::string expand(std::string text, const fs::path& project) {
  for (std::size_t at; (at = text.find("{O}")) != std::string::npos;)
    text.replace(at, 3, project.parent_path().string());
  for (std::size_t at; (at = text.find("{P}")) != std::string::npos;)
    text.replace(at, 3, project.string());
  return text;
}

bool link_at(const fs::path& at, const fs::path& to) {
  fs::remove_all(at);
  fs::create_directories(at.parent_path());
  fs::create_symlink(to, at);
  return true;
}
bool plant(const fs::path& at) {
  write_file(at, "planted");
  return true;
}
bool give_away(const fs::path& at) {
  fs::create_directories(at);
  return ::chown(at.c_str(), 1000, 1000) == 0;
}
bool set_mode(const fs::path& at, mode_t mode) {
  fs::create_directories(at);
  return ::chmod(at.c_str(), mode) == 0;
}

// Layouts that would have the writer write elsewhere, or cargo obey what the compiler did not
// write: each is refused, and nothing anywhere (the project, the link's target) changes.
TEST(BuilderWriteProject, HostileLayoutsAreRefusedAndLeftAsTheyWere) {
  using Setup = std::function<bool(const fs::path& project, const fs::path& outside)>;
  struct Case {
    const char* what;
    Setup setup;
    std::string expected;
  };
  const std::string link = "io: refusing to write through {P}";
  const std::string is_link = ": it is a symbolic link";
  const std::string obeys = " was not written by the compiler, and cargo would obey it";
  const std::string planted = "io: refusing to build in {P}: {P}/";
  const std::string foreign =
      ": it is owned by user 1000, not by this user (" + std::to_string(::geteuid()) + ") or root";
  const std::string shared = ": users other than its owner may write to it (mode ";
  const Case cases[] = {
      {"crate folder", [](auto& p, auto& o) { return link_at(p, o); }, link + is_link},
      {"src", [](auto& p, auto& o) { return link_at(p / "src", o); }, link + "/src" + is_link},
      {".cargo", [](auto& p, auto& o) { return link_at(p / ".cargo", o); },
       link + "/.cargo" + is_link},
      {"src/main.rs", [](auto& p, auto& o) { return link_at(p / "src/main.rs", o / "victim"); },
       link + "/src/main.rs" + is_link},
      {"src/spec.json", [](auto& p, auto& o) { return link_at(p / "src/spec.json", o / "victim"); },
       link + "/src/spec.json" + is_link},
      {"dangling Cargo.toml",
       [](auto& p, auto& o) { return link_at(p / "Cargo.toml", o / "nothing"); },
       link + "/Cargo.toml" + is_link},
      {".cargo/config.toml",
       [](auto& p, auto& o) { return link_at(p / ".cargo/config.toml", o / "victim"); },
       link + "/.cargo/config.toml" + is_link},
      {"lock file", [](auto& p, auto& o) { return link_at(p / kLockFileName, o / "victim"); },
       link + "/.orvane-compile.lock" + is_link},
      {"src/bin to sources", [](auto& p, auto& o) { return link_at(p / "src/bin", o / "bin"); },
       planted + "src/bin" + obeys},
      {"build.rs", [](auto& p, auto&) { return plant(p / "build.rs"); },
       planted + "build.rs" + obeys},
      {"rust-toolchain", [](auto& p, auto&) { return plant(p / "rust-toolchain"); },
       planted + "rust-toolchain" + obeys},
      {"rust-toolchain.toml", [](auto& p, auto&) { return plant(p / "rust-toolchain.toml"); },
       planted + "rust-toolchain.toml" + obeys},
      {".cargo/config", [](auto& p, auto&) { return plant(p / ".cargo/config"); },
       planted + ".cargo/config" + obeys},
      {".cargo/credentials.toml",
       [](auto& p, auto&) { return plant(p / ".cargo/credentials.toml"); },
       planted + ".cargo/credentials.toml" + obeys},
      {"src/bin/evil.rs", [](auto& p, auto&) { return plant(p / "src/bin/evil.rs"); },
       planted + "src/bin/evil.rs" + obeys},
      {"src/deep/er/mod.rs", [](auto& p, auto&) { return plant(p / "src/deep/er/mod.rs"); },
       planted + "src/deep/er/mod.rs" + obeys},
      {"crate folder of user 1000", [](auto& p, auto&) { return give_away(p); },
       "io: refusing to write into {P}" + foreign},
      {"src of user 1000", [](auto& p, auto&) { return give_away(p / "src"); },
       "io: refusing to write into {P}/src" + foreign},
      {"pkg of user 1000", [](auto& p, auto&) { return give_away(p / "pkg"); },
       "io: refusing to write into {P}/pkg" + foreign},
      {"crate folder 0775", [](auto& p, auto&) { return set_mode(p, 0775); },
       "io: refusing to write into {P}" + shared + "0775)"},
      {"src 0777", [](auto& p, auto&) { return set_mode(p / "src", 0777); },
       "io: refusing to write into {P}/src" + shared + "0777)"},
      {"src/data 0775", [](auto& p, auto&) { return set_mode(p / "src/data", 0775); },
       "io: refusing to write into {P}/src/data" + shared + "0775)"},
      {".cargo 0777", [](auto& p, auto&) { return set_mode(p / ".cargo", 0777); },
       "io: refusing to write into {P}/.cargo" + shared + "0777)"},
      {"target 0777", [](auto& p, auto&) { return set_mode(p / "target", 0777); },
       "io: refusing to write into {P}/target" + shared + "0777)"},
      {"target", [](auto& p, auto& o) { return link_at(p / "target", o); },
       link + "/target" + is_link},
      {"pkg", [](auto& p, auto& o) { return link_at(p / "pkg", o); }, link + "/pkg" + is_link},
      {"dangling Cargo.lock", [](auto& p, auto& o) { return link_at(p / "Cargo.lock", o / "nothing"); },
       link + "/Cargo.lock" + is_link},
      {"out 0777", [](auto& p, auto&) { return set_mode(p.parent_path(), 0777); },
       "io: refusing to write into {O}" + shared + "0777)"},
      {"out of user 1000", [](auto& p, auto&) { return give_away(p.parent_path()); },
       "io: refusing to write into {O}" + foreign},
      // A folder the compiler never built in: a source there is the user's.
      {"src/lib.rs of the user's",
       [](auto& p, auto&) {
         return fs::remove(p / kRecordFileName) && fs::remove(p / kLockFileName) && plant(p / "src/lib.rs");
       },
       planted + "src/lib.rs" + obeys},
      // Not hostile: a folder where a file goes is found before any file is renamed in.
      {"a folder where src/main.rs goes",
       [](auto& p, auto&) {
         fs::remove(p / "src/main.rs");
         return fs::create_directories(p / "src/main.rs") && fs::create_directories(p / ".cargo");
       },
       "io: writing {P}/src/main.rs: Is a directory (os error 21)"},
      {"a folder where a file is written first",
       [](auto& p, auto&) {
         return fs::create_directories(p / "src/.spec.json.orvane-tmp/x") && fs::create_directories(p / ".cargo");
       },
       "io: removing {P}/src/.spec.json.orvane-tmp: Is a directory (os error 21)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path p = tmp / "out/p";
    const fs::path outside = tmp / "outside";
    write_file(outside / "victim", "outside");
    write_file(outside / "bin/x.rs", "fn main() {}");
    ASSERT_EQ(write(p, kSetA), "");
    if (!c.setup(p, outside)) {
      std::cout << "skipping \"" << c.what << "\": it needs root\n";
      continue;
    }
    make_old(tmp.path());
    const auto before = tree_of(tmp.path());
    EXPECT_EQ(write(p, kSetB), expand(c.expected, p));
    EXPECT_EQ(tree_of(tmp.path()), before);
  }
}

// Only files on the compiler's record are ever removed: in a folder of the user's own, the
// files no set holds stay, whatever their names.
TEST(BuilderWriteProject, UsersOwnFolderLosesNoFile) {
  const std::map<std::string, std::string> users = {
      {"README", "mine"}, {"src/candles.csv", "ts\n1\n"}, {"src/candles.json", "[]"}, {"notes/a.txt", "a"}};
  TempDir tmp;
  const fs::path p = tmp / "out/p";
  for (const auto& [rel, text] : users) write_file(p / rel, text);
  ASSERT_EQ(write(p, kSetA), "");
  ASSERT_EQ(write(p, kSetB), "");
  for (const auto& [rel, text] : users) EXPECT_EQ(read_file(p / rel), text) << rel;
  EXPECT_EQ(read_file(p / kRecordFileName), ".cargo/config.toml\nCargo.toml\nsrc/main.rs\nsrc/spec.json\n");
}

TEST(BuilderWriteProject, OutputFolderMayBeASymbolicLink) {
  TempDir tmp;
  fs::create_directories(tmp / "real");
  fs::create_directory_symlink(tmp / "real", tmp / "out");
  ASSERT_EQ(write(tmp / "out/p", kSetA), "");
  EXPECT_EQ(names_in(tmp / "real/p"), layout(kSetA));
  for (const auto& [rel, contents] : kSetA) EXPECT_EQ(read_file(tmp / "real/p" / rel), contents);
}

struct Step {
  schema::Target target;
  EmbeddedData data;
};

FileSet real_set(const Step& step, std::size_t n) {
  return project_files(step.target, "strat", profile_snippet(schema::OptLevel::Debug),
                       "{\"step\":" + std::to_string(n) + "}", EmbeddedData(step.data));
}

// After each switch of target or dataset the folder holds exactly the current file set and
// what the user put there: the compiler's own leftovers are gone.
TEST(BuilderWriteProject, SwitchingTargetsLeavesNoStaleFiles) {
  const std::vector<std::string> users = {"Cargo.lock", "README", "pkg/strat.js", "src/notes.txt",
                                          "target/debug/strat"};
  const std::string mcu = "thumbv7em-none-eabihf";
  const std::vector<Step> sequences[] = {
      {{binary(), {}}, {wasm(), {}}, {binary(), {}}},
      {{no_std(mcu), InlineCandlesText{"[[1,2,3,4,5,6]]"}}, {binary(), {}}},
      {{wasm(), CsvText{"ts,close\n1,2\n"}}, {wasm(), {}}},
      {{binary(), CsvText{"ts\n1\n"}},
       {no_std(mcu), InlineCandlesText{"[]"}},
       {wasm(), CsvText{"ts\n2\n"}},
       {binary(), InlineCandlesText{"[[1]]"}},
       {no_std(mcu), {}}},
  };
  for (std::size_t s = 0; s < std::size(sequences); ++s) {
    TempDir tmp;
    const fs::path p = tmp / "strat";
    for (std::size_t i = 0; i < sequences[s].size(); ++i) {
      SCOPED_TRACE("sequence " + std::to_string(s) + ", step " + std::to_string(i));
      const FileSet files = real_set(sequences[s][i], i);
      ASSERT_EQ(write(p, files), "");
      if (i == 0) {
        for (const std::string& rel : users) write_file(p / rel, "the user's");
      }
      EXPECT_EQ(names_in(p), layout(files, users));
      for (const auto& [rel, contents] : files) EXPECT_EQ(read_file(p / rel), contents) << rel;
      for (const std::string& rel : users) EXPECT_EQ(read_file(p / rel), "the user's") << rel;
    }
  }
}

// A file is replaced (a new inode) only when its bytes differ, or when someone other than this
// user or root could have changed it; every other file keeps its inode and timestamp.
TEST(BuilderWriteProject, OnlyChangedFilesAreReplaced) {
  struct Case {
    const char* what;
    std::function<bool(const fs::path& project)> on_disk;
    FileSet changes;
    std::set<std::string> replaced;
  };
  const Case cases[] = {
      {"nothing", nullptr, {}, {}},
      {"the strategy", nullptr, {{"src/spec.json", "{\"v\":2}"}}, {"src/spec.json"}},
      {"manifest and data",
       nullptr,
       {{"Cargo.toml", "[package]\n"}, {"src/candles.csv", "ts\n9\n"}},
       {"Cargo.toml", "src/candles.csv"}},
      {"same size, other bytes on disk",
       [](auto& p) {
         std::string text = read_file(p / "src/main.rs");
         text[0] ^= 1;
         write_file(p / "src/main.rs", text);
         return true;
       },
       {},
       {"src/main.rs"}},
      {"group-writable file",
       [](auto& p) { return ::chmod((p / "src/main.rs").c_str(), 0664) == 0; },
       {},
       {"src/main.rs"}},
      {"file of user 1000",
       [](auto& p) { return ::chown((p / "Cargo.toml").c_str(), 1000, 1000) == 0; },
       {},
       {"Cargo.toml"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path p = tmp / "strat";
    FileSet files = real_set({binary(), CsvText{"ts\n1\n"}}, 0);
    ASSERT_EQ(write(p, files), "");
    if (c.on_disk && !c.on_disk(p)) {
      std::cout << "skipping \"" << c.what << "\": it needs root\n";
      continue;
    }
    make_old(p);
    std::map<std::string, ino_t> inodes;
    for (const auto& [rel, contents] : files) {
      struct stat st;
      ASSERT_EQ(::lstat((p / rel).c_str(), &st), 0);
      inodes[rel] = st.st_ino;
    }
    for (const auto& [rel, contents] : c.changes) files[rel] = contents;
    ASSERT_EQ(write(p, files), "");
    std::set<std::string> replaced;
    for (const auto& [rel, contents] : files) {
      struct stat st;
      ASSERT_EQ(::lstat((p / rel).c_str(), &st), 0);
      EXPECT_EQ(read_file(p / rel), contents) << rel;
      EXPECT_EQ(st.st_uid, ::geteuid()) << rel;
      EXPECT_EQ(st.st_mode & 022, 0u) << rel;
      if (st.st_ino != inodes[rel]) {
        replaced.insert(rel);
      } else {
        EXPECT_EQ(st.st_mtim.tv_sec, kOldTime.tv_sec) << rel;
        EXPECT_EQ(st.st_mtim.tv_nsec, kOldTime.tv_nsec) << rel;
      }
    }
    EXPECT_EQ(replaced, c.replaced);
  }
}

// Temporary files of a build that died are swept away by the next write, and are not taken
// for files cargo would obey.
TEST(BuilderWriteProject, TemporaryFilesOfADeadBuildAreRemoved) {
  const std::string mcu = "thumbv7em-none-eabihf";
  const FileSet sets[] = {
      real_set({binary(), {}}, 0),  // the set already written
      real_set({binary(), CsvText{"ts\n1\n"}}, 1),
      real_set({no_std(mcu), InlineCandlesText{"[]"}}, 2),
  };
  for (const FileSet& files : sets) {
    TempDir tmp;
    const fs::path p = tmp / "strat";
    write_file(tmp / "victim", "outside");
    ASSERT_EQ(write(p, sets[0]), "");
    for (const char* rel : {".Cargo.toml.orvane-tmp", "src/.spec.json.orvane-tmp",
                            ".cargo/.config.toml.orvane-tmp", "src/bin/.x.rs.orvane-tmp"}) {
      write_file(p / rel, "half written");
    }
    link_at(p / "src/.main.rs.orvane-tmp", tmp / "victim");
    EXPECT_EQ(write(p, files), "");
    EXPECT_EQ(names_in(p), layout(files, {"src/bin/"}));
    EXPECT_EQ(read_file(tmp / "victim"), "outside");
  }
}

// A file system with room for one small project but not for a large file: the write fails on
// that file and the project before it stays as it was, without temporary files.
TEST(BuilderWriteProject, FullFileSystemLeavesThePreviousProject) {
  TempDir tmp;
  const fs::path small = tmp / "small";
  fs::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    const fs::path& at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  const fs::path p = small / "p";
  ASSERT_EQ(write(p, kSetA), "");
  make_old(small);
  const auto before = tree_of(small);
  const std::string big(200 * 1024, 'x');
  struct Case {
    FileSet files;
    std::string failing;
  };
  const Case cases[] = {
      {{{"Cargo.toml", "new"}, {"src/main.rs", "new"}, {"src/spec.json", big}}, "src/spec.json"},
      {{{"Cargo.toml", big}, {"src/main.rs", "new"}, {"src/spec.json", "new"}}, "Cargo.toml"},
      {{{"Cargo.toml", "new"},
        {"src/candles.csv", big},
        {"src/main.rs", "new"},
        {"src/spec.json", "n"}},
       "src/candles.csv"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(write(p, c.files), "io: writing " + (p / c.failing).string() +
                                     ": No space left on device (os error 28)");
    EXPECT_EQ(tree_of(small), before) << c.failing;
  }
  // The failed writes' space is free again.
  EXPECT_EQ(write(p, kSetB), "");
  EXPECT_EQ(names_in(p), layout(kSetB));
}

// Order of events across the threads below.
struct Events {
  std::atomic<int> next{0};
  int mark() { return next++; }
};

TEST(BuilderWriteProjectLock, ThreadsTakeTurns) {
  TempDir tmp;
  const fs::path p = tmp / "p";
  Events events;
  std::atomic<bool> holding{false};
  int held_at = -1, released_at = -1, second_done_at = -1;
  std::string first_result = "never ran", second_result = "never ran";
  std::thread first([&] {
    {
      auto folder = write_project(p, kSetA);
      first_result = folder ? "" : folder.error().display();
      held_at = events.mark();
      holding = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      released_at = events.mark();
    }
  });
  std::thread second([&] {
    while (!holding) std::this_thread::yield();
    second_result = write(p, kSetB);
    second_done_at = events.mark();
  });
  first.join();
  second.join();
  EXPECT_EQ(first_result, "");
  EXPECT_EQ(second_result, "");
  EXPECT_EQ((std::vector<int>{held_at, released_at, second_done_at}), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(read_file(p / "Cargo.toml"), kSetB.at("Cargo.toml"));
}

TEST(BuilderWriteProjectLock, ProcessesTakeTurns) {
  TempDir tmp;
  const fs::path p = tmp / "p";
  int go[2], ready[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Holds the folder until the parent writes to or closes its end of `go`.
    ::close(go[1]);
    ::close(ready[0]);
    char c = 'n';
    int status = 1;
    {
      auto held = write_project(p, kSetA);
      if (held) c = 'y', status = 0;
      (void)!::write(ready[1], &c, 1);
      (void)!::read(go[0], &c, 1);
    }
    ::_exit(status);
  }
  ::close(go[0]);
  ::close(ready[1]);
  char c = 0;
  const bool held = child > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
  const std::string waited = write(p, kSetB, BuildControl(0.2, nullptr));
  const std::string while_held = read_file(p / "Cargo.toml");
  ::close(go[1]);  // the child lets go
  const std::string after = write(p, kSetB);
  int status = -1;
  if (child > 0) ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ASSERT_TRUE(held);
  EXPECT_EQ(waited, "build: timed out after 0.2 s");
  EXPECT_EQ(while_held, kSetA.at("Cargo.toml"));
  EXPECT_EQ(after, "");
  EXPECT_EQ(read_file(p / "Cargo.toml"), kSetB.at("Cargo.toml"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Waiting for a held folder stops when the build control says so, before anything is written.
TEST(BuilderWriteProjectLock, WaitStopsWhenTold) {
  TempDir tmp;
  const fs::path p = tmp / "p";
  struct Case {
    const char* what;
    BuildControl control;
    std::string expected;
  };
  Case cases[] = {
      {"time limit", BuildControl(0.2, nullptr), "build: timed out after 0.2 s"},
      {"no time at all", BuildControl(0.0, nullptr), "build: timed out after 0 s"},
      {"cancelled", BuildControl(std::nullopt, [] { return true; }), "build: cancelled"},
      {"cancelled on the third ask",
       BuildControl(std::nullopt, [n = 0]() mutable { return ++n == 3; }), "build: cancelled"},
  };
  {
    auto held = write_project(p, kSetA);
    ASSERT_TRUE(held);
    make_old(p);
    const auto before = tree_of(p);
    for (const Case& c : cases) {
      EXPECT_EQ(write(p, kSetB, c.control), c.expected) << c.what;
      EXPECT_EQ(tree_of(p), before) << c.what;
    }
  }
  EXPECT_EQ(write(p, kSetB), "");
  EXPECT_EQ(names_in(p), layout(kSetB));
}

}  // namespace
}  // namespace orvane::builder
