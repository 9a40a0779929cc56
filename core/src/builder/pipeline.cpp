#include "builder/pipeline.hpp"

#include <algorithm>
#include <future>
#include <optional>
#include <system_error>

#include "builder/crate_name.hpp"
#include "builder/digests.hpp"
#include "builder/project_files.hpp"
#include "builder/read_file.hpp"
#include "builder/target_table.hpp"
#include "versions.hpp"
#include "json/page_warmer.hpp"
#include "json/sha256.hpp"
#include "json/streamed_digests.hpp"
#include "json/tuning.hpp"
#include "json/writer.hpp"
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
    bytes.error().field = "embed_data.path";
    return std::unexpected(std::move(bytes.error()));
  }
  if (!utf8.finish()) {
    return std::unexpected(
        CompileError{ErrorKind::Io, "reading " + path + ": stream did not contain valid UTF-8",
                     "embed_data.path"});
  }
  return CsvFile{std::move(*bytes), sha.hex()};
}

constexpr std::size_t kParallelDigestBytes = tuning::kParallelDigestBytes;
constexpr std::size_t kParallelCandles = tuning::kParallelCandles;

// What the dataset adds to the project: its text, and the digests already known of it. The
// plain path writes a candle array's canonical text; many candles take the named fast path,
// where both digests of their text (as a file, and within spec_hash) are taken on a second
// thread while the text is written.
struct Dataset {
  EmbeddedData data;
  KnownDigests known_digests;
  std::optional<std::string> spec_digest;
  // The length of a candle text digested as it was written and not kept.
  std::optional<std::size_t> streamed_bytes;
};

std::expected<void, CompileError> embed_dataset(const schema::CompileSpec& spec,
                                                const std::string& spec_text, FileTexts texts,
                                                Dataset& out) {
  if (!spec.embed_data) return {};
  if (const auto* csv = std::get_if<schema::CsvData>(&*spec.embed_data)) {
    auto csv_file = read_csv(csv->path);
    if (!csv_file) return std::unexpected(std::move(csv_file.error()));
    out.data = CsvText{std::move(csv_file->text)};
    out.known_digests.emplace("src/candles.csv", std::move(csv_file->sha256));
    return {};
  }
  const schema::JsonArray& candles = std::get<schema::InlineData>(*spec.embed_data).candles;
  if (candles.value.size() < kParallelCandles) {
    out.data = InlineCandlesText{json::canonical_json(candles.value)};
    return {};
  }
  auto [before, after] = schema::canonical_compile_spec_around_candles(spec, spec_text);
  if (texts == FileTexts::DigestsOnly) {
    // Only the digests are wanted: the text is digested a piece at a time and never held; a
    // second thread digests beside the writer only when a core is free for it.
    auto streamed = json::canonical_json_streamed(candles.value, before, after,
                                                  json::second_core_free());
    out.known_digests.emplace("src/candles.json", std::move(streamed.text_sha256));
    out.spec_digest = std::move(streamed.framed_sha256);
    out.streamed_bytes = streamed.text_bytes;
    out.data = InlineCandlesText{};
    return {};
  }
  auto digested = json::canonical_json_digested(candles.value, before, after);
  out.known_digests.emplace("src/candles.json", std::move(digested.text_sha256));
  out.spec_digest = std::move(digested.framed_sha256);
  out.data = InlineCandlesText{std::move(digested.text)};
  return {};
}

// spec_hash and the digest of every file. spec_hash covers the strategy and candle texts, read
// where the file set holds them; a large candle text is digested twice (within spec_hash and
// as a file), side by side when a core is free for the second digest: the named fast path.
void digest_project(const schema::CompileSpec& spec, GeneratedProject& out, Dataset& dataset,
                    bool inline_data) {
  Manifest& m = out.manifest;
  std::string_view strategy_view = out.files.find("src/spec.json")->second;
  std::string_view candles_view =
      inline_data ? std::string_view(out.files.find("src/candles.json")->second) : "";
  if (dataset.spec_digest) {
    m.spec_hash = std::move(*dataset.spec_digest);
    m.files = file_digests(out.files, dataset.known_digests);
    if (dataset.streamed_bytes) {
      for (ManifestFile& f : m.files) {
        if (f.path == "src/candles.json") f.bytes_len = *dataset.streamed_bytes;
      }
    }
  } else if (candles_view.size() >= kParallelDigestBytes && json::second_core_free()) {
    // The future joins its thread on every way out and hands back what the digest threw;
    // when no thread can be started, both digests are taken here.
    auto digest_spec = [&] { return spec_hash(spec, strategy_view, candles_view); };
    std::future<std::string> side;
    try {
      side = std::async(std::launch::async, digest_spec);
    } catch (const std::system_error&) {
    }
    m.files = file_digests(out.files, dataset.known_digests);
    m.spec_hash = side.valid() ? side.get() : digest_spec();
  } else {
    m.spec_hash = spec_hash(spec, strategy_view, candles_view);
    m.files = file_digests(out.files, dataset.known_digests);
  }
  m.project_hash = project_hash(m.files);
}

// The strategy's canonical text. The named fast path checks the strategy while it writes the
// text, in one walk that builds nothing (checked_strategy_text); a strategy it refuses is
// decoded (unless that was done already) for the words of its fault. The plain path beside
// it, the generic writer, writes the text should the decoder accept what the walk refused.
std::expected<std::string, CompileError> strategy_text(const schema::CompileSpec& spec,
                                                       bool strategy_checked) {
  if (auto text = checked_strategy_text(spec.strategy)) return std::move(*text);
  if (!strategy_checked) {
    if (auto checked = schema::decode_strategy_spec(spec.strategy); !checked) {
      return std::unexpected(CompileError{
          ErrorKind::BadSpec, "strategy is not a valid StrategySpec: " + checked.error().message,
          "strategy"});
    }
  }
  return json::canonical_json(spec.strategy);
}

}  // namespace

std::optional<std::string> checked_strategy_text(json::Value strategy, schema::CheckNotes* notes) {
  std::string text;
  // The canonical text is about as long as the source; small documents grow no further.
  text.reserve(std::min<std::size_t>(strategy.document()->source().size(), std::size_t(1) << 16));
  if (schema::write_checked_strategy(strategy, text, notes)) return text;
  return std::nullopt;
}

std::expected<GeneratedProject, CompileError> generate_project(const schema::CompileSpec& spec,
                                                               bool strategy_checked,
                                                               FileTexts texts,
                                                               std::string* strategy_text_written) {
  auto text = strategy_text_written
                  ? std::expected<std::string, CompileError>(std::move(*strategy_text_written))
                  : strategy_text(spec, strategy_checked);
  if (!text) return std::unexpected(std::move(text.error()));
  std::string spec_text = std::move(*text);
  auto crate = derive_crate_name(spec.crate_name, spec.strategy);
  if (!crate) return std::unexpected(std::move(crate.error()));
  if (auto t = check_target(spec.target); !t) return std::unexpected(std::move(t.error()));

  Dataset dataset;
  if (auto embedded = embed_dataset(spec, spec_text, texts, dataset); !embedded) {
    return std::unexpected(std::move(embedded.error()));
  }

  GeneratedProject out;
  Manifest& m = out.manifest;
  m.compiler_version = kCompilerVersion;
  m.target = spec.target;
  m.opt_level = spec.opt_level;
  m.crate_name = *crate;
  m.backtest_dep = kBacktestDep;
  const bool inline_data = std::holds_alternative<InlineCandlesText>(dataset.data);
  out.files = project_files(spec.target, *crate, profile_snippet(spec.opt_level),
                            std::move(spec_text), std::move(dataset.data));
  digest_project(spec, out, dataset, inline_data);
  return out;
}

}  // namespace orvane::builder
