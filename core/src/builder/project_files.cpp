#include "builder/project_files.hpp"

#include <array>

#include "builder/target_table.hpp"
#include "versions.hpp"
#include "builder/templates.hpp"

namespace orvane::builder {

namespace {

// A manifest depends only on the target's kind, the level and the crate name, and a service
// mostly compiles a few strategies again and again: each thread keeps the last few it
// rendered, so a request copies its manifest instead of rendering it (four substitution passes
// and their texts). render_template is the plain path, taken for every other request.
class RenderedManifests {
 public:
  const std::string& get(schema::TargetKind kind, std::string_view crate_name,
                         std::string_view profile) {
    for (const Entry& e : entries_) {
      if (e.used && e.kind == kind && e.crate_name == crate_name && e.profile == profile) {
        return e.text;
      }
    }
    const std::array<Substitution, 3> table = {{
        {"crate_name", crate_name},
        {"backtest_dep", kBacktestDep},
        {"profile", profile},
    }};
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    e = Entry{true, kind, std::string(crate_name), std::string(profile),
              render_template(manifest_template(kind), table)};
    return e.text;
  }

 private:
  struct Entry {
    bool used = false;
    schema::TargetKind kind{};
    std::string crate_name, profile, text;
  };
  std::array<Entry, 4> entries_;
  std::size_t next_ = 0;
};

}  // namespace

FileSet project_files(const schema::Target& target, std::string_view crate_name,
                      std::string_view profile, std::string&& spec_text, EmbeddedData&& dataset) {
  thread_local RenderedManifests manifests;
  FileSet files;
  files.insert_or_assign("Cargo.toml", manifests.get(target.kind, crate_name, profile));
  files.insert_or_assign(std::string(source_path(target.kind)),
                         std::string(source_template(target.kind)));
  if (auto config = cargo_config_text(target)) {
    files.insert_or_assign(".cargo/config.toml", std::move(*config));
  }
  files.insert_or_assign("src/spec.json", std::move(spec_text));
  if (auto* csv = std::get_if<CsvText>(&dataset)) {
    files.insert_or_assign("src/candles.csv", std::move(csv->text));
  } else if (auto* candles = std::get_if<InlineCandlesText>(&dataset)) {
    files.insert_or_assign("src/candles.json", std::move(candles->text));
  }
  return files;
}

bool from_template(std::string_view path) {
  return path != "src/spec.json" && path != "src/candles.csv" && path != "src/candles.json";
}

}  // namespace orvane::builder
