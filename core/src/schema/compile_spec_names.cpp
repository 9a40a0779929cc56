#include "schema/compile_spec.hpp"

namespace orvane::schema {

std::string_view target_kind_name(TargetKind kind) {
  switch (kind) {
    case TargetKind::Wasm: return "wasm";
    case TargetKind::Binary: return "binary";
    case TargetKind::NoStd: return "no_std";
  }
  return "";
}

std::string_view opt_level_name(OptLevel level) {
  switch (level) {
    case OptLevel::Debug: return "debug";
    case OptLevel::Release: return "release";
    case OptLevel::Size: return "size";
  }
  return "";
}

}  // namespace orvane::schema
