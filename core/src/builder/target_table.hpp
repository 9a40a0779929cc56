#pragma once
// What each build target and optimisation level means for a generated project.
#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "builder/compile_error.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::builder {

// The triples a no_std build may name, in the order the `targets` command lists them.
inline constexpr std::array<std::string_view, 7> kMcuAllowList = {
    "thumbv6m-none-eabi",      "thumbv7m-none-eabi",        "thumbv7em-none-eabi",
    "thumbv7em-none-eabihf",   "thumbv8m.main-none-eabi",   "thumbv8m.main-none-eabihf",
    "riscv32imac-unknown-none-elf",
};

inline constexpr std::string_view kWasmTriple = "wasm32-unknown-unknown";

// Rejects only a no_std target whose `mcu` is not exactly one of kMcuAllowList.
std::expected<void, CompileError> check_target(const schema::Target& target);

// The triple cargo builds for: none for binary, which builds for the host.
std::optional<std::string_view> target_triple(const schema::Target& target);

// ".cargo/config.toml" pinning the triple; none for binary, which gets no such file.
std::optional<std::string> cargo_config_text(const schema::Target& target);

// The release-profile section of the generated manifest; empty for debug.
std::string_view profile_snippet(schema::OptLevel level);

}  // namespace orvane::builder
