// Request bodies are decoded from the parsed request and, only when that fails, again from
// the text for the message. The two readings must agree for every text: on acceptance, and on
// the decoded value. A text the reader rejects is rejected by text decoding too.
#include "fuzz_support.hpp"
#include "protocol/requests.hpp"

using namespace orvane;
using fuzz::broken;

namespace {

std::string show(const protocol::Envelope& e) {
  std::string out = "cmd=";
  json::append_string(out, e.cmd);
  return out;
}
std::string show(const protocol::BytesReq& b) {
  std::string out = "path=";
  json::append_string(out, b.path);
  return out;
}
std::string show(const protocol::CompileReq& c) {
  std::string out = fuzz::describe_spec(c.spec);
  out += c.dry_run ? " dry_run=true" : " dry_run=false";
  if (c.out_dir) {
    out += " out_dir=";
    json::append_string(out, *c.out_dir);
  } else {
    out += " no-out_dir";
  }
  if (!c.build) {
    out += " no-build";
  } else {
    out += " build";
    if (c.build->timeout_s) out += " timeout_s=" + std::to_string(c.build->timeout_s->value);
    if (c.build->cache_dir) {
      out += " cache_dir=";
      json::append_string(out, *c.build->cache_dir);
    }
  }
  return out;
}

template <class T>
void check(std::string_view text, const json::ParsedDocument* parsed, const char* name) {
  json::Document doc(text);
  auto t = schema::decode_text<T>(text, doc);
  std::string from_text = t ? "ok: " + show(*t) : "err: " + schema::describe(t.error(), text);
  if (!parsed) {
    if (t) {
      std::fprintf(stderr, "record: %s\n", name);
      broken("text decoding accepts what the reader rejects", from_text);
    }
    return;
  }
  auto p = schema::decode_parsed<T>(parsed->value());
  std::string from_value = p ? "ok: " + show(*p) : "err: " + p.error().message;
  if (p.has_value() != t.has_value()) {
    std::fprintf(stderr, "record: %s\n", name);
    broken("parsed and text decoding disagree on acceptance", from_value, from_text);
  }
  if (p && from_value != from_text) {
    std::fprintf(stderr, "record: %s\n", name);
    broken("parsed and text decoding give different values", from_value, from_text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = json::parse(text);
  const json::ParsedDocument* p = parsed ? &*parsed : nullptr;
  check<protocol::Envelope>(text, p, "Envelope");
  check<protocol::BytesReq>(text, p, "BytesReq");
  check<protocol::CompileReq>(text, p, "CompileReq");
  return 0;
}
