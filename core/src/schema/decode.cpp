#include "schema/decode.hpp"

#include <algorithm>
#include <limits>

#include "schema/closeness.hpp"

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

}  // namespace

std::optional<std::string_view> closest_name(std::string_view given,
                                             std::span<const std::string_view> names) {
  // Close enough to be a slip: an edit per three letters, and at least three letters given (a
  // name of one or two is as close to any other short name).
  if (given.size() < 3) return std::nullopt;
  const std::size_t limit = std::max<std::size_t>(1, given.size() / 3);
  // The first of the nearest names: a later name only counts when it is nearer than the best so
  // far, so its distance is wanted only up to one less than that one's.
  std::optional<std::string_view> best;
  std::size_t best_distance = limit + 1;
  DistanceFrom distance(given);
  for (std::string_view name : names) {
    if (best_distance == 0) break;
    const std::size_t d = distance(name, best_distance - 1);
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
  findings.push_back(Finding{e.message, e.node, e.place, false, e.hint});
}

void Diagnosis::warn(std::uint32_t node, std::string message) {
  findings.push_back(Finding{std::move(message), node, Place::Start, true});
}

void Diagnosis::unknown_key(std::uint32_t key_node, std::string_view key,
                            std::span<const std::string_view> declared) {
  if (!unknown_keys ||
      std::find(quiet_keys.begin(), quiet_keys.end(), key_node) != quiet_keys.end()) {
    return;
  }
  warn(key_node, unknown_field(key, declared, closest_name(key, declared)));
}

}  // namespace orvane::schema
