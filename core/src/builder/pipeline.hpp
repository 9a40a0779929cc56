#pragma once
// The compile pipeline: a compile spec in, a manifest and the project's file set out, or the
// first error in pipeline order. It only reads (a CSV dataset); it writes nothing.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "builder/compile_error.hpp"
#include "builder/file_set.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::schema {
struct CheckNotes;
}

namespace orvane::builder {

struct ManifestFile {
  std::string path;
  std::string sha256;
  std::uint64_t bytes_len = 0;
};

struct Manifest {
  std::string compiler_version;
  schema::Target target;
  schema::OptLevel opt_level = schema::OptLevel::Release;
  std::string crate_name;
  std::string spec_hash;
  std::string backtest_dep;
  std::vector<ManifestFile> files;
  std::string project_hash;
};

struct GeneratedProject {
  Manifest manifest;
  FileSet files;
};

// What the caller wants of the files: their texts (to write them), or only the manifest (a
// dry run). For the manifest alone a large inline candle text is digested as it is written and
// never held (json/streamed_digests.hpp): its entry in `files` is then empty, and its digest
// and length are in the manifest.
enum class FileTexts { Kept, DigestsOnly };

// The strategy's canonical text, checked as it is written (schema::write_checked_strategy,
// with its `notes` when asked); none when the walk refuses the strategy.
std::optional<std::string> checked_strategy_text(json::Value strategy,
                                                 schema::CheckNotes* notes = nullptr);

// `strategy_checked`: the strategy has been decoded without a fault already, and is not again.
// `strategy_text`: its canonical text, written already by checked_strategy_text (taken from
// there); without it, it is written here.
std::expected<GeneratedProject, CompileError> generate_project(
    const schema::CompileSpec& spec, bool strategy_checked = false,
    FileTexts texts = FileTexts::Kept, std::string* strategy_text = nullptr);

}  // namespace orvane::builder
