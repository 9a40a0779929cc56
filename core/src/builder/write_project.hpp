#pragma once
// Puts a generated project on disk: creates the directories its files need and writes every
// file, replacing any of the same name. Nothing is ever deleted.
#include <expected>
#include <filesystem>

#include "builder/compile_error.hpp"
#include "builder/file_set.hpp"

namespace orvane::builder {

// Files are written in the set's order; the first failure stops the write and leaves what
// was already written in place.
std::expected<void, CompileError> write_project(const std::filesystem::path& project_dir,
                                                const FileSet& files);

}  // namespace orvane::builder
