#pragma once
// The cargo package name of a generated project: given by the caller or derived from the
// strategy's symbol, and valid either way.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "builder/compile_error.hpp"
#include "json/value.hpp"

namespace orvane::builder {

// ^[a-z][a-z0-9_]*$, with no length limit and no reserved words.
bool is_valid_crate_name(std::string_view name);

// One output character per Unicode scalar value of `symbol`: ASCII letters lower-cased,
// ASCII digits kept, everything else "_".
std::string crate_name_from_symbol(std::string_view symbol);

// A given `crate_name` is taken as is and the strategy is not looked at.
std::expected<std::string, CompileError> derive_crate_name(
    const std::optional<std::string>& crate_name, json::Value strategy);

}  // namespace orvane::builder
