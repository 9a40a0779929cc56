#include "json/reader.hpp"

#include "json/string_scan.hpp"
#include "json/tuning.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <type_traits>
#include <utility>

namespace orvane::json {


std::string position_suffix(std::string_view text, std::size_t index) {
  index = std::min(index, text.size());
  std::string_view before = text.substr(0, index);
  std::size_t line_start = before.rfind('\n');
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  std::size_t line = 1 + std::count(before.begin(), before.begin() + line_start, '\n');
  std::string out = " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(index - line_start);
  return out;
}

std::vector<TextPlace> text_places(std::string_view text, std::span<const std::size_t> indices) {
  std::vector<std::uint32_t> order(indices.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = std::uint32_t(k);
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return indices[a] < indices[b]; });
  std::vector<TextPlace> out(indices.size());
  TextPlace at;
  std::size_t scanned = 0;  // the line feeds before this are counted in `at`
  for (std::uint32_t k : order) {
    const std::size_t index = std::min(indices[k], text.size());
    while (scanned < index) {
      const void* feed = std::memchr(text.data() + scanned, '\n', index - scanned);
      if (feed == nullptr) break;
      scanned = std::size_t(static_cast<const char*>(feed) - text.data()) + 1;
      ++at.line;
      at.line_start = scanned;
    }
    scanned = std::max(scanned, index);
    out[k] = at;
  }
  return out;
}

using Fault = Reader::Fault;
template <class T>
using Fast = Reader::Fast<T>;

#define ORV_STEP(expr)                                               \
  do {                                                               \
    if (auto r_ = (expr); !r_) return failed(std::move(r_.error())); \
  } while (0)

#define ORV_TRY(expr)                                          \
  do {                                                         \
    if (auto r_ = (expr); !r_) return std::unexpected(std::move(r_.error())); \
  } while (0)

[[gnu::always_inline]] inline Fast<void> Reader::parse_ident_f(std::string_view rest) {
  for (char expected : rest) {
    if (i_ >= text_.size()) return std::unexpected(fault(msg::kEofValue));
    char c = text_[i_++];
    if (c != expected) return std::unexpected(fault(msg::kExpectedIdent));
  }
  return {};
}

namespace {
inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The decimal exponent of a literal's leading significant digit plus one, or nullopt for
// zero: a literal of magnitude up to 308 is below the largest double and needs no check.
std::optional<long long> decimal_magnitude(std::string_view lit) {
  std::size_t p = lit[0] == '-' ? 1 : 0;
  std::size_t int_start = p;
  while (p < lit.size() && is_digit(lit[p])) ++p;
  long long magnitude;
  bool zero = false;
  if (lit[int_start] != '0') {
    magnitude = (long long)(p - int_start);
    if (p < lit.size() && lit[p] == '.') ++p;
    while (p < lit.size() && is_digit(lit[p])) ++p;
  } else {
    magnitude = 0;
    zero = true;
    if (p < lit.size() && lit[p] == '.') {
      for (++p; p < lit.size() && is_digit(lit[p]); ++p) {
        if (zero && lit[p] == '0') {
          --magnitude;
        } else {
          zero = false;
        }
      }
    }
  }
  if (zero) return std::nullopt;
  if (p < lit.size() && (lit[p] == 'e' || lit[p] == 'E')) {
    ++p;
    bool neg = false;
    if (lit[p] == '+' || lit[p] == '-') neg = lit[p++] == '-';
    long long exp = 0;
    for (; p < lit.size(); ++p) exp = std::min<long long>(exp * 10 + (lit[p] - '0'), 1'000'000'000'000LL);
    magnitude += neg ? -exp : exp;
  }
  return magnitude;
}
// The kind of an integer literal: UInt or NegInt when it fits 64 bits, otherwise (and for
// "-0") Float.
[[gnu::always_inline]] inline Kind integer_kind(std::string_view lit, bool negative) {
  const std::size_t digits = lit.size() - (negative ? 1 : 0);
  if (!negative) {
    // Up to 19 digits always fit 64 bits; 20 may; more never do.
    if (digits < 20) return Kind::UInt;
    std::uint64_t v;
    if (digits == 20 && std::from_chars(lit.data(), lit.data() + lit.size(), v).ec == std::errc()) {
      return Kind::UInt;
    }
    return Kind::Float;
  }
  if (lit == "-0") return Kind::Float;
  if (digits < 19) return Kind::NegInt;
  std::int64_t v;
  if (digits == 19 && std::from_chars(lit.data(), lit.data() + lit.size(), v).ec == std::errc()) {
    return Kind::NegInt;
  }
  return Kind::Float;
}

// Whether a float literal lies beyond the largest double. Only one with an exponent or of
// hundreds of digits can: the others are not looked at again.
[[gnu::always_inline]] inline bool beyond_double(std::string_view lit, bool has_exponent) {
  if (!has_exponent && lit.size() <= 300) return false;
  auto magnitude = decimal_magnitude(lit);
  if (!magnitude || *magnitude < 309) return false;
  double v;
  auto r = std::from_chars(lit.data(), lit.data() + lit.size(), v);
  return *magnitude > 309 || r.ec == std::errc::result_out_of_range;
}

}  // namespace

namespace {
// Working vectors grown past these are given back rather than kept for the next reader.
constexpr std::size_t kKeepKeys = tuning::kKeepReaderKeys;
constexpr std::size_t kKeepScratch = tuning::kKeepReaderScratch;
}  // namespace

Reader::Reader(std::string_view text)
    : text_(text),
      scratch_(buffers_.get().scratch),
      keys_(buffers_.get().keys),
      shapes_(buffers_.get().shapes) {}

void ReaderBuffers::tidy() {
  // The shapes hold views of the last reader's text: none may outlive it.
  for (auto& s : shapes) s.clear();
  keys.clear();
  if (keys.capacity() > kKeepKeys) std::vector<std::uint32_t>().swap(keys);
  if (scratch.capacity() > kKeepScratch) std::string().swap(scratch);
}

[[gnu::always_inline]] inline Fast<NumberToken> Reader::parse_number_f() {
  std::size_t start = i_;
  bool negative = false;
  if (text_[i_] == '-') {
    negative = true;
    ++i_;
  }
  if (i_ >= text_.size()) return std::unexpected(fault(msg::kEofValue));
  char c = text_[i_++];
  if (c == '0') {
    if (is_digit(peek())) return std::unexpected(peek_fault(msg::kInvalidNumber));
  } else if (c >= '1' && c <= '9') {
    while (is_digit(peek())) ++i_;
  } else {
    return std::unexpected(fault(msg::kInvalidNumber));
  }
  bool is_float = false;
  if (peek() == '.') {
    is_float = true;
    ++i_;
    if (!is_digit(peek())) {
      return std::unexpected(peek_fault(peek() < 0 ? msg::kEofValue : msg::kInvalidNumber));
    }
    while (is_digit(peek())) ++i_;
  }
  bool has_exponent = false;
  if (peek() == 'e' || peek() == 'E') {
    is_float = has_exponent = true;
    ++i_;
    if (peek() == '+' || peek() == '-') ++i_;
    if (i_ >= text_.size()) return std::unexpected(fault(msg::kEofValue));
    if (!is_digit(text_[i_++])) return std::unexpected(fault(msg::kInvalidNumber));
    while (is_digit(peek())) ++i_;
  }
  std::string_view lit = text_.substr(start, i_ - start);
  NumberToken tok{is_float ? Kind::Float : integer_kind(lit, negative), start, i_ - start};
  if (tok.kind == Kind::Float && beyond_double(lit, has_exponent)) {
    return std::unexpected(fault(msg::kNumberOutOfRange));
  }
  return tok;
}

namespace {
inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

Fast<std::uint16_t> Reader::hex_escape() {
  if (i_ + 4 > text_.size()) {
    i_ = text_.size();
    return std::unexpected(fault(msg::kEofString));
  }
  std::uint16_t n = 0;
  for (int k = 0; k < 4; ++k) {
    int v = hex_value(text_[i_++]);
    if (v < 0) return std::unexpected(fault(msg::kInvalidEscape));
    n = std::uint16_t((n << 4) | v);
  }
  return n;
}

Fast<void> Reader::parse_escape(std::string& out) {
  if (i_ >= text_.size()) return std::unexpected(fault(msg::kEofString));
  char c = text_[i_++];
  switch (c) {
    case '"': out += '"'; return {};
    case '\\': out += '\\'; return {};
    case '/': out += '/'; return {};
    case 'b': out += '\b'; return {};
    case 'f': out += '\f'; return {};
    case 'n': out += '\n'; return {};
    case 'r': out += '\r'; return {};
    case 't': out += '\t'; return {};
    case 'u': break;
    default: return std::unexpected(fault(msg::kInvalidEscape));
  }
  auto n1 = hex_escape();
  if (!n1) return std::unexpected(n1.error());
  std::uint32_t cp = *n1;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return std::unexpected(fault(msg::kLoneLeadingSurrogate));
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    for (char want : {'\\', 'u'}) {
      if (i_ >= text_.size()) return std::unexpected(fault(msg::kEofString));
      if (text_[i_++] != want) return std::unexpected(fault(msg::kUnexpectedEndOfHexEscape));
    }
    auto n2 = hex_escape();
    if (!n2) return std::unexpected(n2.error());
    if (*n2 < 0xDC00 || *n2 > 0xDFFF) return std::unexpected(fault(msg::kLoneLeadingSurrogate));
    cp = (((cp - 0xD800) << 10) | (*n2 - 0xDC00)) + 0x10000;
  }
  append_utf8(out, cp);
  return {};
}

[[gnu::always_inline]] inline Fast<std::string_view> Reader::parse_string_f(std::string& scratch) {
  const std::size_t start = i_;
  const std::size_t n = text_.size();
  const char* s = text_.data();
  bool escaped = false;
  std::size_t run = start;  // start of the bytes not yet copied to scratch
  for (;;) {
    i_ = find_string_special(s, i_, n);
    if (i_ >= n) return std::unexpected(fault(msg::kEofString));
    char c = s[i_];
    if (c == '"') {
      if (!escaped) {
        std::string_view out = text_.substr(start, i_ - start);
        ++i_;
        return out;
      }
      scratch.append(s + run, i_ - run);
      ++i_;
      return std::string_view(scratch);
    }
    if (c == '\\') {
      if (!escaped) {
        scratch.clear();
        escaped = true;
      }
      scratch.append(s + run, i_ - run);
      ++i_;
      ORV_TRY(parse_escape(scratch));
      run = i_;
      continue;
    }
    ++i_;
    return std::unexpected(fault(msg::kControlCharacter));
  }
}

template <bool kBuild>
Reader::Step Reader::value(Document* doc, bool element) {
  int c = skip_ws();
  switch (c) {
    case -1:
      return failed(peek_fault(msg::kEofValue));
    case 'n':
      ++i_;
      ORV_STEP(parse_ident_f("ull"));
      return kBuild ? doc->push_scalar(Document::kNull) : 0;
    case 't':
      ++i_;
      ORV_STEP(parse_ident_f("rue"));
      return kBuild ? doc->push_scalar(Document::kTrue) : 0;
    case 'f':
      ++i_;
      ORV_STEP(parse_ident_f("alse"));
      return kBuild ? doc->push_scalar(Document::kFalse) : 0;
    case '"': {
      ++i_;
      std::size_t start = i_;
      auto s = parse_string_f(scratch_);
      if (!s) return failed(std::move(s.error()));
      if (!kBuild) return 0;
      if (s->data() == text_.data() + start) return doc->push_span(Document::kStr, start, s->size());
      return doc->push_escaped(*s);
    }
    case '[': return array<kBuild>(doc);
    case '{': return object<kBuild>(doc, element);
    default:
      if (c == '-' || is_digit(c)) {
        auto num = parse_number_f();
        if (!num) return failed(std::move(num.error()));
        if (!kBuild) return 0;
        Document::Tag t = num->kind == Kind::UInt     ? Document::kUInt
                          : num->kind == Kind::NegInt ? Document::kNegInt
                                                      : Document::kFloat;
        return doc->push_span(t, num->offset, num->len);
      }
      return failed(peek_fault(msg::kExpectedValue));
  }
}

template <bool kBuild>
Reader::Step Reader::array(Document* doc) {
  ORV_STEP(enter_f());
  ++i_;
  std::uint32_t node = kBuild ? doc->open_container(Document::kArray) : 0;
  std::size_t count = 0;
  bool first = true;
  for (;;) {
    auto more = next_element_f(first);
    if (!more) return failed(std::move(more.error()));
    if (!*more) break;
    if (value<kBuild>(doc, true) == kFailed) return kFailed;
    ++count;
  }
  ORV_STEP(end_seq_f());
  leave();
  if (kBuild) doc->close_container(node, count);
  return node;
}

template <bool kBuild>
Reader::Step Reader::object(Document* doc, bool element) {
  ORV_STEP(enter_f());
  ++i_;
  std::uint32_t node = kBuild ? doc->open_container(Document::kObject) : 0;
  std::size_t base = keys_.size();
  bool first = true;
  // Array elements in a row often repeat the keys of the last object at this depth (candles):
  // each key is first tried as the one in that place, and when all of them match the keys
  // are known to be distinct. Members of objects seldom repeat their neighbours' keys: their
  // keys are not recorded.
  // (shapes_ is indexed afresh each time: deeper objects may grow it.)
  const std::size_t level = std::size_t(depth_);
  if constexpr (kBuild) {
    if (element && level >= shapes_.size()) shapes_.resize(level + 1);
  }
  bool on_shape = kBuild && element && !shapes_[level].empty();
  std::size_t member = 0;
  for (;;) {
    bool hit = false;
    bool try_shape = on_shape && member < shapes_[level].size();
    auto key = next_key_f(first, scratch_, try_shape ? shapes_[level][member] : std::string_view(),
                          try_shape ? &hit : nullptr);
    if (key && *key) on_shape = on_shape && hit;
    ++member;
    if (!key) {
      keys_.resize(base);
      return failed(std::move(key.error()));
    }
    if (!*key) break;
    if constexpr (kBuild) {
      const std::string_view k = **key;
      std::uint32_t key_node;
      if (k.data() >= text_.data() && k.data() < text_.data() + text_.size()) {
        key_node = doc->push_span(Document::kStr, std::size_t(k.data() - text_.data()), k.size());
      } else {
        key_node = doc->push_escaped(k);
      }
      keys_.push_back(key_node);
    }
    auto colon = object_colon_f();
    if (!colon) {
      keys_.resize(base);
      return failed(colon.error());
    }
    if (value<kBuild>(doc, false) == kFailed) {
      keys_.resize(base);
      return kFailed;
    }
  }
  auto closed = end_map_f();
  if (!closed) {
    keys_.resize(base);
    return failed(std::move(closed.error()));
  }
  leave();
  if constexpr (kBuild) close_object(*doc, node, base, level, element, on_shape);
  keys_.resize(base);
  return node;
}

// After an object's members: a repeated key folds its members into one, unless every key was
// found in the place the last object at this depth had it (the shape: then the keys are known
// to be distinct, the fast path of arrays of like objects); an object of distinct keys held
// in the text becomes the shape the next one is tried against.
void Reader::close_object(Document& doc, std::uint32_t node, std::size_t base, std::size_t level,
                          bool element, bool on_shape) {
  const std::size_t members = keys_.size() - base;
  std::size_t live = members;
  on_shape = on_shape && members == shapes_[level].size();
  if (members > 1 && !on_shape && !keep_repeated_) {
    settle_duplicates(doc, base);
    bool distinct_raw = true;
    for (std::size_t k = base; k < keys_.size(); ++k) {
      if (doc.tag(keys_[k]) == Document::kDead) --live;
      if (doc.tag(keys_[k]) != Document::kStr) distinct_raw = false;
    }
    // Only keys held in the text itself stay put; escaped keys live in a growing arena.
    if (element && distinct_raw && live == members && members <= kMaxShape) {
      auto& s = shapes_[level];
      s.clear();
      for (std::size_t k = base; k < keys_.size(); ++k) s.push_back(doc.text_of(keys_[k]));
    }
  }
  doc.close_container(node, live);
}

void Reader::settle_duplicates(Document& doc, std::size_t base) {
  const std::size_t n = keys_.size() - base;
  const std::uint32_t* keys = keys_.data() + base;
  if (n <= 64) {
    // A cheap signature per key (first byte, last byte, length) in a 64-bit mask: only a key
    // whose signature was seen before is compared with the earlier keys.
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < n; ++b) {
      std::string_view kb = doc.text_of(keys[b]);
      unsigned sig = kb.empty() ? 0
                                : (static_cast<unsigned char>(kb.front()) * 131u +
                                   static_cast<unsigned char>(kb.back()) * 31u + unsigned(kb.size())) &
                                      63u;
      std::uint64_t bit = std::uint64_t(1) << sig;
      if (seen & bit) {
        for (std::size_t a = 0; a < b; ++a) {
          if (doc.tag(keys[a]) != Document::kDead && doc.text_of(keys[a]) == kb) {
            doc.supersede(keys[a], keys[b]);
            break;
          }
        }
      }
      seen |= bit;
    }
    return;
  }
  // More keys: sorted, so that equal keys stand side by side, the first written first. (A hash
  // table with a hash fixed in the code would do it in one pass, but keys can be chosen that all
  // fall into one of its buckets, and then every key is compared with all the keys before it. A
  // sort costs the same whatever the keys are.)
  struct Written {
    std::string_view key;
    std::uint32_t node;
  };
  std::vector<Written> sorted(n);
  for (std::size_t b = 0; b < n; ++b) sorted[b] = Written{doc.text_of(keys[b]), keys[b]};
  std::sort(sorted.begin(), sorted.end(), [](const Written& x, const Written& y) {
    const int c = x.key.compare(y.key);
    return c != 0 ? c < 0 : x.node < y.node;
  });
  // Each later key is superseded by the first of its kind, in the order they were written.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> later_first;
  for (std::size_t a = 0, b = 1; b < n; ++b) {
    if (sorted[b].key != sorted[a].key) {
      a = b;
    } else {
      later_first.emplace_back(sorted[b].node, sorted[a].node);
    }
  }
  std::sort(later_first.begin(), later_first.end());
  for (const auto& [later, first] : later_first) doc.supersede(first, later);
}


Fast<void> Reader::skip_value_f() {
  if (value<false>(nullptr, false) == kFailed) return std::unexpected(failure_);
  return {};
}

Fast<void> Reader::end_f() {
  if (skip_ws() >= 0) return std::unexpected(peek_fault(msg::kTrailingCharacters));
  return {};
}

[[gnu::always_inline]] inline Fast<std::optional<std::string_view>> Reader::next_key_f(
    bool& first, std::string& scratch, std::string_view expected, bool* as_expected) {
  int c = skip_ws();
  if (c == '}') return std::optional<std::string_view>();
  if (c == ',' && !first) {
    ++i_;
    c = skip_ws();
  } else if (c >= 0) {
    if (!first) return std::unexpected(peek_fault(msg::kExpectedObjectCommaOrEnd));
    first = false;
  } else {
    return std::unexpected(peek_fault(msg::kEofObject));
  }
  if (c == '"') {
    ++i_;
    // The key the caller expects holds no byte that needs care, so finding it followed by
    // the closing quote is all that reading the string would do.
    std::size_t n = expected.size();
    if (as_expected && i_ + n < text_.size() && text_[i_ + n] == '"' &&
        std::memcmp(text_.data() + i_, expected.data(), n) == 0) {
      std::string_view k = text_.substr(i_, n);
      i_ += n + 1;
      *as_expected = true;
      return std::optional<std::string_view>(k);
    }
    auto s = parse_string_f(scratch);
    if (!s) return std::unexpected(std::move(s.error()));
    return std::optional<std::string_view>(*s);
  }
  if (c == '}') return std::unexpected(peek_fault(msg::kTrailingComma));
  if (c < 0) return std::unexpected(peek_fault(msg::kEofValue));
  return std::unexpected(peek_fault(msg::kKeyMustBeString));
}

[[gnu::always_inline]] inline Fast<void> Reader::object_colon_f() {
  int c = skip_ws();
  if (c == ':') {
    ++i_;
    return {};
  }
  return std::unexpected(peek_fault(c < 0 ? msg::kEofObject : msg::kExpectedColon));
}

[[gnu::always_inline]] inline Fast<bool> Reader::next_element_f(bool& first) {
  int c = skip_ws();
  if (c == ']') return false;
  if (c == ',' && !first) {
    ++i_;
    c = skip_ws();
    if (c == ']') return std::unexpected(peek_fault(msg::kTrailingComma));
    if (c < 0) return std::unexpected(peek_fault(msg::kEofValue));
    return true;
  }
  if (c < 0) return std::unexpected(peek_fault(msg::kEofList));
  if (!first) return std::unexpected(peek_fault(msg::kExpectedListCommaOrEnd));
  first = false;
  return true;
}

[[gnu::always_inline]] inline Fast<void> Reader::end_map_f() {
  int c = skip_ws();
  if (c == '}') {
    ++i_;
    return {};
  }
  if (c == ',') return std::unexpected(peek_fault(msg::kTrailingComma));
  if (c < 0) return std::unexpected(peek_fault(msg::kEofObject));
  return std::unexpected(peek_fault(msg::kTrailingCharacters));
}

[[gnu::always_inline]] inline Fast<void> Reader::end_seq_f() {
  int c = skip_ws();
  if (c == ']') {
    ++i_;
    return {};
  }
  if (c == ',') {
    ++i_;
    c = skip_ws();
    return std::unexpected(peek_fault(c == ']' ? msg::kTrailingComma : msg::kTrailingCharacters));
  }
  if (c < 0) return std::unexpected(peek_fault(msg::kEofList));
  return std::unexpected(peek_fault(msg::kExpectedListCommaOrEnd));
}

// ---- the public steps: the same, with the message as an owned string ----

namespace {
TextError owned(const Fault& f) { return TextError{std::string(f.message), f.index}; }
}  // namespace

#define ORV_PUBLIC(call)                                \
  do {                                                  \
    auto r_ = (call);                                   \
    if (!r_) return std::unexpected(owned(r_.error())); \
    return *r_;                                         \
  } while (0)
#define ORV_PUBLIC_VOID(call)                           \
  do {                                                  \
    auto r_ = (call);                                   \
    if (!r_) return std::unexpected(owned(r_.error())); \
    return {};                                          \
  } while (0)

TextResult<std::uint32_t> Reader::parse_value(Document& doc) {
  const Step node = value<true>(&doc, false);
  if (node == kFailed) return std::unexpected(owned(failure_));
  return std::uint32_t(node);
}
TextResult<void> Reader::skip_value() { ORV_PUBLIC_VOID(skip_value_f()); }
TextResult<void> Reader::end() { ORV_PUBLIC_VOID(end_f()); }
namespace {
std::expected<void, TextError> parse_whole(std::string_view text, ParsedDocument& out,
                                           bool as_written) {
  out.doc.set_source(text);
  Reader r(text);
  if (as_written) r.keep_repeated_keys();
  auto root = r.parse_value(out.doc);
  if (!root) return std::unexpected(std::move(root.error()));
  auto e = r.end();
  if (!e) return std::unexpected(std::move(e.error()));
  out.root = *root;
  return {};
}
}  // namespace

std::expected<void, TextError> parse_into(std::string_view text, ParsedDocument& out) {
  return parse_whole(text, out, false);
}

std::expected<void, TextError> parse_as_written(std::string_view text, ParsedDocument& out) {
  return parse_whole(text, out, true);
}

// ---- finding nodes in the text again ----

struct Reader::Locating {
  std::span<const std::uint32_t> wanted;
  std::span<NodeSpan> out;
  std::uint32_t next = 0;  // the index the next node has on the tape
  std::size_t found = 0;

  // Records the span when `node` is wanted; false once every wanted node is found.
  bool note(std::uint32_t node, std::size_t begin, std::size_t end) {
    auto it = std::lower_bound(wanted.begin(), wanted.end(), node);
    if (it != wanted.end() && *it == node) {
      out[std::size_t(it - wanted.begin())] = NodeSpan{begin, end};
      ++found;
    }
    return found < wanted.size();
  }
};

// The text is known to be valid: only the node boundaries are looked for. Nodes are counted in
// the tape's order: a container before its contents, a key before its value.
bool Reader::locate_value(Locating& l) {
  skip_ws();
  const std::uint32_t node = l.next++;
  const std::size_t begin = i_;
  const int c = peek();
  if (c == '[' || c == '{') {
    ++i_;
    for (bool first = true;; first = false) {
      const int d = skip_ws();
      if (d == ']' || d == '}') break;
      if (!first) {
        ++i_;  // the comma
        skip_ws();
      }
      if (c == '{') {
        const std::uint32_t key = l.next++;
        const std::size_t key_begin = i_++;
        (void)parse_string_f(scratch_);
        if (!l.note(key, key_begin, i_)) return false;
        skip_ws();
        ++i_;  // the colon
      }
      if (!locate_value(l)) return false;
    }
    ++i_;
  } else if (c == '"') {
    ++i_;
    (void)parse_string_f(scratch_);
  } else if (c == 't' || c == 'n') {
    i_ += 4;
  } else if (c == 'f') {
    i_ += 5;
  } else {
    (void)parse_number_f();
  }
  return l.note(node, begin, i_);
}

void Reader::locate(std::span<const std::uint32_t> wanted, std::span<NodeSpan> out) {
  i_ = 0;
  Locating l{wanted, out};
  if (!wanted.empty()) (void)locate_value(l);
}

std::vector<NodeSpan> locate_nodes(std::string_view text, std::span<const std::uint32_t> nodes) {
  std::vector<std::uint32_t> wanted(nodes.begin(), nodes.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<NodeSpan> spans(wanted.size());
  Reader(text).locate(wanted, spans);
  std::vector<NodeSpan> out;
  out.reserve(nodes.size());
  for (std::uint32_t n : nodes) {
    out.push_back(spans[std::size_t(std::lower_bound(wanted.begin(), wanted.end(), n) - wanted.begin())]);
  }
  return out;
}

std::expected<ParsedDocument, TextError> parse(std::string_view text) {
  ParsedDocument out;
  // Room for the densest common data (candles run about one node per 7 bytes of text), so the
  // tape is not left at up to twice the size it needs by its last doubling. Capacity that is
  // never touched costs no memory.
  out.doc.reserve(text.size() / 6 + 16);
  auto r = parse_into(text, out);
  if (!r) return std::unexpected(std::move(r.error()));
  return out;
}

}  // namespace orvane::json
