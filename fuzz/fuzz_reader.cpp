// The JSON reader and the two writers.
//  - A text the reader rejects has its fault placed inside the text (or at its end).
//  - The canonical text of anything it accepts is a fixed point: read back and written
//    canonically again, it is the same bytes.
//  - The compact text reads back as an equal value: writing that value compactly gives the
//    same bytes, and its canonical text is the original's.
//  - An array's canonical text is its elements' canonical texts, each written on its own: the
//    key orders that the writer carries from one element to the next change nothing. So is
//    the text written while it is digested, and its digests are those of the text.
#include "json/sha256.hpp"
#include "fuzz_support.hpp"

using namespace orvane;
using fuzz::broken;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = json::parse(text);
  if (!parsed) {
    ORV_CHECK(parsed.error().index <= text.size());
    ORV_CHECK(!parsed.error().message.empty());
    return 0;
  }
  json::Value v = parsed->value();

  std::string canonical = json::canonical_json(v);
  auto again = json::parse(canonical);
  if (!again) broken("canonical text does not read back", canonical, again.error().message);
  std::string canonical2 = json::canonical_json(again->value());
  if (canonical2 != canonical) broken("canonical text is not a fixed point", canonical, canonical2);

  std::string compact = json::compact_json(v);
  auto back = json::parse(compact);
  if (!back) broken("compact text does not read back", compact, back.error().message);
  std::string compact2 = json::compact_json(back->value());
  if (compact2 != compact) broken("compact text does not read back as an equal value", compact, compact2);
  std::string canonical3 = json::canonical_json(back->value());
  if (canonical3 != canonical) broken("compact and canonical texts disagree", canonical, canonical3);

  if (v.kind() == json::Kind::Array) {
    std::string joined = "[";
    v.for_each_element([&](json::Value e) {
      if (joined.size() > 1) joined += ',';
      json::write_canonical(joined, e);  // a writer of its own per element
      return true;
    });
    joined += ']';
    if (joined != canonical) broken("elements written alone disagree", canonical, joined);
    // A thread per call: one input in eight is enough.
    if (size % 8 == 0) {
      json::DigestedText d = json::canonical_json_digested(v, "<", ">");
      if (d.text != canonical) broken("digested text disagrees", canonical, d.text);
      ORV_CHECK(d.text_sha256 == json::sha256_hex(canonical));
      ORV_CHECK(d.framed_sha256 == json::sha256_hex("<" + canonical + ">"));
    }
  }

  // Writing never changes the value and is deterministic.
  ORV_CHECK(json::compact_json(v) == compact);
  ORV_CHECK(json::canonical_json(v) == canonical);
  return 0;
}
