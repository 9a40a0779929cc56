#include "canonical/writer.hpp"

#include <algorithm>
#include <vector>

#include "canonical/number.hpp"

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

void append_number(std::string& out, Value v) {
  if (v.kind() == Kind::Float) {
    append_float(out, v.as_double());
  } else {
    // Integer literals are already in their one written form: no sign, no leading zeros.
    out += v.literal();
  }
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

  void write_sorted_object(Value v) {
    // One shared stack of entries: each object sorts its own slice of it.
    std::size_t base = entries_.size();
    v.for_each_member([&](std::string_view k, Value m) {
      entries_.push_back(Entry{k, m});
      return true;
    });
    std::sort(entries_.begin() + base, entries_.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    out_ += '{';
    for (std::size_t i = base; i < entries_.size(); ++i) {
      if (i != base) out_ += ',';
      Entry e = entries_[i];  // the vector may grow below
      append_string(out_, e.key);
      out_ += ':';
      write(e.value);
    }
    out_ += '}';
    entries_.resize(base);
  }

  std::string& out_;
  std::vector<Entry> entries_;
};

}  // namespace

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    char e = kEscape.esc[static_cast<unsigned char>(*p)];
    if (e == 0) continue;
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
  write_canonical(out, v);
  return out;
}

}  // namespace orvane::json
