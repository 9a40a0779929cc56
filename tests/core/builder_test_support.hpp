#pragma once
// Scratch directories, files and environment for the builder tests.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <cstdio>
#include <string>
#include <string_view>

#include "schema/compile_spec.hpp"

namespace orvane::builder::testing {

namespace fs = std::filesystem;

// A fresh directory under the system temp dir, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvane-builder-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& p, std::string_view contents) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << contents;
}

inline void write_script(const fs::path& p, std::string_view body) {
  write_file(p, body);
  fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

// Sets (or, given nullopt, removes) an environment variable for one scope and puts the old
// value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Standard output of a shell command (test plumbing only; the builder itself uses no shell).
inline std::string capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    ::pclose(pipe);
  }
  return out;
}

// Debian's packaged crate sources, where the offline real-cargo tests find dependencies.
inline const fs::path kCrateRegistry = "/usr/share/cargo/registry";

// Makes cargo, in any project below `root`, take crates from kCrateRegistry and
// orvane-backtest from an empty stand-in, offline, whatever the project's own config says.
inline void serve_offline_crates(const fs::path& root) {
  write_file(root / ".cargo/config.toml",
             "[source.crates-io]\nreplace-with = \"packaged\"\n\n"
             "[source.packaged]\ndirectory = \"" + kCrateRegistry.string() + "\"\n\n"
             "[patch.crates-io]\norvane-backtest = { path = \"" + (root / "backtest").string() +
                 "\" }\n\n[net]\noffline = true\n");
  write_file(root / "backtest/Cargo.toml",
             "[package]\nname = \"orvane-backtest\"\nversion = \"0.1.5\"\nedition = \"2021\"\n\n"
             "[workspace]\n");
  write_file(root / "backtest/src/lib.rs", "");
}

inline schema::Target wasm() { return {schema::TargetKind::Wasm, ""}; }
inline schema::Target binary() { return {schema::TargetKind::Binary, ""}; }
inline schema::Target no_std(std::string mcu) { return {schema::TargetKind::NoStd, std::move(mcu)}; }

}  // namespace orvane::builder::testing
