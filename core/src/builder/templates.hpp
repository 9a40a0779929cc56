#pragma once
// The generated projects' constant texts, compiled in from core/templates, and the one
// placeholder substitution applied to the manifests.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "schema/compile_spec.hpp"

namespace orvane::builder {

// A template file by its name under core/templates.
std::optional<std::string_view> embedded_template(std::string_view file_name);

// The "Cargo.toml" template of a target, with its placeholders.
std::string_view manifest_template(schema::TargetKind kind);

// The source file of a target, copied into the project unchanged, and where it goes.
std::string_view source_template(schema::TargetKind kind);
std::string_view source_path(schema::TargetKind kind);  // "src/lib.rs" or "src/main.rs"

// One row of the substitution table: "{{" + key + "}}" is replaced by value.
struct Substitution {
  std::string_view key;
  std::string_view value;
};

// Replaces each row's placeholder in table order, one left-to-right pass per row; a pass
// does not rescan what it inserted.
std::string render_template(std::string_view text, std::span<const Substitution> table);

}  // namespace orvane::builder
