#pragma once
// Runs a tool to completion, the way the build driver needs it: found through PATH, in a
// given directory, with nothing on standard input and both output streams drained together.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace orvane::builder {

struct ProcessResult {
  bool succeeded = false;  // exited with status 0 (a signal is a failure)
  // Standard error as raw bytes, only its last `stderr_keep` bytes; standard output is dropped.
  std::string stderr_tail;
};

// `args` excludes the program name. Fails with the errno of starting, reading or waiting;
// the child has been reaped either way.
std::expected<ProcessResult, int> run_process(const std::string& program,
                                              std::span<const std::string> args,
                                              const std::filesystem::path& working_dir,
                                              std::size_t stderr_keep);

}  // namespace orvane::builder
