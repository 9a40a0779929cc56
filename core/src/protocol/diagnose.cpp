#include "protocol/diagnose.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <span>

#include "builder/pipeline.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "protocol/commands.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/requests.hpp"
#include "schema/messages.hpp"
#include "schema/strategy.hpp"

namespace orvane::protocol {

// The steps of a PathTree, with their keys copied once: the document they were read from is
// gone by the time the diagnostics are written out.
class PathTable {
 public:
  explicit PathTable(const json::PathTree& tree) {
    std::size_t bytes = 0;
    for (const auto& s : tree.steps) bytes += s.step.key.size();
    keys_.reserve(bytes);
    steps_.reserve(tree.steps.size());
    for (const auto& s : tree.steps) {
      steps_.push_back(
          Step{keys_.size(), s.step.key.size(), s.step.index, s.parent, s.step.is_key});
      keys_.append(s.step.key);
    }
  }

  void steps_to(std::uint32_t last, std::vector<PathStep>& out) const {
    for (std::uint32_t at = last; at != json::PathTree::kNone; at = steps_[at].parent) {
      const Step& s = steps_[at];
      out.push_back(
          PathStep{std::string_view(keys_).substr(s.key_at, s.key_size), s.index, s.is_key});
    }
    std::reverse(out.begin(), out.end());
  }

 private:
  struct Step {
    std::size_t key_at, key_size;
    std::size_t index;
    std::uint32_t parent;
    bool is_key;
  };
  std::string keys_;
  std::vector<Step> steps_;
};

std::vector<PathStep> Path::steps() const {
  std::vector<PathStep> out;
  if (table_) table_->steps_to(last_, out);
  return out;
}

namespace {

constexpr std::string_view kRequestKind = "request";

// A finding of one stage of decoding, on the document that stage read.
struct Found {
  schema::Finding finding;
  const json::ParsedDocument* doc;
  std::string_view kind;
  // A fault of the strategy is shown at the value it is about (its message has no place a
  // reader stopped at); a fault of the request where the answer places it.
  bool at_value;
};

// The paths of `nodes` of one document, in the order given.
std::vector<Path> paths_of(const json::ParsedDocument& doc, std::span<const std::uint32_t> nodes) {
  const json::PathTree tree = json::paths_to(doc.doc, doc.root, nodes);
  auto table = std::make_shared<const PathTable>(tree);
  std::vector<Path> out;
  out.reserve(nodes.size());
  for (std::uint32_t last : tree.last) {
    out.push_back(last == json::PathTree::kNone ? Path() : Path(table, last));
  }
  return out;
}

// The member `key` of an object, by its first occurrence.
std::optional<json::Value> member(std::optional<json::Value> v, std::string_view key) {
  if (!v || v->kind() != json::Kind::Object) return std::nullopt;
  return v->find(key);
}

// The node a dotted path of members leads to from `root`, or the deepest one found on the way.
std::uint32_t node_at(json::Value root, std::string_view dotted) {
  json::Value at = root;
  while (!dotted.empty()) {
    const std::size_t dot = dotted.find('.');
    auto next = member(at, dotted.substr(0, dot));
    if (!next) break;
    at = *next;
    dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
  }
  return at.index();
}

class Stages {
 public:
  explicit Stages(std::string_view text) : text_(text) {}

  // Runs `decode` with a Diagnosis active and keeps what it finds; `keep_warnings` false for
  // a stage that sees members meant for another (the envelope).
  // `decoded` is the document `decode` reads; its nodes are those of `doc` from `offset` on
  // (a value read again on its own, see check_strategy), and `doc` gives their paths.
  template <class Decode>
  auto run(const json::ParsedDocument& doc, std::string_view kind, bool at_value,
           bool keep_warnings, Decode&& decode, const json::ParsedDocument* decoded = nullptr,
           std::uint32_t offset = 0) {
    schema::Diagnosis d;
    d.unknown_keys = keep_warnings;
    d.quiet_keys = ignored_;
    auto r = decode();
    if (!r) d.note(r.error());  // a fault no record below has kept
    for (auto& f : d.findings) {
      if (f.warning && (!keep_warnings || std::find(ignored_.begin(), ignored_.end(), f.node) !=
                                              ignored_.end())) {
        continue;
      }
      if (!f.warning && f.hint.empty()) {
        f.hint = number_hint((decoded ? *decoded : doc).doc, f.node);
      }
      f.node += offset;
      found_.push_back(Found{std::move(f), &doc, kind, at_value});
    }
    return r;
  }

  bool has_errors() const {
    return std::any_of(found_.begin(), found_.end(), [](const Found& f) { return !f.finding.warning; });
  }

  // Members that are not the business of the stage that meets them (the command's name).
  void ignore_key_of(json::Value object, std::string_view key) {
    if (object.kind() != json::Kind::Object) return;
    object.for_each_member_at([&](std::uint32_t node, std::string_view k, json::Value) {
      if (k == key) ignored_.push_back(node);
      return true;
    });
  }

  void warn(const json::ParsedDocument& doc, std::uint32_t node, std::string message) {
    found_.push_back(Found{schema::Finding{std::move(message), node, schema::Place::Start, true},
                           &doc, "bad spec", true});
  }

  // Places every finding with one reading of the text, and finds the paths of each document's
  // findings with one walk of its tape.
  std::vector<Diagnostic> finish() {
    std::vector<std::uint32_t> nodes;
    nodes.reserve(found_.size());
    for (const Found& f : found_) nodes.push_back(f.finding.node);
    const auto spans = spans_of(nodes);
    std::vector<Path> paths(found_.size());
    std::vector<const json::ParsedDocument*> docs;
    for (const Found& f : found_) {
      if (std::find(docs.begin(), docs.end(), f.doc) == docs.end()) docs.push_back(f.doc);
    }
    for (const json::ParsedDocument* doc : docs) {
      std::vector<std::size_t> which;
      std::vector<std::uint32_t> of_doc;
      for (std::size_t i = 0; i < found_.size(); ++i) {
        if (found_[i].doc != doc) continue;
        which.push_back(i);
        of_doc.push_back(nodes[i]);
      }
      auto found_paths = paths_of(*doc, of_doc);
      for (std::size_t k = 0; k < which.size(); ++k) paths[which[k]] = std::move(found_paths[k]);
    }
    std::vector<Diagnostic> out;
    out.reserve(found_.size());
    for (std::size_t i = 0; i < found_.size(); ++i) {
      Found& f = found_[i];
      const std::size_t index = f.at_value || f.finding.warning
                                    ? spans[i].begin + 1
                                    : place_in_text(f.finding.place, spans[i], text_);
      out.push_back(Diagnostic{f.finding.warning, std::string(f.kind), std::move(f.finding.message),
                               std::move(paths[i]), index, std::move(f.finding.hint)});
    }
    return out;
  }

 private:
  // The integer -0 is read as the floating point number -0.0, and its faults name it so.
  static std::string number_hint(const json::Document& doc, std::uint32_t node) {
    if (node >= doc.node_count() || doc.tag(node) != json::Document::kFloat ||
        doc.text_of(node) != "-0") {
      return {};
    }
    return "the integer `-0` is read as the floating point number -0.0: JSON's integers have "
           "no negative zero";
  }

  // Where each finding's node is written. A key or a number is placed from the tape, which
  // points at its text; only the others (containers, escaped strings, literals) take a second
  // reading of the text, which stops at the last of them. A warning about a member is the
  // common case, and it is then placed without reading the text again.
  std::vector<json::NodeSpan> spans_of(const std::vector<std::uint32_t>& nodes) const {
    std::vector<json::NodeSpan> out(nodes.size());
    std::vector<std::size_t> unplaced;
    std::vector<std::uint32_t> to_read;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const json::Document& doc = found_[i].doc->doc;
      const bool on_tape = doc.source().data() == text_.data() &&
                           doc.source().size() == text_.size() && !doc.has_folded_keys() &&
                           nodes[i] < doc.node_count() &&
                           doc.source_place(nodes[i], out[i].begin, out[i].end);
      if (!on_tape) {
        unplaced.push_back(i);
        to_read.push_back(nodes[i]);
      }
    }
    if (to_read.empty()) return out;
    const auto read = json::locate_nodes(text_, to_read);
    for (std::size_t k = 0; k < unplaced.size(); ++k) out[unplaced[k]] = read[k];
    return out;
  }

  std::string_view text_;
  std::vector<Found> found_;
  std::vector<std::uint32_t> ignored_;
};

// A key given again in one object of the strategy: decoding reads the last value, so each
// earlier one is lost without a word. Warned at each repeat (the reader marks the repeats'
// key nodes and lets the first member read the last value).
void warn_repeated_keys(Stages& stages, const json::ParsedDocument& request, std::uint32_t node,
                        const json::ParsedDocument& paths, std::uint32_t offset) {
  const json::Document& doc = request.doc;
  for (std::uint32_t i = node, end = doc.end_of(node); i < end; ++i) {
    if (doc.tag(i) != json::Document::kDead) continue;
    std::string message = "key `";
    message += doc.text_of(i);
    message += "` is given more than once in this object: the earlier value is ignored, this one is read";
    stages.warn(paths, i + offset, std::move(message));
  }
}

// The strategy at `node` of `request` (whose nodes are those of `paths`, which gives their
// paths), read as the compiler reads a strategy: a key given twice in it folded into one.
void check_strategy(Stages& stages, const json::ParsedDocument& request, std::uint32_t node,
                    const json::ParsedDocument& paths, std::uint32_t offset = 0) {
  if (request.doc.has_folded_keys()) warn_repeated_keys(stages, request, node, paths, offset);
  auto spec = stages.run(
      paths, "bad spec", true, true,
      [&] { return schema::decode<schema::StrategySpec>(request.doc.value(node)); }, &request,
      offset);
  if (!spec) return;
  std::vector<std::string_view> declared;
  for (const auto& [name, indicator] : spec->indicators) declared.push_back(name);
  schema::for_each_indicator_ref(*spec, [&](const schema::IndicatorRef& ref) {
    if (std::binary_search(declared.begin(), declared.end(), ref.name)) return;
    stages.warn(paths, ref.node + offset,
                schema::undeclared_indicator(ref.name, schema::closest_name(ref.name, declared)));
  });
}

// Each member `key` of an object as written (a repeated key is a member of its own).
template <class F>
void for_each_member_named(json::Value object, std::string_view key, F&& f) {
  if (object.kind() != json::Kind::Object) return;
  object.for_each_member([&](std::string_view k, json::Value v) {
    if (k == key) f(v);
    return true;
  });
}

// A strategy of a request whose `spec` or `strategy` is given twice, at `node` of the request as
// written. The parsed request has it where the reader left it: the value of a repeated key that
// a later one replaced is no longer on its tape, so that strategy is read again on its own (its
// nodes numbered from its root, as in the whole text).
void check_given_strategy(Stages& stages, const json::ParsedDocument& request,
                          const json::ParsedDocument& written, std::uint32_t node,
                          std::string_view text) {
  if (request.doc.tag(node) != json::Document::kRedirect) {
    check_strategy(stages, request, node, written);
    return;
  }
  const json::NodeSpan span = json::locate_nodes(text, {&node, 1})[0];
  json::ParsedDocument alone;
  if (!json::parse_into(text.substr(span.begin, span.end - span.begin), alone)) return;
  check_strategy(stages, alone, alone.root, written, node);
}

// The keys of the members open at byte `at` of a text that is JSON up to there, from the root
// down: as many as `levels`, while each level is an object's member.
std::vector<std::string> members_open_at(std::string_view text, std::size_t at,
                                         std::size_t levels) {
  struct Open {
    bool object;
    std::string_view key;  // as written, escapes and all
  };
  std::vector<Open> open;
  bool key_next = false;
  for (std::size_t i = 0; i < at && i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
      if (key_next && !open.empty()) open.back().key = text.substr(i, j + 1 - i);
      key_next = false;
      i = j;
    } else if (c == '{' || c == '[') {
      open.push_back(Open{c == '{', {}});
      key_next = c == '{';
    } else if ((c == '}' || c == ']') && !open.empty()) {
      open.pop_back();
    } else if (c == ',') {
      key_next = !open.empty() && open.back().object;
    }
  }
  std::vector<std::string> keys;
  for (const Open& o : open) {
    if (keys.size() == levels || !o.object || o.key.empty()) break;
    auto key = json::parse(o.key);
    if (!key || key->value().kind() != json::Kind::String) break;
    keys.emplace_back(key->value().as_string());
  }
  return keys;
}

// The "\uXXXX" escape of `text` at `at`, as a number; none when there is none there.
std::optional<unsigned> escape_at(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
  unsigned n = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const char c = text[i];
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return std::nullopt;
    n = n * 16 + unsigned(v);
  }
  return n;
}

// What a surrogate escape the reader refused is; the reader's message is the answer's too.
std::string surrogate_hint(std::string_view text, const json::TextError& e) {
  const auto shown = [&](std::size_t at) {
    std::string out(1, '`');
    out.append(text.substr(at, 6));
    out += '`';
    return out;
  };
  const std::size_t at = e.index;  // just past what the reader refused
  if (e.message == json::msg::kLoneLeadingSurrogate && at >= 6) {
    const auto escape = escape_at(text, at - 6);
    if (escape && *escape >= 0xDC00 && *escape <= 0xDFFF) {
      return shown(at - 6) + " is a trailing surrogate with no leading surrogate (`\\ud800` to "
             "`\\udbff`) before it; a character above U+FFFF is written as a leading and a "
             "trailing surrogate escape in a row, such as `\\ud83d\\ude00`";
    }
    if (escape && at >= 12 && escape_at(text, at - 12)) {
      return "the leading surrogate " + shown(at - 12) + " is followed by " + shown(at - 6) +
             ", not by a trailing surrogate (`\\udc00` to `\\udfff`)";
    }
  } else if (e.message == json::msg::kUnexpectedEndOfHexEscape && at >= 1) {
    const std::size_t lead = text.rfind("\\u", at - 1);
    if (lead == std::string_view::npos || !escape_at(text, lead)) return {};
    if (text[at - 1] == '"') {
      return "the string ends after the leading surrogate " + shown(lead) +
             ", which must be followed by a trailing surrogate escape (`\\udc00` to `\\udfff`)";
    }
    return "the leading surrogate " + shown(lead) +
           " must be followed by a trailing surrogate escape (`\\udc00` to `\\udfff`)";
  }
  return {};
}

// A request that is not JSON. Nesting too deep inside the strategy is the strategy's fault: the
// request's levels above it are not the writer's to spend.
Diagnostic syntax_fault(std::string_view text, json::TextError e) {
  if (e.message == json::msg::kRecursionLimit) {
    const auto keys = members_open_at(text, e.index, 2);
    if (keys == std::vector<std::string>{"spec", "strategy"}) {
      json::PathTree tree;
      tree.steps.push_back({json::PathStep{"spec", 0, true}, json::PathTree::kNone});
      tree.steps.push_back({json::PathStep{"strategy", 0, true}, 0});
      return Diagnostic{false, "bad spec", schema::strategy_too_deep(),
                        Path(std::make_shared<const PathTable>(tree), 1), e.index,
                        schema::strategy_too_deep_hint()};
    }
  }
  std::string hint = surrogate_hint(text, e);
  return Diagnostic{false, "syntax", std::move(e.message), {}, e.index, std::move(hint)};
}

}  // namespace

std::vector<Diagnostic> diagnose(std::string_view text) {
  json::ParsedDocument request;
  request.doc.reserve(text.size() / 6 + 16);
  if (auto parsed = json::parse_into(text, request); !parsed) {
    return {syntax_fault(text, parsed.error())};
  }
  // The request's own members are judged as written, a repeated key where it stands; the
  // strategy as parsed, a repeated key's last value standing, as the compiler reads it.
  json::ParsedDocument as_written;
  const json::ParsedDocument* written = &request;
  if (request.doc.has_folded_keys() && json::parse_as_written(text, as_written)) {
    written = &as_written;
  }
  Stages stages(text);
  auto envelope = stages.run(*written, kRequestKind, false, false, [&] {
    return schema::decode<Envelope>(written->value());
  });
  if (!envelope) return stages.finish();
  stages.ignore_key_of(written->value(), "cmd");
  if (envelope->cmd == "compile") {
    auto req = stages.run(*written, kRequestKind, false, true, [&] {
      return schema::decode<CompileReq>(written->value());
    });
    // The strategy is looked at even when other members are wrong: every fault at once. A
    // `spec` or `strategy` given twice is a fault of the request, and each strategy given is
    // checked where it stands.
    if (req) {
      check_strategy(stages, request, req->spec.strategy.index(), *written);
    } else {
      for_each_member_named(written->value(), "spec", [&](json::Value spec) {
        for_each_member_named(spec, "strategy", [&](json::Value strategy) {
          check_given_strategy(stages, request, *written, strategy.index(), text);
        });
      });
    }
  } else if (envelope->cmd == "artifact_bytes") {
    stages.run(*written, kRequestKind, false, true, [&] {
      return schema::decode<BytesReq>(written->value());
    });
  }
  return stages.finish();
}

namespace {

bool json_space(std::string_view bytes) {
  return bytes.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

// Past the end of the value that begins at `at` of a text known to be valid JSON: brackets
// counted, strings skipped over.
std::size_t value_end(std::string_view text, std::size_t at) {
  std::size_t depth = 0;
  std::size_t i = at;
  do {
    const char c = text[i++];
    if (c == '"') {
      for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (depth == 0) {  // a number or a literal
      while (i < text.size() && std::string_view(",}] \t\n\r").find(text[i]) == std::string_view::npos) ++i;
    }
  } while (depth > 0 && i < text.size());
  return std::min(i, text.size());
}

// Where the strategy's value is written, found from the tape, which points at its key: from
// past the key's colon to the value's end, over the value's bytes alone. The plain way (a
// second reading of the request up to the value, below) costs about a third of a small
// dry run; this is taken whenever the key is written without escapes.
std::optional<json::NodeSpan> value_after_key(const json::Document& doc, std::uint32_t value,
                                              std::string_view text) {
  std::size_t key_begin = 0;
  std::size_t key_end = 0;
  if (value == 0 || doc.source().data() != text.data() || doc.has_folded_keys() ||
      !doc.source_place(value - 1, key_begin, key_end)) {
    return std::nullopt;
  }
  std::size_t at = key_end;
  while (at < text.size() && (text[at] == ':' || json_space(text.substr(at, 1)))) ++at;
  if (at >= text.size()) return std::nullopt;
  return json::NodeSpan{at, value_end(text, at)};
}

// Whether the strategy of a parsed request is exactly the bytes [first, second) of its text,
// JSON whitespace aside.
bool strategy_is(const json::ParsedDocument& request, std::string_view text,
                 std::pair<std::size_t, std::size_t> bytes) {
  auto strategy = member(member(request.value(), "spec"), "strategy");
  if (!strategy || bytes.first > bytes.second || bytes.second > text.size()) return false;
  const std::uint32_t node = strategy->index();
  const auto found = value_after_key(request.doc, node, text);
  const json::NodeSpan span = found ? *found : json::locate_nodes(text, {&node, 1})[0];
  return bytes.first <= span.begin && span.end <= bytes.second &&
         json_space(text.substr(bytes.first, span.begin - bytes.first)) &&
         json_space(text.substr(span.end, bytes.second - span.end));
}

// Whether the reader stopped at the depth limit within the strategy, and within the bytes
// [first, second).
bool stopped_deep_in_strategy(std::string_view text, const json::TextError& e,
                              std::pair<std::size_t, std::size_t> bytes) {
  return e.message == json::msg::kRecursionLimit && bytes.first <= e.index &&
         e.index < bytes.second &&
         members_open_at(text, e.index, 2) == std::vector<std::string>{"spec", "strategy"};
}

}  // namespace

Exchange exchange(HandleState& state, std::string_view text, const CommandHooks& hooks,
                  const ExchangeOptions& options) {
  json::ParsedDocument request;
  RequestTape tape(state, request, text);
  const auto read = read_request(text, request, tape);
  const bool parsed = read.has_value();
  bool run = options.run;
  bool holds = true;
  if (options.strategy_text) {
    // A strategy that nests too deep for the request stops the reader inside it: that is the
    // fault to show, whatever else its bytes hold (a request that is not JSON runs nothing).
    holds = parsed ? strategy_is(request, text, *options.strategy_text)
                   : stopped_deep_in_strategy(text, read.error(), *options.strategy_text);
    run = run && holds;
  }
  // Faults, repeated keys and commands other than compile take the long way: the diagnostics
  // and the answer each from their own reading, as they were made apart.
  auto long_way = [&] {
    Exchange out;
    out.strategy_text_holds = holds;
    out.diagnostics = diagnose(text);
    const bool has_error = std::any_of(out.diagnostics.begin(), out.diagnostics.end(),
                                       [](const Diagnostic& d) { return !d.warning; });
    if (!run) return out;
    if (options.refuse_warnings && !has_error && !out.diagnostics.empty()) {
      auto req = schema::decode<CompileReq>(request.value());
      if (req && !req->dry_run) return out;
    }
    std::optional<builder::CompileError> failure;
    CommandHooks with_failure = hooks;
    with_failure.failure = &failure;
    out.response = command(state, text, with_failure);
    if (failure && !has_error) {
      out.diagnostics.insert(out.diagnostics.begin(), diagnostic_of(*failure, text));
    }
    return out;
  };
  if (!parsed || request.doc.has_folded_keys() || !holds) return long_way();
  Stages stages(text);
  auto envelope = stages.run(request, kRequestKind, false, false, [&] {
    return schema::decode<Envelope>(request.value());
  });
  if (!envelope || stages.has_errors() || envelope->cmd != "compile") return long_way();
  stages.ignore_key_of(request.value(), "cmd");
  auto req = stages.run(request, kRequestKind, false, true, [&] {
    return schema::decode<CompileReq>(request.value());
  });
  if (!req || stages.has_errors()) return long_way();
  // The named fast path: the strategy checked and its canonical text written in the one walk
  // the pipeline takes (builder::checked_strategy_text), which notes whatever the diagnosis
  // would warn of (schema::CheckNotes; a repeated key took the long way above). A strategy it
  // accepts without a note draws no diagnostic, so it is not decoded. Any other is diagnosed
  // by the plain path, check_strategy, as `diagnose` does it. The text of an accepted one goes
  // on to the pipeline, which does not write it again.
  schema::CheckNotes notes;
  auto written = builder::checked_strategy_text(req->spec.strategy, &notes);
  if (!written || notes.any()) {
    check_strategy(stages, request, req->spec.strategy.index(), request);
    if (stages.has_errors()) return long_way();
  }
  // Decoded once without a fault: the command goes on from here, when it is to run.
  Exchange out;
  out.diagnostics = stages.finish();
  if (!run) return out;
  if (options.refuse_warnings && !req->dry_run && !out.diagnostics.empty()) return out;
  std::optional<builder::CompileError> failure;
  CommandHooks with_failure = hooks;
  with_failure.failure = &failure;
  out.response = compile_decoded(state, *req, with_failure, true, written ? &*written : nullptr);
  if (failure) out.diagnostics.insert(out.diagnostics.begin(), diagnostic_of(*failure, text));
  return out;
}

Diagnostic diagnostic_of(const builder::CompileError& e, std::string_view text) {
  Diagnostic out{false, std::string(builder::error_kind_name(e.kind)), e.message, {}, {},
                 std::string(e.hint)};
  if (e.field.empty()) return out;
  auto request = json::parse(text);
  if (!request) return out;
  auto spec = e.field_in_request ? std::optional<json::Value>(request->value())
                                 : member(request->value(), "spec");
  if (!spec) return out;
  const std::uint32_t node = node_at(*spec, e.field);
  out.path = std::move(paths_of(*request, {&node, 1})[0]);
  out.index = json::locate_nodes(text, {&node, 1})[0].begin + 1;
  return out;
}

std::string diagnostics_json(const std::vector<Diagnostic>& diagnostics, std::string_view text) {
  // The lines and columns of all of them with one reading of the text.
  std::vector<std::size_t> indices;
  for (const Diagnostic& d : diagnostics) {
    if (d.index) indices.push_back(std::min(*d.index, text.size()));
  }
  const auto places = json::text_places(text, indices);
  // Room for all of it at once (escapes aside): a path with a long key, repeated in many
  // diagnostics, can make the text far larger than the request.
  std::size_t room = 16;
  std::vector<std::vector<PathStep>> paths;
  paths.reserve(diagnostics.size());
  for (const Diagnostic& d : diagnostics) {
    paths.push_back(d.path.steps());
    room += 128 + d.kind.size() + d.message.size() + d.hint.size();
    for (const PathStep& s : paths.back()) room += 3 + (s.is_key ? s.key.size() : 20);
  }
  std::string out;
  out.reserve(room);
  out += "{\"diagnostics\":[";
  std::size_t placed = 0;
  for (std::size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& d = diagnostics[i];
    if (i) out += ',';
    out += d.warning ? "{\"severity\":\"warning\",\"kind\":" : "{\"severity\":\"error\",\"kind\":";
    json::append_string(out, d.kind);
    out += ",\"message\":";
    json::append_string(out, d.message);
    out += ",\"path\":[";
    const std::vector<PathStep>& path = paths[i];
    for (std::size_t s = 0; s < path.size(); ++s) {
      if (s) out += ',';
      if (path[s].is_key) {
        json::append_string(out, path[s].key);
      } else {
        out += std::to_string(path[s].index);
      }
    }
    out += "],\"index\":";
    if (d.index) {
      const std::size_t index = indices[placed];
      const json::TextPlace& at = places[placed++];
      out += std::to_string(index) + ",\"line\":" + std::to_string(at.line) +
             ",\"column\":" + std::to_string(index - at.line_start);
    } else {
      out += "null,\"line\":null,\"column\":null";
    }
    if (!d.hint.empty()) {
      out += ",\"hint\":";
      json::append_string(out, d.hint);
    }
    out += '}';
  }
  out += "]}";
  return out;
}

}  // namespace orvane::protocol
