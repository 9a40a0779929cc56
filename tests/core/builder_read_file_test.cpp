// Whole-file reading with consumers fed piece by piece, only of regular files, and UTF-8
// checked piece by piece.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "builder/read_file.hpp"
#include "builder/write_project.hpp"

namespace orvane::builder {
namespace {

namespace fs = std::filesystem;

fs::path scratch_dir() {
  fs::path dir = fs::temp_directory_path() / ("orvane_read_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

std::string write_file(const std::string& name, const std::string& bytes) {
  fs::path p = scratch_dir() / name;
  std::ofstream(p, std::ios::binary) << bytes;
  return p.string();
}

TEST(BuilderReadFile, BytesAndPiecesMatchTheFileAtEverySize) {
  // Empty, one byte, either side of 64 KiB, the piecewise threshold (8 MiB) itself, and past
  // it with a short last piece.
  for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65536), std::size_t(65537),
                           std::size_t(8) << 20, (std::size_t(9) << 20) + 7}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = char('a' + (i * 7919) % 26);
    std::string path = write_file("f" + std::to_string(size), bytes);
    std::string pieces, inspected;
    std::size_t calls = 0;
    auto got = read_whole_file(
        path,
        [&](std::string_view p) {
          pieces += p;
          ++calls;
        },
        [&](std::string_view p) { inspected += p; });
    ASSERT_TRUE(got) << size;
    EXPECT_EQ(*got, bytes) << size;
    EXPECT_EQ(pieces, bytes) << size;
    EXPECT_EQ(inspected, bytes) << size;
    if (size == 0) EXPECT_EQ(calls, 0u);
  }
}

TEST(BuilderReadFile, APathHoldingANulWritesNothingUnderAShorterName) {
  fs::path base = scratch_dir() / "nul_out";
  fs::remove_all(base);
  fs::path project = fs::path(base.string() + std::string("A\0B", 3)) / "crate";
  FileSet files{{"src/spec.json", "{}"}};
  auto written = write_project(project, files);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(),
            "io: creating " + (project / "src").string() + ": Invalid argument (os error 22)");
  EXPECT_FALSE(fs::exists(base.string() + "A"));
}

// The bytes read, or the error's text; a read still running after 30 s fails the test and is
// left behind, so that a read that hangs fails the run instead of stopping it.
struct Outcome {
  bool ok;
  std::string text;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << (o.ok ? "bytes \"" : "error \"") << o.text << '"';
}

Outcome read_within_30s(const std::string& path) {
  auto reading = std::make_unique<std::future<Outcome>>(std::async(std::launch::async, [path] {
    auto got = read_whole_file(path);
    if (got) return Outcome{true, std::move(*got)};
    // The reason after the kind and the path it names, or the whole text when it names other.
    std::string text = got.error().display();
    std::string head = "io: reading ";
    head += path;
    head += ": ";
    if (text.starts_with(head)) text.erase(0, head.size());
    return Outcome{false, std::move(text)};
  }));
  if (reading->wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    reading.release();  // its destructor would wait for the thread
    return {false, "still reading after 30 s"};
  }
  return reading->get();
}

// A Unix socket bound at `path`, open until the test ends.
class BoundSocket {
 public:
  explicit BoundSocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && path.size() < sizeof addr.sun_path &&
             ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~BoundSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(BuilderReadFile, OnlyRegularFilesAreRead) {
  const fs::path dir = scratch_dir() / "kinds";
  fs::remove_all(dir);
  fs::create_directories(dir / "subdir");
  const std::string regular = write_file("kinds/regular", "t,c\n1,2\n");
  const std::string empty = write_file("kinds/empty", "");
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, dir / "link_to_fifo");
  // A short path: a socket's name is limited to 107 bytes.
  const std::string sock = "/tmp/orvane_sock_" + std::to_string(::getpid());
  ::unlink(sock.c_str());
  BoundSocket socket(sock);
  ASSERT_TRUE(socket.bound()) << std::strerror(errno);
  const std::string block = (dir / "block").string();
  const bool have_block = ::mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0;
  const int mknod_errno = errno;

  const std::string fifo_reason = "not a regular file (a FIFO)";
  const std::string chr_reason = "not a regular file (a character device)";
  const struct {
    std::string name, path;
    Outcome expected;
  } cases[] = {
      {"regular file", regular, {true, "t,c\n1,2\n"}},
      {"empty regular file", empty, {true, ""}},
      {"absent", (dir / "absent").string(), {false, "No such file or directory (os error 2)"}},
      {"directory", (dir / "subdir").string(), {false, "Is a directory (os error 21)"}},
      {"NUL in the path",
       regular + std::string("\0.wasm", 6),
       {false, "Invalid argument (os error 22)"}},
      {"FIFO without a writer", fifo, {false, fifo_reason}},
      {"symbolic link to a FIFO", (dir / "link_to_fifo").string(), {false, fifo_reason}},
      {"/dev/null", "/dev/null", {false, chr_reason}},
      {"/dev/zero", "/dev/zero", {false, chr_reason}},
      {"Unix socket", sock, {false, "not a regular file (a socket)"}},
      {"block device", block, {false, "not a regular file (a block device)"}},
  };
  for (const auto& c : cases) {
    if (c.name == "block device" && !have_block) {
      std::cout << "no block device node could be made here: " << std::strerror(mknod_errno)
                << "\n";
      continue;
    }
    EXPECT_EQ(read_within_30s(c.path), c.expected) << c.name;
  }
  ::unlink(sock.c_str());
}

TEST(BuilderReadFile, ARegularFileThatTellsNoSizeIsReadToItsEnd) {
  // The files of /proc report a size of 0 whatever they hold.
  const std::string path = "/proc/self/cmdline";
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  ASSERT_TRUE(S_ISREG(st.st_mode));
  ASSERT_EQ(st.st_size, 0);
  std::ifstream in(path, std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  ASSERT_FALSE(expected.empty());
  std::string pieces, inspected;
  auto got = read_whole_file(
      path, [&](std::string_view p) { pieces += p; }, [&](std::string_view p) { inspected += p; });
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, expected);
  EXPECT_EQ(pieces, expected);
  EXPECT_EQ(inspected, expected);
}

TEST(BuilderReadFile, Utf8CheckedInPiecesCutAnywhere) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ascii, long enough for the word-at-a-time path", true},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBB\xBF", true},
      {"\xC3", false},                  // cut at the end
      {"ab\xE2\x82", false},            // cut at the end
      {"\xC0\xAF", false},              // overlong
      {"\xED\xA0\x80", false},          // a surrogate
      {"\xF4\x90\x80\x80", false},      // beyond U+10FFFF
      {"\x80", false},                  // a lone continuation byte
      {"abc\xE2\x28\xA1", false},       // a bad continuation
      {"0123456789\xF0\x9F\x98\x80", true},
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(is_valid_utf8(text), valid) << text;
    // Every way of cutting the text in two, and one byte at a time.
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      Utf8Check check;
      check.feed(std::string_view(text).substr(0, cut));
      check.feed(std::string_view(text).substr(cut));
      EXPECT_EQ(check.finish(), valid) << text << " cut at " << cut;
    }
    Utf8Check bytewise;
    for (char c : text) bytewise.feed(std::string_view(&c, 1));
    EXPECT_EQ(bytewise.finish(), valid) << text << " byte by byte";
  }
}

}  // namespace
}  // namespace orvane::builder
