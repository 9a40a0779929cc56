#pragma once
// What is wrong with a request, and what in it decoding ignores, as data beside the answer:
// every fault decoding meets (not only the first, which the answer words), each with its kind,
// the path of the member it is about and its place in the request text, and warnings about
// members no declaration knows and indicators no strategy declares.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "builder/compile_error.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"

namespace orvane::protocol {

struct PathStep {
  std::string_view key;  // a member's, when is_key
  std::size_t index = 0;
  bool is_key = false;
};

// The steps of the paths of one request's diagnostics, each member or element on the way to any
// of them once (diagnose.cpp).
class PathTable;

// The path of the member or element a diagnostic is about, from the request's root: its last
// step in a table the diagnostics of a request share. Findings below one member share that
// member's step, so a long key on the way is held once, however many findings stand below it.
class Path {
 public:
  Path() = default;
  Path(std::shared_ptr<const PathTable> table, std::uint32_t last)
      : table_(std::move(table)), last_(last) {}
  // From the root down; the keys live as long as the table does (as long as this path).
  std::vector<PathStep> steps() const;
  bool empty() const { return table_ == nullptr; }

 private:
  std::shared_ptr<const PathTable> table_;  // null for the empty path
  std::uint32_t last_ = 0;
};

struct Diagnostic {
  bool warning = false;
  // "syntax" for text that is not JSON, "request" for the request itself (its envelope, its
  // typed members), otherwise the kind of the answer's error: "bad spec" for the strategy,
  // "bad target", "io", "build"...
  std::string kind;
  std::string message;  // without the kind's prefix and without a position
  Path path;
  // A byte index of the request text; its line and column are counted as in the answer's
  // messages (the column is the number of bytes up to the index on its line).
  std::optional<std::size_t> index;
  std::string hint = {};  // what to do about it, when the compiler advises something
};

// Every fault and warning decoding finds in `text`, in the order of the text within each
// stage (the request, then the strategy).
std::vector<Diagnostic> diagnose(std::string_view text);

// The answer's own failure, when the compiler refused the request for a reason decoding does
// not see (a crate name, an MCU, a dataset file, a build): placed at the member it is about.
Diagnostic diagnostic_of(const builder::CompileError& e, std::string_view text);

// A request applied and diagnosed at once: the answer `command` gives (none when it was not
// run) and what `diagnose` finds, with the answer's own failure first when decoding finds no
// fault (`diagnostic_of`).
struct Exchange {
  std::optional<std::string> response;
  std::vector<Diagnostic> diagnostics;
  // Whether the strategy was exactly the bytes `ExchangeOptions::strategy_text` names; false
  // when that could not be seen (text that is not JSON, no strategy there).
  bool strategy_text_holds = true;
};

struct ExchangeOptions {
  bool run = true;
  // A build whose request draws warnings is not run.
  bool refuse_warnings = false;
  // Bytes [first, second) of the request that must hold the strategy and only JSON whitespace
  // beside it: text spliced in verbatim that is one JSON value. When they do not, nothing runs.
  std::optional<std::pair<std::size_t, std::size_t>> strategy_text;
};

// The request is read and decoded once when it is a compile request without a fault; the
// answer is byte for byte `command`'s and the diagnostics `diagnose`'s.
Exchange exchange(HandleState& state, std::string_view text, const CommandHooks& hooks,
                  const ExchangeOptions& options);

// {"diagnostics":[{"severity":...,"kind":...,"message":...,"path":[...],"index":N,"line":L,
// "column":C,"hint":...}, ...]} with index, line and column null when there is no place, and
// the hint only when there is one.
std::string diagnostics_json(const std::vector<Diagnostic>& diagnostics, std::string_view text);

}  // namespace orvane::protocol
