#include "json/writer.hpp"

#include <algorithm>
#include <string>

#include "json/writer_core.hpp"

namespace orvane::json {

using detail::Sink;
using detail::Writer;
using detail::put_string;

void append_string(std::string& out, std::string_view s) {
  Sink sink(out);
  put_string(sink, s);
}

void write_compact(std::string& out, Value v) { Writer<false>(out, v.document()).write(v); }

std::string compact_json(Value v) {
  std::string out;
  write_compact(out, v);
  return out;
}

void write_canonical(std::string& out, Value v) { Writer<true>(out, v.document()).write(v); }

std::string canonical_json(Value v) {
  std::string out;
  // The canonical text is about as long as the source; small documents grow no further.
  out.reserve(std::min<std::size_t>(v.document()->source().size(), std::size_t(1) << 16));
  write_canonical(out, v);
  return out;
}

}  // namespace orvane::json
