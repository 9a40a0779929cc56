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

  // The kind's prefix followed by the message: the text that goes into `error`.
  std::string display() const;
};

std::string_view error_prefix(ErrorKind kind);

// The operating system's description of `errnum` followed by " (os error N)".
std::string system_error_text(int errnum);

}  // namespace orvane::builder
