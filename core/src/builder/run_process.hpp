#pragma once
// Runs a tool to completion, the way the build driver needs it: found on the host's PATH, in a
// given directory, in a process group of its own, with nothing on standard input and both
// output streams drained together, stoppable by a time limit or the caller.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "builder/build_control.hpp"
#include "builder/compile_error.hpp"

namespace orvane::builder {

struct ProcessResult {
  enum class Ending {
    Exited,    // `code` is the exit status
    Signalled, // `code` is the signal that ended it
    Unknown,   // it ended, but how is lost: its supervisor was killed from outside
    Stopped,   // stopped by the BuildControl, for `stop_reason`
  };
  Ending ending = Ending::Unknown;
  int code = 0;
  std::string stop_reason;
  // Standard error as raw bytes, only its last `stderr_keep` bytes.
  std::string stderr_tail;
  // Standard output as raw bytes, only its first `stdout_keep` bytes; the rest is dropped.
  std::string stdout_head;

  bool succeeded() const { return ending == Ending::Exited && code == 0; }
};

// The first executable regular file called `name` in the directories of PATH, skipping empty
// and relative entries, so that a program is never taken from the working directory. A name
// holding a slash is taken as it is. When there is none, a Build error "spawning <name>: " with
// ENOENT's description (or that of the last candidate's errno, such as EACCES).
std::expected<std::string, CompileError> find_program(const std::string& name);

// The absolute entries of PATH (or of "/bin:/usr/bin" when it is not set), in order: where
// find_program looks, and the PATH the tools it starts are given.
std::vector<std::string> searched_path();

struct ProcessOptions {
  std::span<const std::string> args;  // without the program name
  std::filesystem::path working_dir;
  // When not -1, a held folder the tool starts in instead of `working_dir` (which then only
  // names it).
  int working_dir_fd = -1;
  std::size_t stderr_keep = 0;
  std::size_t stdout_keep = 0;
  // Set in the child's environment on top of the host's.
  std::vector<std::pair<std::string, std::string>> env;
  // When not empty, an absolute folder the tool searches before the PATH's folders (the program
  // itself is still found on the PATH alone).
  std::string path_first;
  const BuildControl* control = nullptr;
  // When not -1, standard output and standard error also go here, a whole line at a time (one
  // write each, so lines of builds sharing the descriptor do not interleave), after the prefix.
  int echo_fd = -1;
  std::string echo_prefix;
};

// Runs `program` (looked up with find_program). Fails with a Build error "spawning <program>: "
// and the description of the errno of finding, starting, reading or waiting. The environment's
// PATH is the one searched: without empty or relative entries. A supervisor process stands
// between the host and the tool: a subreaper in a process group of its own, it passes the tool's
// exit status on (so it is known even when the host has its children reaped for it), and kills
// every process the tool started, including those in sessions of their own, when the tool has
// ended, when the run is stopped, or when the host dies. Nothing of the run outlives the call.
// Once the tool has exited, output that stragglers keep the pipes open for is waited for only a
// moment.
std::expected<ProcessResult, CompileError> run_process(const std::string& program,
                                                       const ProcessOptions& options);

// The same, with only the arguments, the directory and the tail to keep.
std::expected<ProcessResult, CompileError> run_process(const std::string& program,
                                                       std::span<const std::string> args,
                                                       const std::filesystem::path& working_dir,
                                                       std::size_t stderr_keep);

}  // namespace orvane::builder
