#include "schema/decode.hpp"

#include <limits>

#include "canonical/number.hpp"

namespace orvane::schema {

std::string describe(const SchemaError& e, std::string_view text) {
  if (!e.index) return e.message;
  return e.message + json::position_suffix(text, *e.index);
}

std::vector<json::Value> elements_of(json::Value array) {
  std::vector<json::Value> out;
  array.for_each_element([&](json::Value e) {
    out.push_back(e);
    return true;
  });
  return out;
}

Decoded<std::string> found_in_text(TextIn& in) {
  json::Reader& r = in.reader;
  int c = r.skip_ws();
  switch (c) {
    case 'n':
      r.eat();
      if (auto e = r.parse_ident("ull"); !e) return fail(std::move(e.error()));
      return std::string(found::kNull);
    case 't':
    case 'f': {
      r.eat();
      if (auto e = r.parse_ident(c == 't' ? "rue" : "alse"); !e) return fail(std::move(e.error()));
      return found::boolean(c == 't');
    }
    case '"': {
      r.eat();
      auto s = r.parse_string(in.scratch);
      if (!s) return fail(std::move(s.error()));
      return found::string(*s);
    }
    case '[': return std::string(found::kSequence);
    case '{': return std::string(found::kMap);
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        auto n = r.parse_number();
        if (!n) return fail(std::move(n.error()));
        std::string_view lit = r.text().substr(n->offset, n->len);
        if (n->kind == json::Kind::Float) return found::floating(json::literal_to_double(lit));
        return found::integer(lit);
      }
      return fail(r.peek_error(json::msg::kExpectedValue));
  }
}

std::unexpected<SchemaError> wrong_kind_in_text(TextIn& in, std::string_view wanted) {
  auto f = found_in_text(in);
  if (!f) return std::unexpected(std::move(f.error()));
  return fail(invalid_type(*f, wanted));
}

// ---- scalars from values ----

Decoded<bool> Codec<bool>::from_value(json::Value v) {
  if (v.kind() == json::Kind::Bool) return v.as_bool();
  return fail(invalid_type(found::of(v), wanted::kBoolean));
}

Decoded<std::string> Codec<std::string>::from_value(json::Value v) {
  if (v.kind() == json::Kind::String) return std::string(v.as_string());
  return fail(invalid_type(found::of(v), wanted::kString));
}

Decoded<double> Codec<double>::from_value(json::Value v) {
  if (v.is_number()) return v.as_double();
  return fail(invalid_type(found::of(v), wanted::kF64));
}

Decoded<std::uint32_t> Codec<std::uint32_t>::from_value(json::Value v) {
  switch (v.kind()) {
    case json::Kind::UInt: {
      std::uint64_t n = v.as_uint();
      if (n > std::numeric_limits<std::uint32_t>::max()) {
        return fail(invalid_value(found::integer(v.literal()), wanted::kU32));
      }
      return std::uint32_t(n);
    }
    case json::Kind::NegInt: return fail(invalid_value(found::integer(v.literal()), wanted::kU32));
    default: return fail(invalid_type(found::of(v), wanted::kU32));
  }
}

// ---- scalars from text ----

Decoded<bool> Codec<bool>::from_text(TextIn& in) {
  json::Reader& r = in.reader;
  int c = r.skip_ws();
  if (c == 't' || c == 'f') {
    r.eat();
    if (auto e = r.parse_ident(c == 't' ? "rue" : "alse"); !e) return fail(std::move(e.error()));
    return c == 't';
  }
  if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
  return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::kBoolean).error()));
}

Decoded<std::string> Codec<std::string>::from_text(TextIn& in) {
  json::Reader& r = in.reader;
  int c = r.skip_ws();
  if (c == '"') {
    r.eat();
    auto s = r.parse_string(in.scratch);
    if (!s) return fail(std::move(s.error()));
    return std::string(*s);
  }
  if (c < 0) return fail(r.peek_error(json::msg::kEofValue));
  return std::unexpected(in.fix(wrong_kind_in_text(in, wanted::kString).error()));
}

Decoded<json::Value> Codec<json::Value>::from_text(TextIn& in) {
  auto v = in.reader.parse_value(in.doc);
  if (!v) return fail(std::move(v.error()));
  return in.doc.value(*v);
}

}  // namespace orvane::schema
