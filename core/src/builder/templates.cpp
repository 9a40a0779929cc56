#include "builder/templates.hpp"

#include <cstddef>

namespace orvane::builder {

namespace embedded {
// Defined by the source that core/embed_templates.cmake generates.
struct File {
  std::string_view name;
  std::string_view text;
};
extern const File kFiles[];
extern const std::size_t kFileCount;
}  // namespace embedded

std::optional<std::string_view> embedded_template(std::string_view file_name) {
  for (std::size_t i = 0; i < embedded::kFileCount; ++i) {
    if (embedded::kFiles[i].name == file_name) return embedded::kFiles[i].text;
  }
  return std::nullopt;
}

namespace {

// Every name asked for here is a file of core/templates, and the build embeds every file
// there, so a miss means one was removed or renamed: it gives an empty text, which the
// template tests catch.
std::string_view required_template(std::string_view file_name) {
  return embedded_template(file_name).value_or(std::string_view());
}

}  // namespace

std::string_view manifest_template(schema::TargetKind kind) {
  switch (kind) {
    case schema::TargetKind::Wasm: return required_template("wasm.Cargo.toml");
    case schema::TargetKind::Binary: return required_template("binary.Cargo.toml");
    case schema::TargetKind::NoStd: return required_template("no_std.Cargo.toml");
  }
  return {};
}

std::string_view source_template(schema::TargetKind kind) {
  switch (kind) {
    case schema::TargetKind::Wasm: return required_template("wasm.lib.rs");
    case schema::TargetKind::Binary: return required_template("binary.main.rs");
    case schema::TargetKind::NoStd: return required_template("no_std.lib.rs");
  }
  return {};
}

std::string_view source_path(schema::TargetKind kind) {
  return kind == schema::TargetKind::Binary ? "src/main.rs" : "src/lib.rs";
}

std::string render_template(std::string_view text, std::span<const Substitution> table) {
  std::string current(text);
  for (const Substitution& row : table) {
    std::string placeholder = "{{" + std::string(row.key) + "}}";
    std::string next;
    next.reserve(current.size());
    std::size_t from = 0;
    std::size_t at = current.find(placeholder);
    while (at != std::string::npos) {
      next.append(current, from, at - from);
      next += row.value;
      from = at + placeholder.size();
      at = current.find(placeholder, from);
    }
    next.append(current, from);
    current = std::move(next);
  }
  return current;
}

}  // namespace orvane::builder
