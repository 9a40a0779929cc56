#pragma once
// The one JSON reader. It parses values into a Document, validates and skips values, and finds
// again where in the text a node of a parsed document was written.
//
// Positions: an error carries a byte index; its line is 1 + the line feeds before it and its
// column the number of bytes from the start of that line up to the index. A fault marks the
// bytes consumed so far, or, where the byte being looked at is the fault, that byte too.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/spare_buffers.hpp"
#include "json/value.hpp"

namespace orvane::json {

struct TextError {
  std::string message;
  std::size_t index = 0;
};

template <class T>
using TextResult = std::expected<T, TextError>;

// " at line L column C" for a byte index of `text`.
std::string position_suffix(std::string_view text, std::size_t index);

// The line of a byte index (from 1, counting the line feeds before it) and where that line
// starts, so that its column is the index less `line_start`.
struct TextPlace {
  std::size_t line = 1;
  std::size_t line_start = 0;
};
// The places of many indices of `text` (each at most its size), in the order given: one pass
// over the text up to the last of them, however many there are.
std::vector<TextPlace> text_places(std::string_view text, std::span<const std::size_t> indices);

// Syntax messages.
namespace msg {
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
}  // namespace msg

// Arrays and objects may nest this deep; the one that would open the next level fails.
inline constexpr int kMaxDepth = 127;

// Where a node was written: from its first byte to just past its last (the closing quote of a
// string or key, the closing bracket of a container).
struct NodeSpan {
  std::size_t begin = 0, end = 0;
};

struct NumberToken {
  Kind kind;  // UInt, NegInt or Float
  std::size_t offset, len;
};

// The reader's working vectors, kept by each thread for its readers (spare_buffers.hpp).
struct ReaderBuffers {
  std::string scratch;
  std::vector<std::uint32_t> keys;
  std::vector<std::vector<std::string_view>> shapes;
  void tidy();  // empties them and lets go of what grew past tuning.hpp's limits
};

class Reader {
 public:
  explicit Reader(std::string_view text);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Inside the reader a failure carries one of the fixed messages by view: cheap to pass back
  // through every level of a large document. The public steps own their message.
  struct Fault {
    std::string_view message;
    std::size_t index;
  };
  template <class T>
  using Fast = std::expected<T, Fault>;

  // A whole value at the current position.
  TextResult<std::uint32_t> parse_value(Document& doc);
  TextResult<void> skip_value();
  // Only whitespace may follow.
  TextResult<void> end();

  // Members whose key is given again stay as written, each in its place, instead of the later
  // value replacing the earlier one.
  void keep_repeated_keys() { keep_repeated_ = true; }

  // Where the tape nodes `wanted` (sorted, distinct) of the document parsed from this reader's
  // text begin and end: the text is read again from the start, only as far as the last of them.
  void locate(std::span<const std::uint32_t> wanted, std::span<NodeSpan> out);

 private:
  // The recursive steps return the node index, or kFailed with the fault kept in `failure_`:
  // a plain integer comes back in a register, at every level of nesting.
  using Step = std::uint64_t;
  static constexpr Step kFailed = ~Step(0);
  Step failed(Fault f) {
    failure_ = f;
    return kFailed;
  }
  template <bool kBuild>
  Step value(Document* doc, bool element);  // element: of an array
  template <bool kBuild>
  Step array(Document* doc);
  template <bool kBuild>
  Step object(Document* doc, bool element);
  Fast<void> parse_escape(std::string& scratch);
  Fast<std::uint16_t> hex_escape();
  void close_object(Document& doc, std::uint32_t node, std::size_t base, std::size_t level,
                    bool element, bool on_shape);
  void settle_duplicates(Document& doc, std::size_t base);
  struct Locating;
  bool locate_value(Locating& l);

  int skip_ws() {
    while (i_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[i_]);
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++i_;
    }
    return -1;
  }
  int peek() const { return i_ < text_.size() ? static_cast<unsigned char>(text_[i_]) : -1; }
  void leave() { --depth_; }

  Fault fault(std::string_view m) const { return {m, i_}; }
  Fault peek_fault(std::string_view m) const {
    return {m, i_ < text_.size() ? i_ + 1 : text_.size()};
  }
  Fast<void> enter_f() {
    if (depth_ == kMaxDepth) return std::unexpected(peek_fault(msg::kRecursionLimit));
    ++depth_;
    return {};
  }
  Fast<void> skip_value_f();
  Fast<void> end_f();
  Fast<std::string_view> parse_string_f(std::string& scratch);
  Fast<NumberToken> parse_number_f();
  Fast<void> parse_ident_f(std::string_view rest);
  // With `as_expected`, `expected` (a key without escapes) is tried first; *as_expected tells
  // whether it was the key found.
  Fast<std::optional<std::string_view>> next_key_f(bool& first, std::string& scratch,
                                                   std::string_view expected = {},
                                                   bool* as_expected = nullptr);
  Fast<void> object_colon_f();
  Fast<bool> next_element_f(bool& first);
  Fast<void> end_map_f();
  Fast<void> end_seq_f();

  std::string_view text_;
  std::size_t i_ = 0;
  Fault failure_{};
  int depth_ = 0;
  bool keep_repeated_ = false;
  SpareBuffers<ReaderBuffers> buffers_;
  std::string& scratch_;
  std::vector<std::uint32_t>& keys_;  // key nodes of the objects being read, innermost last
  // Per depth, the keys of the last object found with distinct keys held in the text.
  std::vector<std::vector<std::string_view>>& shapes_;
  static constexpr std::size_t kMaxShape = 64;
};

// Parses a whole text holding exactly one value (trailing whitespace allowed).
struct ParsedDocument {
  Document doc;
  std::uint32_t root = 0;
  Value value() const { return doc.value(root); }
};
std::expected<ParsedDocument, TextError> parse(std::string_view text);
// The same into an existing (reserved) document.
std::expected<void, TextError> parse_into(std::string_view text, ParsedDocument& out);
// The same with every member kept as written: a repeated key is a member of its own (see
// Reader::keep_repeated_keys). For reading an object in the order of its text.
std::expected<void, TextError> parse_as_written(std::string_view text, ParsedDocument& out);

// The spans of nodes of a document parsed from `text`, in the order of `nodes` (any order,
// repeats allowed). `text` must be the valid JSON the document was parsed from.
std::vector<NodeSpan> locate_nodes(std::string_view text, std::span<const std::uint32_t> nodes);

}  // namespace orvane::json
