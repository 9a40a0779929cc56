#pragma once
// The writer's machinery, shared by the plain writers (writer.cpp) and the writer that digests
// its text as it goes (digesting_writer.cpp): the output sink, string and number rendering, and
// the Writer itself. Not for use outside those two and the schema's checked writer
// (schema/checked_writer.hpp), which writes the canonical text of a strategy as it checks it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json/alloc_fault.hpp"
#include "json/number.hpp"
#include "json/spare_buffers.hpp"
#include "json/string_scan.hpp"
#include "json/tuning.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace orvane::json::detail {

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
inline constexpr EscapeTable kEscape;

// Most pieces are a few bytes long: copying them inline beats a call to memcpy.
inline void copy_short(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n < 8) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// Told when the sink is about to move its text to a larger buffer, and where it went: a
// thread that reads the text while it is written must not read the old buffer meanwhile.
class MoveListener {
 public:
  virtual void before_move() = 0;
  virtual void after_move(const char* base) = 0;

 protected:
  ~MoveListener() = default;
};

// Writes into the string's spare room through a raw cursor: the writers emit many pieces of
// a few bytes, and a bounds check with a terminator store per piece costs more than the copy.
// The string holds junk past the cursor until the sink is done.
class Sink {
 public:
  explicit Sink(std::string& s) : s_(s) {
    const std::size_t used = s.size();
    open(used, std::max<std::size_t>(s.capacity(), used + 64));
  }
  ~Sink() { s_.resize(std::size_t(p_ - s_.data())); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  // Room for `n` more bytes at the cursor.
  char* room(std::size_t n) {
    if (std::size_t(end_ - p_) < n) [[unlikely]] {
      grow(n);
    }
    return p_;
  }
  void listen(MoveListener* l) { listener_ = l; }
  const char* base() const { return s_.data(); }
  std::size_t used() const { return std::size_t(p_ - s_.data()); }
  std::size_t capacity() const { return s_.size(); }
  void advance(std::size_t n) { p_ += n; }
  void put(char c) {
    room(1);
    *p_++ = c;
  }
  void put(std::string_view t) {
    copy_short(room(t.size()), t.data(), t.size());
    p_ += t.size();
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = std::size_t(p_ - s_.data());
    if (listener_) listener_->before_move();
    try {
      alloc_fault::on_growth();
      open(used, std::max(used + n, 2 * s_.size()));
    } catch (...) {
      // A failed growth leaves the text where it was (the string is unchanged): the listener
      // must hear that the move is over, or a thread waiting for it would wait forever.
      if (listener_) listener_->after_move(s_.data());
      throw;
    }
    if (listener_) listener_->after_move(s_.data());
  }
  void open(std::size_t used, std::size_t size) {
    // Bytes past `used` are about to be written: no need to fill them. (The size given to
    // the callback may exceed the one asked for: use our own.)
    s_.resize_and_overwrite(size, [size](char*, std::size_t) { return size; });
    p_ = s_.data() + used;
    end_ = s_.data() + s_.size();
  }

  std::string& s_;
  char* p_ = nullptr;
  char* end_ = nullptr;
  MoveListener* listener_ = nullptr;
};

inline void put_string(Sink& out, std::string_view s);

// A string with nothing to escape: quote, bytes, quote.
inline void put_plain_string(Sink& out, std::string_view s) {
  char* p = out.room(s.size() + 2);
  p[0] = '"';
  copy_short(p + 1, s.data(), s.size());
  p[s.size() + 1] = '"';
  out.advance(s.size() + 2);
}

// Whether a float literal already reads as its own canonical text: positional, at most 15
// significant digits (so they are the shortest round-trip digits), no superfluous zeros.
inline bool literal_is_canonical_float(std::string_view lit) {
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

inline void put_float(Sink& out, Value v) {
  std::string_view lit = v.literal();
  if (literal_is_canonical_float(lit)) {
    out.put(lit);
  } else {
    std::string text;
    append_float(text, v.as_double());
    out.put(text);
  }
}

// Byte-wise key order. Keys mostly differ in their first byte: decide that inline.
inline bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
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
  Writer(std::string& out, const Document* doc) : out_(out), source_(doc->source()) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // A byte between values written by the caller (the output is the writer's while it lives).
  void put(char c) { out_.put(c); }
  Sink& sink() { return out_; }
  // A member's key. A key held in the source text was read there without escapes, so it has
  // no byte that needs one; keys decoded from escapes live elsewhere and are checked.
  void put_key(std::string_view k) {
    const std::string_view src = source_;
    if (k.data() >= src.data() && k.data() + k.size() <= src.data() + src.size()) {
      put_plain_string(out_, k);
    } else {
      put_string(out_, k);
    }
  }

  void write(Value v) {
    // One switch on the node's own tag: values of every kind alternate, and each switch
    // costs a hard-to-predict jump.
    const Document* doc = v.document();
    const std::uint32_t at = v.index();
    switch (doc->tag(at)) {
      case Document::kFalse:
        out_.put("false");
        return;
      case Document::kTrue:
        out_.put("true");
        return;
      case Document::kUInt:
      case Document::kNegInt:
        // Integer literals are already in their one written form: no sign, no leading zeros.
        out_.put(doc->text_of(at));
        return;
      case Document::kFloat:
        put_float(out_, v);
        return;
      case Document::kStr:
        put_plain_string(out_, doc->text_of(at));
        return;
      case Document::kStrEsc:
        put_string(out_, doc->text_of(at));
        return;
      case Document::kArray: {
        out_.put('[');
        bool first = true;
        v.for_each_element([&](Value e) {
          if (!first) out_.put(',');
          first = false;
          write(e);
          return true;
        });
        out_.put(']');
        return;
      }
      case Document::kObject:
        if constexpr (kSorted) {
          write_sorted_object(v);
        } else {
          out_.put('{');
          bool first = true;
          v.for_each_member([&](std::string_view k, Value m) {
            if (!first) out_.put(',');
            first = false;
            put_key(k);
            out_.put(':');
            write(m);
            return true;
          });
          out_.put('}');
        }
        return;
      default:  // null (a redirect or superseded key is never handed here)
        out_.put("null");
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
  static constexpr std::size_t kCachedFrom = tuning::kOrderCacheFrom;

  void write_small_object(std::size_t base, std::size_t n) {
    Entry* e = entries_.data() + base;
    for (std::size_t i = 1; i < n; ++i) {
      Entry x = e[i];
      std::size_t j = i;
      for (; j > 0 && key_less(x.key, e[j - 1].key); --j) e[j] = e[j - 1];
      e[j] = x;
    }
    out_.put('{');
    ++depth_;
    for (std::size_t i = 0; i < n; ++i) {
      if (i) out_.put(',');
      Entry x = entries_[base + i];  // deeper objects may grow entries_
      put_key(x.key);
      out_.put(':');
      write(x.value);
    }
    --depth_;
    out_.put('}');
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

  // The common case of a long run of objects of scalars with the same keys (candles): the
  // members are read in place, in the order found for the previous object.
  bool write_repeated_flat_object(Value v) {
    if (depth_ >= caches_.size()) return false;
    const OrderCache& cache = caches_[depth_];
    if (!cache.rendered_valid) return false;
    const Document* doc = v.document();
    const std::uint32_t obj = v.index();
    const std::size_t n = cache.keys.size();
    if (doc->end_of(obj) != obj + 1 + 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t k = obj + 1 + 2 * std::uint32_t(i);
      if (doc->tag(k) != Document::kStr || !is_scalar(doc->tag(k + 1))) return false;
      if (!same_key(doc->text_of(k), cache.keys[i])) return false;
    }
    out_.put('{');
    for (std::size_t i = 0; i < n; ++i) {
      out_.put(cache.rendered[i]);
      write(Value(doc, obj + 2 + 2 * cache.order[i]));
    }
    out_.put('}');
    return true;
  }
  static bool is_scalar(Document::Tag t) {
    return t != Document::kArray && t != Document::kObject && t != Document::kRedirect &&
           t != Document::kDead;
  }

  // The fast path of larger objects: objects at one depth (the candles of a dataset) mostly
  // repeat the keys of the one before, so the key order found for it is kept per depth and
  // reused while the keys repeat, with its keys rendered once ("key": and the comma before).
  void sort_through_cache(std::size_t base, std::size_t n) {
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
      auto by_key = [&](std::uint32_t a, std::uint32_t b) {
        return key_less(cache.keys[a], cache.keys[b]);
      };
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
  }

  void write_sorted_object(Value v) {
    if (v.size() == 1) {  // most of a strategy: conditions and operands have one member
      out_.put('{');
      ++depth_;
      v.for_each_member([&](std::string_view k, Value m) {
        put_key(k);
        out_.put(':');
        write(m);
        return false;
      });
      --depth_;
      out_.put('}');
      return;
    }
    if (write_repeated_flat_object(v)) return;
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
    sort_through_cache(base, n);
    out_.put('{');
    ++depth_;
    for (std::size_t i = 0; i < n; ++i) {
      const OrderCache& c = caches_[depth_ - 1];  // deeper objects may grow caches_
      const Entry& e = entries_[base + c.order[i]];
      if (c.rendered_valid) {
        out_.put(c.rendered[i]);
      } else {
        if (i) out_.put(',');
        put_key(e.key);
        out_.put(':');
      }
      write(entries_[base + c.order[i]].value);
    }
    --depth_;
    out_.put('}');
    entries_.resize(base);
  }

  // The writer's working vectors, kept by each thread for its writers (spare_buffers.hpp).
  struct Buffers {
    std::vector<Entry> entries;
    std::vector<OrderCache> caches;
    void tidy() {
      // The order caches hold views of the last document's keys: none may outlive the writer.
      for (auto& c : caches) {
        c.keys.clear();
        c.rendered_valid = false;
        if (c.order.capacity() > kKeepEntries) c = OrderCache();
      }
      entries.clear();
      if (entries.capacity() > kKeepEntries) std::vector<Entry>().swap(entries);
    }
  };
  static constexpr std::size_t kKeepEntries = tuning::kKeepWriterEntries;

  Sink out_;
  std::string_view source_;
  SpareBuffers<Buffers> buffers_;
  std::vector<Entry>& entries_ = buffers_.get().entries;
  std::vector<OrderCache>& caches_ = buffers_.get().caches;
  std::size_t depth_ = 0;
};

inline void put_string(Sink& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t special = find_string_special(s.data(), 0, s.size());
  if (special == s.size()) {
    put_plain_string(out, s);
    return;
  }
  out.put('"');
  std::size_t run = 0;
  for (std::size_t i = special; i < s.size(); i = find_string_special(s.data(), i + 1, s.size())) {
    out.put(s.substr(run, i - run));
    unsigned char c = static_cast<unsigned char>(s[i]);
    char e = kEscape.esc[c];
    char* p = out.room(6);
    p[0] = '\\';
    p[1] = e;
    if (e == 'u') {
      p[2] = '0';
      p[3] = '0';
      p[4] = kHex[c >> 4];
      p[5] = kHex[c & 0xF];
      out.advance(6);
    } else {
      out.advance(2);
    }
    run = i + 1;
  }
  out.put(s.substr(run));
  out.put('"');
}

}  // namespace orvane::json::detail
