#pragma once
// The failure value of the compile pipeline and the build driver.
#include <string>
#include <string_view>

namespace orvane::builder {

enum class ErrorKind { Parse, BadSpec, BadTarget, Codegen, Build, Io };

struct CompileError {
  ErrorKind kind;
  std::string message;
  // The member of the compile spec the fault is about, as a dotted path ("target.mcu"), when
  // there is one.
  std::string_view field = {};
  // What to do about it, when the message ends in advice ("set `crate_name`"); shown after
  // "; " in the answer, and handed over as data beside the message.
  std::string_view hint = {};
  // Whether `field` is a member of the request itself ("out_dir", "build.cache_dir") rather
  // than of its compile spec.
  bool field_in_request = false;

  // The kind's prefix, the message and the hint: the text that goes into `error`.
  std::string display() const;
};

// The kind's name as data ("bad spec"), and as the start of the answer's text ("bad spec: ").
std::string_view error_kind_name(ErrorKind kind);
std::string_view error_prefix(ErrorKind kind);

// The operating system's description of `errnum` followed by " (os error N)".
std::string system_error_text(int errnum);

// A failed system call as the pipeline's failure, where an errno meets the builder's callers:
// "<doing> <subject>: " and the system's description ("reading /x: No such file ...").
CompileError system_error(ErrorKind kind, std::string_view doing, std::string_view subject,
                          int errnum);

}  // namespace orvane::builder
