#pragma once
// Response texts: compact JSON objects with fixed key orders.
#include <string>
#include <string_view>

#include "builder/pipeline.hpp"

namespace orvane::protocol {

std::string error_response(std::string_view message);
void append_manifest(std::string& out, const builder::Manifest& m);

}  // namespace orvane::protocol
