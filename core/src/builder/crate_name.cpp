#include "builder/crate_name.hpp"

#include "schema/messages.hpp"

namespace orvane::builder {

namespace {

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

bool is_valid_crate_name(std::string_view name) {
  if (name.empty() || !is_lower(name.front())) return false;
  for (char c : name.substr(1)) {
    if (!is_lower(c) && !is_digit(c) && c != '_') return false;
  }
  return true;
}

std::string crate_name_from_symbol(std::string_view symbol) {
  std::string out;
  out.reserve(symbol.size());
  for (char c : symbol) {
    // A multi-byte character becomes one "_" at its lead byte; its continuation bytes add nothing.
    if (is_continuation(static_cast<unsigned char>(c))) continue;
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else if (is_lower(c) || is_digit(c)) {
      out += c;
    } else {
      out += '_';
    }
  }
  return out;
}

std::expected<std::string, CompileError> derive_crate_name(
    const std::optional<std::string>& crate_name, json::Value strategy) {
  std::string candidate;
  if (crate_name) {
    candidate = *crate_name;
  } else {
    std::optional<json::Value> symbol;
    if (strategy.kind() == json::Kind::Object) symbol = strategy.find("symbol");
    if (!symbol || symbol->kind() != json::Kind::String) {
      return std::unexpected(
          CompileError{ErrorKind::BadSpec,
                       "no crate_name and the strategy has no string `symbol` to derive one",
                       "strategy.symbol"});
    }
    candidate = crate_name_from_symbol(symbol->as_string());
  }
  if (!is_valid_crate_name(candidate)) {
    return std::unexpected(
        CompileError{ErrorKind::BadSpec,
                     "crate name " + schema::quoted(candidate) +
                         " is not a valid identifier (^[a-z][a-z0-9_]*$)",
                     crate_name ? "crate_name" : "strategy.symbol", "set `crate_name`"});
  }
  return candidate;
}

}  // namespace orvane::builder
