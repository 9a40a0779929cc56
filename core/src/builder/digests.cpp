#include "builder/digests.hpp"

#include <array>

#include "builder/project_files.hpp"
#include "json/sha256.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane::builder {

std::string spec_hash(const schema::CompileSpec& spec, std::string_view strategy_text,
                      std::string_view candles_text) {
  json::Sha256 sha;
  schema::write_compile_spec_canonical(spec, strategy_text, candles_text,
                                     [&](std::string_view piece) { sha.update(piece); });
  return sha.hex();
}

namespace {

// The files rendered from templates are mostly the same from one request to the next (the
// sources are fixed texts, the manifests differ only by crate name and level), so a service
// that compiles many small strategies digests them once per thread. The strategy and its
// data are the request's own: they are always digested.
class DigestMemo {
 public:
  json::HexDigest digest(const std::string& contents) {
    if (contents.size() > kMaxRemembered) return json::sha256_digest(contents);
    for (auto& e : entries_) {
      if (e.known && e.contents == contents) return e.digest;
    }
    json::HexDigest d = json::sha256_digest(contents);
    entries_[next_] = Entry{contents, d, true};
    next_ = (next_ + 1) % entries_.size();
    return d;
  }

 private:
  static constexpr std::size_t kMaxRemembered = 4096;
  struct Entry {
    std::string contents;
    json::HexDigest digest;
    bool known = false;
  };
  std::array<Entry, 8> entries_;
  std::size_t next_ = 0;
};

}  // namespace

std::vector<ManifestFile> file_digests(const FileSet& files, const KnownDigests& known) {
  thread_local DigestMemo memo;
  std::vector<ManifestFile> out;
  out.reserve(files.size());
  for (const auto& [path, contents] : files) {
    auto k = known.find(path);
    std::string digest = k != known.end()      ? k->second
                         : from_template(path) ? memo.digest(contents).str()
                                               : json::sha256_hex(contents);
    out.push_back(ManifestFile{path, std::move(digest), contents.size()});
  }
  return out;
}

std::string project_hash(const std::vector<ManifestFile>& files) {
  // The listing is digested as it is read out, never gathered into one text.
  json::Sha256 sha;
  for (const auto& f : files) {
    sha.update(f.path);
    sha.update("\n");
    sha.update(f.sha256);
    sha.update("\n");
  }
  return sha.hex();
}

}  // namespace orvane::builder
