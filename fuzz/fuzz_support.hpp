#pragma once
// Shared helpers of the fuzz targets. A broken invariant aborts with a short report on
// standard error, so that libFuzzer keeps the input as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "schema/compile_spec.hpp"

namespace orvane::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view a = {}, std::string_view b = {}) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  if (!a.empty()) std::fprintf(stderr, "  first:  %.*s\n", int(a.size() > 2000 ? 2000 : a.size()), a.data());
  if (!b.empty()) std::fprintf(stderr, "  second: %.*s\n", int(b.size() > 2000 ? 2000 : b.size()), b.data());
  std::abort();
}

#define ORV_CHECK(cond, ...)                                        \
  do {                                                               \
    if (!(cond)) ::orvane::fuzz::broken(#cond, ##__VA_ARGS__);       \
  } while (0)

// Strict UTF-8: shortest forms, no surrogates, nothing past U+10FFFF. This is what a Python
// str encodes to, so it is the precondition of the dispatcher.
inline bool is_strict_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= std::size_t(n)) return false;
    for (int k = 1; k <= n; ++k) {
      unsigned char b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += std::size_t(n) + 1;
  }
  return true;
}

inline std::string compact(json::Value v) { return json::compact_json(v); }

// One text for a whole decoded compile spec, so two decodings compare as strings. Values
// are written compactly, keeping their member order.
inline std::string describe_spec(const schema::CompileSpec& s) {
  std::string out = "strategy=" + compact(s.strategy);
  out += " target=" + std::string(schema::target_kind_name(s.target.kind));
  if (s.target.kind == schema::TargetKind::NoStd) {
    out += "/mcu=";
    json::append_string(out, s.target.mcu);
  }
  out += " opt=" + std::string(schema::opt_level_name(s.opt_level));
  if (s.embed_data) {
    if (const auto* csv = std::get_if<schema::CsvData>(&*s.embed_data)) {
      out += " csv=";
      json::append_string(out, csv->path);
    } else {
      out += " inline=" + compact(std::get<schema::InlineData>(*s.embed_data).candles.value);
    }
  } else {
    out += " no-data";
  }
  if (s.crate_name) {
    out += " crate=";
    json::append_string(out, *s.crate_name);
  } else {
    out += " no-crate";
  }
  return out;
}

}  // namespace orvane::fuzz
