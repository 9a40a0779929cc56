#include "builder/compile_error.hpp"

#include <cstring>

namespace orvane::builder {

std::string_view error_prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Parse: return "parse: ";
    case ErrorKind::BadSpec: return "bad spec: ";
    case ErrorKind::BadTarget: return "bad target: ";
    case ErrorKind::Codegen: return "codegen: ";
    case ErrorKind::Build: return "build: ";
    case ErrorKind::Io: return "io: ";
  }
  return "";
}

std::string CompileError::display() const {
  std::string out(error_prefix(kind));
  out += message;
  if (!hint.empty()) {
    out += "; ";
    out += hint;
  }
  return out;
}

std::string system_error_text(int errnum) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace orvane::builder
