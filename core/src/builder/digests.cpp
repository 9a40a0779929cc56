#include "builder/digests.hpp"

#include <array>

#include "builder/project_files.hpp"
#include "json/sha256.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane::builder {

// Strategy texts up to this size are digested side by side with spec_hash (and kept by the
// thread for file_digests); longer ones, seldom seen, one after the other.
constexpr std::size_t kPairedUpTo = std::size_t(1) << 16;

namespace {

// The strategy text is digested twice for a request: framed within spec_hash, and alone as
// src/spec.json. spec_hash takes both at once, side by side (json::sha256_pair), and leaves the
// second here for file_digests, which finds it by the file's contents: a text digested once
// per request is the one digest a dry run of a new strategy cannot remember.
struct StrategyDigest {
  std::string text;
  json::HexDigest digest;
  bool known = false;
};
thread_local StrategyDigest last_strategy;

}  // namespace

std::string spec_hash(const schema::CompileSpec& spec, std::string_view strategy_text,
                      std::string_view candles_text) {
  if (!candles_text.empty() || strategy_text.size() > kPairedUpTo) {
    json::Sha256 sha;
    schema::write_compile_spec_canonical(spec, strategy_text, candles_text,
                                         [&](std::string_view piece) { sha.update(piece); });
    return sha.hex();
  }
  // The framed text is gathered (it is about as long as the strategy's) to be digested beside
  // the strategy text alone.
  thread_local std::string framed;
  framed.clear();
  schema::write_compile_spec_canonical(spec, strategy_text, candles_text,
                                       [&](std::string_view piece) { framed += piece; });
  const json::DigestPair digests = json::sha256_pair(framed, strategy_text);
  last_strategy.text.assign(strategy_text);
  last_strategy.digest = digests.second;
  last_strategy.known = true;
  if (framed.capacity() > 2 * kPairedUpTo) std::string().swap(framed);  // a long crate name
  return digests.first.str();
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
    const bool taken = last_strategy.known && last_strategy.text == contents;
    std::string digest = k != known.end()      ? k->second
                         : from_template(path) ? memo.digest(contents).str()
                         : taken               ? last_strategy.digest.str()
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
