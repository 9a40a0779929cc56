#include "builder/digests.hpp"

#include "canonical/sha256.hpp"
#include "spec/compile_spec_schema.hpp"

namespace orvane::builder {

std::string spec_hash(const spec::CompileSpec& spec, std::string_view strategy_text,
                      std::string_view candles_text) {
  json::Sha256 sha;
  spec::write_compile_spec_canonical(spec, strategy_text, candles_text,
                                     [&](std::string_view piece) { sha.update(piece); });
  return sha.hex();
}

std::vector<ManifestFile> file_digests(const FileSet& files) {
  std::vector<ManifestFile> out;
  out.reserve(files.size());
  for (const auto& [path, contents] : files) {
    out.push_back(ManifestFile{path, json::sha256_hex(contents), contents.size()});
  }
  return out;
}

std::string project_hash(const std::vector<ManifestFile>& files) {
  std::string listing;
  for (const auto& f : files) {
    listing += f.path;
    listing += '\n';
    listing += f.sha256;
    listing += '\n';
  }
  return json::sha256_hex(listing);
}

}  // namespace orvane::builder
