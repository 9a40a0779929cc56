// Decoding a compile spec from its parsed text.
//  - The request as parsed (repeated keys folded) and as written (every member kept) get the
//    same verdict, and a rejected spec's fault is placed in the text, the same way every time.
//  - An accepted spec, written out and decoded again, is the same spec.
#include "fuzz_support.hpp"
#include "protocol/decode_request.hpp"
#include "schema/compile_spec_schema.hpp"

using namespace orvane;
using fuzz::broken;

namespace {
std::string decoded(std::string_view text, const json::ParsedDocument& parsed) {
  auto r = protocol::decode_request<schema::CompileSpec>(text, parsed);
  if (!r) return "err: " + r.error().message + (r.error().index ? "" : " (not placed)");
  return "ok: " + fuzz::describe_spec(*r);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = json::parse(text);
  if (!parsed) return 0;
  json::ParsedDocument written;
  if (!json::parse_as_written(text, written)) broken("a text parses folded but not as written", text, "");
  const bool folded_ok = schema::decode<schema::CompileSpec>(parsed->value()).has_value();
  const bool written_ok = schema::decode<schema::CompileSpec>(written.value()).has_value();
  if (folded_ok != written_ok) {
    broken("the parsed and the written request get different verdicts",
           folded_ok ? "parsed: ok" : "parsed: err", written_ok ? "written: ok" : "written: err");
  }
  std::string first = decoded(text, *parsed);
  std::string second = decoded(text, *parsed);
  if (first != second) broken("compile spec decoding is not deterministic", first, second);
  if (first.ends_with(" (not placed)")) broken("a rejected compile spec has no place", first, "");
  if (!folded_ok) return 0;

  auto p = schema::decode<schema::CompileSpec>(parsed->value());
  std::string written_text = schema::write_compile_spec(*p);
  auto again = json::parse(written_text);
  if (!again) broken("a written compile spec does not parse", written_text, again.error().message);
  std::string round = decoded(written_text, *again);
  if (round != first) broken("a written compile spec does not decode to itself", first, round);
  return 0;
}
