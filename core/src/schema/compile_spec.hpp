#pragma once
// The compile request's typed parts.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "json/value.hpp"

namespace orvane::schema {

enum class TargetKind { Wasm, Binary, NoStd };

struct Target {
  TargetKind kind = TargetKind::Wasm;
  std::string mcu;  // only for TargetKind::NoStd
  bool operator==(const Target&) const = default;
};

enum class OptLevel { Debug, Release, Size };

std::string_view target_kind_name(TargetKind kind);  // "wasm", "binary", "no_std"
std::string_view opt_level_name(OptLevel level);     // "debug", "release", "size"

struct CsvData {
  std::string path;
};
// A JSON array kept whole as read: a dataset of a million candles stays one value.
struct JsonArray {
  json::Value value;
};
struct InlineData {
  // The candle array as read; it lives in the request's Document.
  JsonArray candles;
};
using DatasetRef = std::variant<CsvData, InlineData>;

struct CompileSpec {
  json::Value strategy;  // the strategy document as received, not yet checked
  Target target;
  OptLevel opt_level = OptLevel::Release;
  std::optional<DatasetRef> embed_data;
  std::optional<std::string> crate_name;
};

}  // namespace orvane::schema
