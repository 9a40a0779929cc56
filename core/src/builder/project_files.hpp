#pragma once
// The file set of a generated cargo project.
#include <array>
#include <string>
#include <string_view>
#include <variant>

#include "builder/file_set.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::builder {

// The dataset as it goes into the project, already in text form: the CSV file's contents
// ("src/candles.csv") or the canonical text of the candle array ("src/candles.json").
struct CsvText {
  std::string text;
};
struct InlineCandlesText {
  std::string text;
};
using EmbeddedData = std::variant<std::monostate, CsvText, InlineCandlesText>;

// Takes the texts by rvalue so a dataset of any size is moved into the set, never copied.
// The crate name and target must already have been checked.
FileSet project_files(const schema::Target& target, std::string_view crate_name,
                      std::string_view profile, std::string&& spec_text, EmbeddedData&& dataset);

// Every path that some request's file set holds, in byte-wise order: the files the compiler
// owns in a project folder. One of them missing from the current set is a leftover of an
// earlier request and is removed when the project is written.
inline constexpr std::array<std::string_view, 7> kOwnedPaths = {
    ".cargo/config.toml", "Cargo.toml",  "src/candles.csv", "src/candles.json",
    "src/lib.rs",         "src/main.rs", "src/spec.json",
};

// Whether a file of the set is rendered from a template; the others ("src/spec.json" and the
// dataset) carry the request's own strategy and data.
bool from_template(std::string_view path);

}  // namespace orvane::builder
