#include "protocol/diagnose.hpp"

#include <algorithm>
#include <functional>
#include <set>

#include "canonical/reader.hpp"
#include "canonical/writer.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/requests.hpp"
#include "schema/strategy.hpp"

namespace orvane::protocol {

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

std::vector<PathStep> owned_path(const json::ParsedDocument& doc, std::uint32_t node) {
  std::vector<PathStep> out;
  for (const auto& s : json::path_to(doc.doc, doc.root, node)) {
    out.push_back(PathStep{std::string(s.key), s.index, s.is_key});
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
  template <class Decode>
  auto run(const json::ParsedDocument& doc, std::string_view kind, bool at_value,
           bool keep_warnings, Decode&& decode) {
    schema::Diagnosis d;
    auto r = decode();
    if (!r) d.note(r.error());  // a fault no record below has kept
    for (auto& f : d.findings) {
      if (f.warning && (!keep_warnings || ignored_.contains(f.node))) continue;
      found_.push_back(Found{std::move(f), &doc, kind, at_value});
    }
    return r;
  }

  // Members that are not the business of the stage that meets them (the command's name).
  void ignore_key_of(json::Value object, std::string_view key) {
    if (object.kind() != json::Kind::Object) return;
    object.for_each_member_at([&](std::uint32_t node, std::string_view k, json::Value) {
      if (k == key) ignored_.insert(node);
      return true;
    });
  }

  void warn(const json::ParsedDocument& doc, std::uint32_t node, std::string message) {
    found_.push_back(Found{schema::Finding{std::move(message), node, schema::Place::Start, true},
                           &doc, "bad spec", true});
  }

  std::vector<Diagnostic> finish() {
    std::vector<std::uint32_t> nodes;
    for (const Found& f : found_) nodes.push_back(f.finding.node);
    const auto spans = json::locate_nodes(text_, nodes);
    std::vector<Diagnostic> out;
    for (std::size_t i = 0; i < found_.size(); ++i) {
      Found& f = found_[i];
      const std::size_t index = f.at_value || f.finding.warning
                                    ? spans[i].begin + 1
                                    : place_in_text(f.finding.place, spans[i], text_);
      out.push_back(Diagnostic{f.finding.warning, std::string(f.kind), std::move(f.finding.message),
                               owned_path(*f.doc, f.finding.node), index});
    }
    return out;
  }

 private:
  std::string_view text_;
  std::vector<Found> found_;
  std::set<std::uint32_t> ignored_;
};

void check_strategy(Stages& stages, const json::ParsedDocument& request, std::uint32_t node) {
  auto spec = stages.run(request, "bad spec", true, true, [&] {
    return schema::decode<schema::StrategySpec>(request.doc.value(node));
  });
  if (!spec) return;
  std::vector<std::string_view> declared;
  for (const auto& [name, indicator] : spec->indicators) declared.push_back(name);
  schema::for_each_indicator_ref(*spec, [&](const schema::IndicatorRef& ref) {
    if (std::binary_search(declared.begin(), declared.end(), ref.name)) return;
    stages.warn(request, ref.node,
                schema::undeclared_indicator(ref.name, schema::closest_name(ref.name, declared)));
  });
}

}  // namespace

std::vector<Diagnostic> diagnose(std::string_view text) {
  json::ParsedDocument request;
  request.doc.reserve(text.size() / 6 + 16);
  if (auto parsed = json::parse_into(text, request); !parsed) {
    return {Diagnostic{false, "syntax", std::move(parsed.error().message), {}, parsed.error().index}};
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
    // The strategy is looked at even when other members are wrong: every fault at once.
    std::optional<std::uint32_t> strategy;
    if (req) {
      strategy = req->spec.strategy.index();
    } else if (auto s = member(member(written->value(), "spec"), "strategy")) {
      strategy = s->index();
    }
    if (strategy) check_strategy(stages, request, *strategy);
  } else if (envelope->cmd == "artifact_bytes") {
    stages.run(*written, kRequestKind, false, true, [&] {
      return schema::decode<BytesReq>(written->value());
    });
  }
  return stages.finish();
}

Diagnostic diagnostic_of(const builder::CompileError& e, std::string_view text) {
  std::string_view prefix = builder::error_prefix(e.kind);
  Diagnostic out{false, std::string(prefix.substr(0, prefix.size() - 2)), e.message, {}, {},
                 std::string(e.hint)};
  if (e.field.empty()) return out;
  auto request = json::parse(text);
  if (!request) return out;
  auto spec = e.field_in_request ? std::optional<json::Value>(request->value())
                                 : member(request->value(), "spec");
  if (!spec) return out;
  const std::uint32_t node = node_at(*spec, e.field);
  out.path = owned_path(*request, node);
  out.index = json::locate_nodes(text, {&node, 1})[0].begin + 1;
  return out;
}

std::string diagnostics_json(const std::vector<Diagnostic>& diagnostics, std::string_view text) {
  std::string out = "{\"diagnostics\":[";
  for (std::size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& d = diagnostics[i];
    if (i) out += ',';
    out += d.warning ? "{\"severity\":\"warning\",\"kind\":" : "{\"severity\":\"error\",\"kind\":";
    json::append_string(out, d.kind);
    out += ",\"message\":";
    json::append_string(out, d.message);
    out += ",\"path\":[";
    for (std::size_t s = 0; s < d.path.size(); ++s) {
      if (s) out += ',';
      if (d.path[s].is_key) {
        json::append_string(out, d.path[s].key);
      } else {
        out += std::to_string(d.path[s].index);
      }
    }
    out += "],\"index\":";
    if (d.index) {
      const std::size_t index = std::min(*d.index, text.size());
      const std::string_view before = text.substr(0, index);
      const std::size_t last_feed = before.rfind('\n');
      const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
      const std::size_t line = 1 + std::size_t(std::count(before.begin(), before.end(), '\n'));
      out += std::to_string(index) + ",\"line\":" + std::to_string(line) +
             ",\"column\":" + std::to_string(index - line_start);
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
