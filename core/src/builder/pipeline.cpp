#include "builder/pipeline.hpp"

#include <future>
#include <optional>
#include <system_error>

#include "builder/crate_name.hpp"
#include "builder/digests.hpp"
#include "builder/project_files.hpp"
#include "builder/read_file.hpp"
#include "builder/target_table.hpp"
#include "builder/versions.hpp"
#include "canonical/sha256.hpp"
#include "canonical/tuning.hpp"
#include "canonical/writer.hpp"
#include "schema/compile_spec_schema.hpp"
#include "schema/strategy.hpp"

namespace orvane::builder {

namespace {

struct CsvFile {
  std::string text;
  std::string sha256;
};

// Reads the CSV dataset whole; it is checked as UTF-8 and digested while it is read.
std::expected<CsvFile, CompileError> read_csv(const std::string& path) {
  json::Sha256 sha;
  Utf8Check utf8;
  auto bytes = read_whole_file(
      path, [&](std::string_view piece) { sha.update(piece); },
      [&](std::string_view piece) { utf8.feed(piece); });
  if (!bytes) {
    return std::unexpected(
        CompileError{ErrorKind::Io, "reading " + path + ": " + read_error_text(bytes.error())});
  }
  if (!utf8.finish()) {
    return std::unexpected(
        CompileError{ErrorKind::Io, "reading " + path + ": stream did not contain valid UTF-8"});
  }
  return CsvFile{std::move(*bytes), sha.hex()};
}

constexpr std::size_t kParallelDigestBytes = tuning::kParallelDigestBytes;
constexpr std::size_t kParallelCandles = tuning::kParallelCandles;

// The dataset as it goes into the project, with the digests already taken of it on the way.
struct Dataset {
  EmbeddedData data;
  KnownDigests known_digests;
  std::optional<std::string> spec_hash;  // taken while the candles were written (fast path)
};

// Fast path for many inline candles: both digests of their text (as a file, and within
// spec_hash) are taken on a second thread, a piece behind the writer, while the text is
// written and still in the cache.
Dataset candles_digested_while_written(const schema::CompileSpec& spec,
                                       const schema::JsonArray& candles,
                                       const std::string& spec_text) {
  auto [before, after] = schema::canonical_compile_spec_around_candles(spec, spec_text);
  auto digested = json::canonical_json_digested(candles.value, before, after);
  Dataset out;
  out.known_digests.emplace("src/candles.json", std::move(digested.text_sha256));
  out.spec_hash = std::move(digested.framed_sha256);
  out.data = InlineCandlesText{std::move(digested.text)};
  return out;
}

std::expected<Dataset, CompileError> dataset(const schema::CompileSpec& spec,
                                             const std::string& spec_text) {
  Dataset out;
  if (!spec.embed_data) return out;
  if (const auto* csv = std::get_if<schema::CsvData>(&*spec.embed_data)) {
    auto csv_file = read_csv(csv->path);  // digested while it is read
    if (!csv_file) return std::unexpected(std::move(csv_file.error()));
    out.data = CsvText{std::move(csv_file->text)};
    out.known_digests.emplace("src/candles.csv", std::move(csv_file->sha256));
    return out;
  }
  const schema::JsonArray& candles = std::get<schema::InlineData>(*spec.embed_data).candles;
  if (candles.value.size() >= kParallelCandles) {
    return candles_digested_while_written(spec, candles, spec_text);
  }
  out.data = InlineCandlesText{json::canonical_json(candles.value)};
  return out;
}

// Fast path for a large candle text not digested while written: it is digested twice
// (within spec_hash and as a file), side by side. The future joins its thread on every way
// out and hands back what the digest threw; when no thread can be started, both digests are
// taken here.
void digest_side_by_side(const schema::CompileSpec& spec, const FileSet& files,
                         const KnownDigests& known, std::string_view strategy_text,
                         std::string_view candles_text, Manifest& m) {
  auto digest_spec = [&] { return spec_hash(spec, strategy_text, candles_text); };
  std::future<std::string> side;
  try {
    side = std::async(std::launch::async, digest_spec);
  } catch (const std::system_error&) {
  }
  m.files = file_digests(files, known);
  m.spec_hash = side.valid() ? side.get() : digest_spec();
}

}  // namespace

std::expected<GeneratedProject, CompileError> generate_project(const schema::CompileSpec& spec) {
  if (auto checked = schema::decode_strategy_spec(spec.strategy); !checked) {
    return std::unexpected(CompileError{
        ErrorKind::BadSpec, "strategy is not a valid StrategySpec: " + checked.error().message});
  }
  auto crate = derive_crate_name(spec.crate_name, spec.strategy);
  if (!crate) return std::unexpected(std::move(crate.error()));
  if (auto t = check_target(spec.target); !t) return std::unexpected(std::move(t.error()));

  std::string spec_text = json::canonical_json(spec.strategy);
  auto data = dataset(spec, spec_text);
  if (!data) return std::unexpected(std::move(data.error()));

  GeneratedProject out;
  Manifest& m = out.manifest;
  m.compiler_version = kCompilerVersion;
  m.target = spec.target;
  m.opt_level = spec.opt_level;
  m.crate_name = *crate;
  m.backtest_dep = kBacktestDep;

  const bool inline_data = std::holds_alternative<InlineCandlesText>(data->data);
  out.files = project_files(spec.target, *crate, profile_snippet(spec.opt_level),
                            std::move(spec_text), std::move(data->data));
  // spec_hash covers the strategy and candle texts, read where the file set holds them.
  std::string_view strategy_view = out.files.find("src/spec.json")->second;
  std::string_view candles_view =
      inline_data ? std::string_view(out.files.find("src/candles.json")->second) : "";
  if (data->spec_hash) {
    m.spec_hash = std::move(*data->spec_hash);
    m.files = file_digests(out.files, data->known_digests);
  } else if (candles_view.size() >= kParallelDigestBytes) {
    digest_side_by_side(spec, out.files, data->known_digests, strategy_view, candles_view, m);
  } else {
    m.spec_hash = spec_hash(spec, strategy_view, candles_view);
    m.files = file_digests(out.files, data->known_digests);
  }
  m.project_hash = project_hash(m.files);
  return out;
}

}  // namespace orvane::builder
