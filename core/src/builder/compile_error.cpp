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

std::string_view error_kind_name(ErrorKind kind) {
  const std::string_view prefix = error_prefix(kind);
  return prefix.substr(0, prefix.size() - 2);  // without ": "
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

CompileError system_error(ErrorKind kind, std::string_view doing, std::string_view subject,
                          int errnum) {
  std::string message(doing);
  message += ' ';
  message += subject;
  message += ": ";
  message += system_error_text(errnum);
  return CompileError{kind, std::move(message)};
}

}  // namespace orvane::builder
