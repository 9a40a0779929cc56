#include "builder/project_files.hpp"

#include <array>

#include "builder/target_table.hpp"
#include "versions.hpp"
#include "builder/templates.hpp"

namespace orvane::builder {

FileSet project_files(const schema::Target& target, std::string_view crate_name,
                      std::string_view profile, std::string&& spec_text, EmbeddedData&& dataset) {
  const std::array<Substitution, 3> table = {{
      {"crate_name", crate_name},
      {"backtest_dep", kBacktestDep},
      {"profile", profile},
  }};
  FileSet files;
  files.insert_or_assign("Cargo.toml", render_template(manifest_template(target.kind), table));
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
