#include "canonical/writer.hpp"

#include <algorithm>
#include <cstring>
#include <thread>
#include <cstdint>
#include <vector>

#include "canonical/number.hpp"
#include "canonical/string_scan.hpp"

namespace orvane::json {

namespace {

struct EscapeTable {
  // 0: copy; otherwise the escape letter, or 'u' for \u00XX.
  char esc[256];
  constexpr EscapeTable() : esc() {
    for (int c = 0; c < 0x20; ++c) esc[c] = 'u';
    esc[0x08] = 'b';
    esc[0x09] = 't';
    esc[0x0A] = 'n';
    esc[0x0C] = 'f';
    esc[0x0D] = 'r';
    esc[int('"')] = '"';
    esc[int('\\')] = '\\';
  }
};
constexpr EscapeTable kEscape;

// Whether a float literal already reads as its own canonical text: positional, at most 15
// significant digits (so they are the shortest round-trip digits), no superfluous zeros.
bool literal_is_canonical_float(std::string_view lit) {
  std::size_t p = lit.empty() || lit[0] != '-' ? 0 : 1;
  std::size_t int_start = p;
  while (p < lit.size() && lit[p] >= '0' && lit[p] <= '9') ++p;
  std::size_t int_len = p - int_start;
  if (int_len == 0 || p >= lit.size() || lit[p] != '.') return false;
  std::size_t frac_start = ++p;
  while (p < lit.size() && lit[p] >= '0' && lit[p] <= '9') ++p;
  if (p != lit.size()) return false;  // an exponent
  std::string_view frac = lit.substr(frac_start);
  if (frac.empty()) return false;
  if (lit[int_start] == '0') {
    if (int_len != 1) return false;
    if (frac == "0") return true;
    std::size_t zeros = frac.find_first_not_of('0');
    if (zeros == std::string_view::npos || zeros > 4) return false;
    return frac.back() != '0' && frac.size() - zeros <= 15;
  }
  if (int_len > 15) return false;
  if (frac == "0") return true;
  return frac.back() != '0' && int_len + frac.size() <= 15;
}

void append_number(std::string& out, Value v) {
  if (v.kind() == Kind::Float) {
    std::string_view lit = v.literal();
    if (literal_is_canonical_float(lit)) {
      out += lit;
    } else {
      append_float(out, v.as_double());
    }
  } else {
    // Integer literals are already in their one written form: no sign, no leading zeros.
    out += v.literal();
  }
}

// Keys are short: compare the first byte inline before calling memcmp.
inline bool same_key(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  if (a[0] != b[0]) return false;
  return a.size() == 1 || std::memcmp(a.data() + 1, b.data() + 1, a.size() - 1) == 0;
}

template <bool kSorted>
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void write(Value v) {
    switch (v.kind()) {
      case Kind::Null: out_ += "null"; return;
      case Kind::Bool: out_ += v.as_bool() ? "true" : "false"; return;
      case Kind::UInt:
      case Kind::NegInt:
      case Kind::Float: append_number(out_, v); return;
      case Kind::String: append_string(out_, v.as_string()); return;
      case Kind::Array: {
        out_ += '[';
        bool first = true;
        v.for_each_element([&](Value e) {
          if (!first) out_ += ',';
          first = false;
          write(e);
          return true;
        });
        out_ += ']';
        return;
      }
      case Kind::Object:
        if constexpr (kSorted) {
          write_sorted_object(v);
        } else {
          out_ += '{';
          bool first = true;
          v.for_each_member([&](std::string_view k, Value m) {
            if (!first) out_ += ',';
            first = false;
            append_string(out_, k);
            out_ += ':';
            write(m);
            return true;
          });
          out_ += '}';
        }
        return;
    }
  }

 private:
  struct Entry {
    std::string_view key;
    Value value;
  };

  // Objects of a few members (most of a strategy: conditions have one) are sorted in place;
  // the order cache pays off from a handful of members, as in candles.
  static constexpr std::size_t kCachedFrom = 4;

  void write_small_object(std::size_t base, std::size_t n) {
    Entry* e = entries_.data() + base;
    for (std::size_t i = 1; i < n; ++i) {
      Entry x = e[i];
      std::size_t j = i;
      for (; j > 0 && x.key < e[j - 1].key; --j) e[j] = e[j - 1];
      e[j] = x;
    }
    out_ += '{';
    ++depth_;
    for (std::size_t i = 0; i < n; ++i) {
      if (i) out_ += ',';
      Entry x = entries_[base + i];  // deeper objects may grow entries_
      append_string(out_, x.key);
      out_ += ':';
      write(x.value);
    }
    --depth_;
    out_ += '}';
    entries_.resize(base);
  }

  // Objects in a row often share their keys in the same order (candles): the order found
  // for the last object at this depth is reused when the keys match.
  struct OrderCache {
    std::vector<std::string_view> keys;
    std::vector<std::uint32_t> order;
    std::vector<std::string> rendered;  // `"key":` in sorted order, escaped once
    bool rendered_valid = false;        // rendered only once the keys repeat
  };

  void write_sorted_object(Value v) {
    // One shared stack of entries: each object sorts its own slice of it.
    std::size_t base = entries_.size();
    v.for_each_member([&](std::string_view k, Value m) {
      entries_.push_back(Entry{k, m});
      return true;
    });
    std::size_t n = entries_.size() - base;
    if (n < kCachedFrom) {
      write_small_object(base, n);
      return;
    }
    if (depth_ >= caches_.size()) caches_.resize(depth_ + 1);
    OrderCache& cache = caches_[depth_];
    bool hit = cache.keys.size() == n;
    for (std::size_t i = 0; hit && i < n; ++i) hit = same_key(cache.keys[i], entries_[base + i].key);
    if (!hit) {
      cache.keys.clear();
      cache.order.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        cache.keys.push_back(entries_[base + i].key);
        cache.order[i] = std::uint32_t(i);
      }
      auto by_key = [&](std::uint32_t a, std::uint32_t b) { return cache.keys[a] < cache.keys[b]; };
      if (n <= 16) {  // small objects: insertion sort beats the general sort's setup
        for (std::size_t i = 1; i < n; ++i) {
          std::uint32_t x = cache.order[i];
          std::size_t j = i;
          for (; j > 0 && by_key(x, cache.order[j - 1]); --j) cache.order[j] = cache.order[j - 1];
          cache.order[j] = x;
        }
      } else {
        std::sort(cache.order.begin(), cache.order.end(), by_key);
      }
      cache.rendered_valid = false;
    } else if (!cache.rendered_valid) {
      cache.rendered.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        cache.rendered[i].clear();
        if (i) cache.rendered[i] += ',';
        append_string(cache.rendered[i], cache.keys[cache.order[i]]);
        cache.rendered[i] += ':';
      }
      cache.rendered_valid = true;
    }
    out_ += '{';
    ++depth_;
    for (std::size_t i = 0; i < n; ++i) {
      const OrderCache& c = caches_[depth_ - 1];  // deeper objects may grow caches_
      const Entry& e = entries_[base + c.order[i]];
      if (c.rendered_valid) {
        out_ += c.rendered[i];
      } else {
        if (i) out_ += ',';
        append_string(out_, e.key);
        out_ += ':';
      }
      write(entries_[base + c.order[i]].value);
    }
    --depth_;
    out_ += '}';
    entries_.resize(base);
  }

  std::string& out_;
  std::vector<Entry> entries_;
  std::vector<OrderCache> caches_;
  std::size_t depth_ = 0;
};

}  // namespace

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (find_string_special(s.data(), 0, s.size()) == s.size()) {
    // Nothing to escape, the usual case: one write of quote, bytes, quote.
    // (The size given back to the callback may exceed the one asked for: use our own.)
    const std::size_t at = out.size();
    const std::size_t size = at + s.size() + 2;
    out.resize_and_overwrite(size, [&](char* p, std::size_t) {
      p[at] = '"';
      std::memcpy(p + at + 1, s.data(), s.size());
      p[size - 1] = '"';
      return size;
    });
    return;
  }
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    p = s.data() + find_string_special(s.data(), std::size_t(p - s.data()), s.size());
    if (p == end) break;
    char e = kEscape.esc[static_cast<unsigned char>(*p)];
    out.append(run, p);
    out += '\\';
    out += e;
    if (e == 'u') {
      unsigned char c = static_cast<unsigned char>(*p);
      out += "00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
    run = p + 1;
  }
  out.append(run, end);
  out += '"';
}

void write_compact(std::string& out, Value v) { Writer<false>(out).write(v); }

std::string compact_json(Value v) {
  std::string out;
  write_compact(out, v);
  return out;
}

void write_canonical(std::string& out, Value v) { Writer<true>(out).write(v); }

std::string canonical_json(Value v) {
  std::string out;
  // The canonical text is about as long as the source; small documents grow no further.
  out.reserve(std::min<std::size_t>(v.document()->source().size(), std::size_t(1) << 16));
  write_canonical(out, v);
  return out;
}

std::string canonical_json_large_array(Value array) {
  std::size_t n = array.size();
  std::string out;
  // Untouched capacity costs no memory; it saves copying a text of many megabytes as it grows.
  out.reserve(array.document()->source().size() + 16);
  if (n < 2) {
    write_canonical(out, array);
    return out;
  }
  // Element nodes lie in [first, end) of the tape; find where the second half begins.
  const Document* doc = array.document();
  const std::uint32_t first = array.index() + 1, end = doc->end_of(array.index());
  std::uint32_t mid = first;
  for (std::size_t k = 0; k < n / 2; ++k) mid = doc->end_of(mid);
  auto write_elements = [doc](std::string& text, std::uint32_t from, std::uint32_t to) {
    Writer<true> w(text);
    for (std::uint32_t e = from; e < to; e = doc->end_of(e)) {
      if (e != from) text += ',';
      w.write(Value(doc, doc->resolve(e)));
    }
  };
  std::string tail;
  tail.reserve(out.capacity() / 2);
  std::thread second([&] { write_elements(tail, mid, end); });
  out += '[';
  write_elements(out, first, mid);
  second.join();
  out += ',';
  out += tail;
  out += ']';
  return out;
}

}  // namespace orvane::json
