#include "schema/decode.hpp"

#include <limits>

namespace orvane::schema {

// ---- scalars ----

Decoded<bool> Codec<bool>::from_value(json::Value v) {
  if (v.kind() == json::Kind::Bool) return v.as_bool();
  return wrong_kind(v, wanted::kBoolean);
}

Decoded<std::string> Codec<std::string>::from_value(json::Value v) {
  if (v.kind() == json::Kind::String) return std::string(v.as_string());
  return wrong_kind(v, wanted::kString);
}

Decoded<double> Codec<double>::from_value(json::Value v) {
  if (v.is_number()) return v.as_double();
  return wrong_kind(v, wanted::kF64);
}

Decoded<std::uint32_t> Codec<std::uint32_t>::from_value(json::Value v) {
  switch (v.kind()) {
    case json::Kind::UInt: {
      std::uint64_t n = v.as_uint();
      if (n > std::numeric_limits<std::uint32_t>::max()) {
        return fail(v, Place::End, invalid_value(found::integer(v.literal()), wanted::kU32));
      }
      return std::uint32_t(n);
    }
    case json::Kind::NegInt:
      return fail(v, Place::End, invalid_value(found::integer(v.literal()), wanted::kU32));
    default: return wrong_kind(v, wanted::kU32);
  }
}

// ---- diagnosis ----

namespace {

thread_local Diagnosis* active_diagnosis = nullptr;

// Edits (insertions, deletions, substitutions, swaps of neighbours) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> before(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        cur[j] = std::min(cur[j], before[j - 2] + 1);
      }
    }
    before.swap(prev);
    prev.swap(cur);
  }
  return prev[b.size()];
}

}  // namespace

std::optional<std::string_view> closest_name(std::string_view given,
                                             std::span<const std::string_view> names) {
  // Close enough to be a slip: an edit per three letters, and at least three letters given (a
  // name of one or two is as close to any other short name).
  if (given.size() < 3) return std::nullopt;
  const std::size_t limit = std::max<std::size_t>(1, given.size() / 3);
  std::optional<std::string_view> best;
  std::size_t best_distance = limit + 1;
  for (std::string_view name : names) {
    std::size_t d = edit_distance(given, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

Diagnosis::Diagnosis() : outer_(active_diagnosis) { active_diagnosis = this; }
Diagnosis::~Diagnosis() { active_diagnosis = outer_; }
Diagnosis* Diagnosis::active() { return active_diagnosis; }
Diagnosis::Pause::Pause() : paused_(active_diagnosis) { active_diagnosis = nullptr; }
Diagnosis::Pause::~Pause() { active_diagnosis = paused_; }

void Diagnosis::note(SchemaError& e) {
  if (e.noted) return;
  e.noted = true;
  findings.push_back(Finding{e.message, e.node, e.place, false});
}

void Diagnosis::warn(std::uint32_t node, std::string message) {
  findings.push_back(Finding{std::move(message), node, Place::Start, true});
}

void Diagnosis::unknown_key(std::uint32_t key_node, std::string_view key,
                            std::span<const std::string_view> declared) {
  warn(key_node, unknown_field(key, declared, closest_name(key, declared)));
}

}  // namespace orvane::schema
