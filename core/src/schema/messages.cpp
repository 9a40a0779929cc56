#include "schema/messages.hpp"

#include <utf8proc.h>

#include <cstdio>

#include "json/number.hpp"
#include "json/reader.hpp"

namespace orvane::schema {

namespace {

bool escaped_as_code_point(utf8proc_int32_t cp) {
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME: return true;
    case UTF8PROC_CATEGORY_ZS: return cp != ' ';
    default: return false;
  }
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = utf8proc_ssize_t(text.size());
  while (left > 0) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {  // not UTF-8: cannot come from a JSON string, shown as U+FFFD
      cp = 0xFFFD;
      n = 1;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (escaped_as_code_point(cp)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(cp));
          out += buf;
        } else {
          out.append(reinterpret_cast<const char*>(p), std::size_t(n));
        }
    }
    p += n;
    left -= n;
  }
  out += '"';
  return out;
}

std::string name_list(std::span<const std::string_view> names) {
  std::string out;
  auto tick = [&](std::string_view n) {
    out += '`';
    out += n;
    out += '`';
  };
  if (names.size() == 1) {
    tick(names[0]);
  } else if (names.size() == 2) {
    tick(names[0]);
    out += " or ";
    tick(names[1]);
  } else {
    out += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) out += ", ";
      tick(names[i]);
    }
  }
  return out;
}

namespace found {
std::string boolean(bool b) { return b ? "boolean `true`" : "boolean `false`"; }
std::string integer(std::string_view literal) {
  return "integer `" + std::string(literal) + "`";
}
std::string floating(double v) { return "floating point `" + json::format_float(v) + "`"; }
std::string string(std::string_view s) { return "string " + quoted(s); }
std::string of(json::Value v) {
  switch (v.kind()) {
    case json::Kind::Null: return std::string(kNull);
    case json::Kind::Bool: return boolean(v.as_bool());
    case json::Kind::UInt:
    case json::Kind::NegInt: return integer(v.literal());
    case json::Kind::Float: return floating(v.as_double());
    case json::Kind::String: return string(v.as_string());
    case json::Kind::Array: return std::string(kSequence);
    case json::Kind::Object: return std::string(kMap);
  }
  return std::string(kNull);
}
}  // namespace found

namespace wanted {
std::string tuple(std::size_t n) { return "a tuple of size " + std::to_string(n); }
std::string record(std::string_view name) { return "struct " + std::string(name); }
std::string record_len(std::string_view name, std::size_t fields) {
  return "struct " + std::string(name) + " with " + std::to_string(fields) +
         (fields == 1 ? " element" : " elements");
}
std::string variant_len(std::string_view name, std::size_t fields) {
  return "struct variant " + std::string(name) + " with " + std::to_string(fields) +
         (fields == 1 ? " element" : " elements");
}
std::string tagged(std::string_view type) { return "internally tagged enum " + std::string(type); }
}  // namespace wanted

std::string missing_field(std::string_view key) {
  return "missing field `" + std::string(key) + "`";
}
std::string duplicate_field(std::string_view key) {
  return "duplicate field `" + std::string(key) + "`";
}
std::string unknown_variant(std::string_view given, std::span<const std::string_view> names) {
  return "unknown variant `" + std::string(given) + "`, expected " + name_list(names);
}
std::string invalid_type(std::string_view found, std::string_view wanted) {
  return "invalid type: " + std::string(found) + ", expected " + std::string(wanted);
}
std::string invalid_value(std::string_view found, std::string_view wanted) {
  return "invalid value: " + std::string(found) + ", expected " + std::string(wanted);
}
std::string unknown_field(std::string_view given, std::span<const std::string_view> declared,
                          std::optional<std::string_view> close) {
  std::string out = "unknown field `" + std::string(given) + "`";
  if (close) return out + ", did you mean `" + std::string(*close) + "`?";
  if (declared.empty()) return out + ", there are no fields";
  return out + ", expected " + name_list(declared);
}
std::string undeclared_indicator(std::string_view given, std::optional<std::string_view> close) {
  std::string out = "indicator `" + std::string(given) + "` is not declared in `indicators`";
  if (close) out += ", did you mean `" + std::string(*close) + "`?";
  return out;
}
int strategy_depth() { return json::kMaxDepth - kRequestLevelsAboveStrategy; }
std::string strategy_too_deep() {
  return "the strategy nests deeper than the " + std::to_string(strategy_depth()) +
         " levels of arrays and objects a strategy may use";
}
std::string strategy_too_deep_hint() {
  return "a request is read to " + std::to_string(json::kMaxDepth) +
         " levels, and the strategy stands inside two of them (the request and its `spec`)";
}
std::string invalid_length(std::size_t n, std::string_view wanted) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(wanted);
}

}  // namespace orvane::schema
