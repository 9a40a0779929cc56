// Checking a strategy document against the schema, on any value the reader accepts.
//  - It never crashes and gives the same verdict and message every time.
//  - Read back from its compact text (same members, same order) it gives the same message.
//  - Read back from its canonical text (members re-ordered) it gives the same verdict: the
//    first failure may differ, acceptance may not.
//  - The checked writer (one walk that checks and writes) accepts what the decoder accepts, and
//    writes the generic writer's canonical text.
//  - A strategy the walk accepts with no note (schema::CheckNotes: exchange's fast path, which
//    then skips the diagnosis) draws no diagnostic in a request, and its notes do not change
//    the text.
#include "fuzz_support.hpp"
#include "protocol/diagnose.hpp"
#include "schema/strategy.hpp"

using namespace orvane;
using fuzz::broken;

namespace {
std::string verdict(const schema::Decoded<schema::StrategySpec>& r) {
  return r ? std::string("ok") : "err: " + r.error().message;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = json::parse(text);
  if (!parsed) return 0;
  json::Value v = parsed->value();

  std::string first = verdict(schema::decode_strategy_spec(v));
  std::string second = verdict(schema::decode_strategy_spec(v));
  if (first != second) broken("strategy decoding is not deterministic", first, second);
  if (first != "ok") ORV_CHECK(first.size() > 5);

  std::string compact = json::compact_json(v);
  auto from_compact = json::parse(compact);
  ORV_CHECK(from_compact.has_value(), compact);
  std::string third = verdict(schema::decode_strategy_spec(from_compact->value()));
  if (third != first) broken("compact text decodes differently", first, third);

  std::string canonical = json::canonical_json(v);
  std::string written;
  const bool accepted = schema::write_checked_strategy(v, written);
  if (accepted != (first == "ok")) broken("the checked writer's verdict differs", first, written);
  if (accepted && written != canonical) broken("the checked writer's text differs", canonical, written);
  schema::CheckNotes notes;
  std::string noted;
  if (schema::write_checked_strategy(v, noted, &notes) != accepted ||
      (accepted && noted != written)) {
    broken("notes change the checked writer", written, noted);
  }
  if (accepted && !notes.any() && !parsed->doc.has_folded_keys()) {
    const std::string request =
        R"({"cmd":"compile","spec":{"strategy":)" + std::string(text) + "}}";
    if (json::parse(request)) {  // not nested too deep for a request
      for (const protocol::Diagnostic& d : protocol::diagnose(request)) {
        if (d.kind == "bad spec") {
          broken("a strategy without notes draws a diagnostic", text, d.message);
        }
      }
    }
  }
  auto from_canonical = json::parse(canonical);
  ORV_CHECK(from_canonical.has_value(), canonical);
  std::string fourth = verdict(schema::decode_strategy_spec(from_canonical->value()));
  if ((fourth == "ok") != (first == "ok")) broken("key order changes the verdict", first, fourth);
  return 0;
}
