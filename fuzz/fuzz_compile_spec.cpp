// Decoding a compile spec straight from request text.
//  - Deterministic: the same text gives the same spec or the same message and position.
//  - Agrees with decoding the parsed text: both accept with equal values, or both reject.
//  - An accepted spec, written out and decoded again, is the same spec.
#include "fuzz_support.hpp"
#include "schema/compile_spec_schema.hpp"

using namespace orvane;
using fuzz::broken;

namespace {
std::string from_text(std::string_view text, json::Document& doc) {
  auto r = schema::decode_text<schema::CompileSpec>(text, doc);
  if (!r) return "err: " + schema::describe(r.error(), text);
  return "ok: " + fuzz::describe_spec(*r);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  json::Document doc1(text), doc2(text);
  std::string first = from_text(text, doc1);
  std::string second = from_text(text, doc2);
  if (first != second) broken("compile spec decoding is not deterministic", first, second);

  auto parsed = json::parse(text);
  bool text_ok = first.starts_with("ok: ");
  if (!parsed) {
    if (text_ok) broken("text decoding accepts what the reader rejects", first, parsed.error().message);
    return 0;
  }
  auto p = schema::decode_parsed<schema::CompileSpec>(parsed->value());
  std::string from_value = p ? "ok: " + fuzz::describe_spec(*p) : "err: " + p.error().message;
  if (p.has_value() != text_ok) broken("parsed and text decoding disagree", first, from_value);
  if (!text_ok) return 0;
  if (from_value != first) broken("parsed and text decoding give different values", first, from_value);

  std::string written = schema::write_compile_spec(*p);
  json::Document doc3(written);
  std::string round = from_text(written, doc3);
  if (round != first) broken("a written compile spec does not decode to itself", first, round);
  return 0;
}
