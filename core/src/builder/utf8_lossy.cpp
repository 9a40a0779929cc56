#include "builder/utf8_lossy.hpp"

namespace orvane::builder {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool in(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// The length of the sequence a lead byte announces and the range its second byte must fall
// in (narrower than 80..BF where overlongs, surrogates or code points past U+10FFFF start);
// length 0 for a byte that cannot start a sequence.
struct Lead {
  std::size_t length;
  unsigned char lo, hi;
};

Lead lead_of(unsigned char c) {
  if (in(c, 0xC2, 0xDF)) return {2, 0x80, 0xBF};
  if (c == 0xE0) return {3, 0xA0, 0xBF};
  if (c == 0xED) return {3, 0x80, 0x9F};
  if (in(c, 0xE1, 0xEF)) return {3, 0x80, 0xBF};
  if (c == 0xF0) return {4, 0x90, 0xBF};
  if (in(c, 0xF1, 0xF3)) return {4, 0x80, 0xBF};
  if (c == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    Lead lead = lead_of(c);
    if (lead.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end - i < lead.length && end < bytes.size()) {
      unsigned char next = static_cast<unsigned char>(bytes[end]);
      bool ok = end == i + 1 ? in(next, lead.lo, lead.hi) : in(next, 0x80, 0xBF);
      if (!ok) break;
      ++end;
    }
    if (end - i == lead.length) {
      out.append(bytes.substr(i, lead.length));
    } else {
      out += kReplacement;  // the whole maximal subpart; the offending byte starts afresh
    }
    i = end;
  }
  return out;
}

std::string_view utf8_tail(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t start = text.size() - max_bytes;
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return text.substr(start);
}

}  // namespace orvane::builder
