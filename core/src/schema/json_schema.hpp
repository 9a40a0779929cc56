#pragma once
// The JSON Schema (draft 2020-12) of strategy documents, generated from what the decoder works
// from: the declarations of records, enumerations and tagged types (schema/strategy.hpp), the
// fields' C++ types and the record's own initialisers (as defaults), and the keyword tables of
// conditions and operands (schema/keywords.hpp).
#include <string>

namespace orvane::schema {

// The schema as compact JSON text.
std::string strategy_schema_json();

}  // namespace orvane::schema
