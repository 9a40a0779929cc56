// Whole-file reading with overlapped consumers, and UTF-8 checked piece by piece.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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
  // Sizes around the threaded threshold and the read chunk.
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

TEST(BuilderReadFile, FailuresGiveTheSystemError) {
  EXPECT_EQ(read_whole_file((scratch_dir() / "absent").string()).error(), ENOENT);
  EXPECT_EQ(read_whole_file(scratch_dir().string()).error(), EISDIR);
  // A NUL would cut the path short and name another, existing file.
  std::string real = write_file("real", "secret");
  EXPECT_EQ(read_whole_file(real + std::string("\0.wasm", 6)).error(), EINVAL);
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

TEST(BuilderReadFile, AFileWithoutASizeIsReadToItsEnd) {
  fs::path fifo = scratch_dir() / "fifo";
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string bytes(200000, 'x');
  bytes[199999] = 'y';
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
  std::string pieces, inspected;
  auto got = read_whole_file(
      fifo.string(), [&](std::string_view p) { pieces += p; },
      [&](std::string_view p) { inspected += p; });
  writer.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, bytes);
  EXPECT_EQ(pieces, bytes);
  EXPECT_EQ(inspected, bytes);
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
