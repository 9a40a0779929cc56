#pragma once
// The one JSON reader. It parses values into a Document, validates and skips values, and
// offers the token-level steps (keys, colons, element separators) that let typed records be
// decoded straight from request text with exact messages and positions.
//
// Positions: an error carries a byte index; its line is 1 + the line feeds before it and its
// column the number of bytes from the start of that line up to the index. `error` marks the
// bytes consumed so far, `peek_error` also counts the byte being looked at.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "canonical/value.hpp"

namespace orvane::json {

struct TextError {
  std::string message;
  std::size_t index = 0;
};

template <class T>
using TextResult = std::expected<T, TextError>;

// " at line L column C" for a byte index of `text`.
std::string position_suffix(std::string_view text, std::size_t index);

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

struct NumberToken {
  Kind kind;  // UInt, NegInt or Float
  std::size_t offset, len;
};

// The reader's working vectors. Each thread keeps one set that its readers borrow in turn, so
// that reading a small request does not allocate them afresh.
struct ReaderBuffers {
  std::string scratch;
  std::vector<std::uint32_t> keys;
  std::vector<std::vector<std::string_view>> shapes;
};

class Reader {
 public:
  explicit Reader(std::string_view text);
  ~Reader();
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

  std::string_view text() const { return text_; }
  std::size_t index() const { return i_; }

  // The next non-whitespace byte, left unconsumed; -1 at the end of the text.
  int skip_ws() {
    while (i_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[i_]);
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++i_;
    }
    return -1;
  }
  int peek() const { return i_ < text_.size() ? static_cast<unsigned char>(text_[i_]) : -1; }
  void eat() { ++i_; }

  TextError error(std::string_view m) const { return {std::string(m), i_}; }
  TextError peek_error(std::string_view m) const {
    return {std::string(m), i_ < text_.size() ? i_ + 1 : text_.size()};
  }

  // A whole value at the current position.
  TextResult<std::uint32_t> parse_value(Document& doc);
  TextResult<void> skip_value();
  // Only whitespace may follow.
  TextResult<void> end();

  // After the opening quote: the decoded string, a view of the text when it holds no escape,
  // otherwise of `scratch`.
  TextResult<std::string_view> parse_string(std::string& scratch);
  // At '-' or a digit.
  TextResult<NumberToken> parse_number();
  // After the first letter of true/false/null; `rest` is the remaining letters.
  TextResult<void> parse_ident(std::string_view rest);

  // Nesting: call at '[' or '{' before consuming it; `leave` after the closing bracket.
  TextResult<void> enter() {
    if (depth_ == kMaxDepth) return std::unexpected(peek_error(msg::kRecursionLimit));
    ++depth_;
    return {};
  }
  void leave() { --depth_; }

  // Token steps for decoding records from text. `first` tracks the first member/element.
  // next_key: positioned after the opening brace or a member; yields the key or nullopt at '}'
  // (left unconsumed).
  TextResult<std::optional<std::string_view>> next_key(bool& first, std::string& scratch);
  TextResult<void> object_colon();
  // next_element: yields true when an element follows (positioned at it), false at ']'.
  TextResult<bool> next_element(bool& first);
  // Closing steps that also run after a failure, to settle where decoding stopped.
  TextResult<void> end_map();
  TextResult<void> end_seq();

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
  void settle_duplicates(Document& doc, std::size_t base);

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

  ReaderBuffers* borrow();

  std::string_view text_;
  std::size_t i_ = 0;
  Fault failure_{};
  int depth_ = 0;
  std::unique_ptr<ReaderBuffers> own_;  // when this thread's set is already lent out
  ReaderBuffers* buffers_;
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

}  // namespace orvane::json
