#pragma once
// The digests that fingerprint a request and a generated project.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "builder/pipeline.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::builder {

// SHA-256 over the canonical text of the written compile spec. `strategy_text` and
// `candles_text` are the canonical texts of the strategy and of the inline candle array.
std::string spec_hash(const schema::CompileSpec& spec, std::string_view strategy_text,
                      std::string_view candles_text);

// Digests already taken, by path (a file digested while it was read).
using KnownDigests = std::map<std::string, std::string, std::less<>>;

// One entry per file, in the set's order, each file digested once.
std::vector<ManifestFile> file_digests(const FileSet& files, const KnownDigests& known = {});

// SHA-256 over "path\nsha256\n" for every file in order.
std::string project_hash(const std::vector<ManifestFile>& files);

}  // namespace orvane::builder
