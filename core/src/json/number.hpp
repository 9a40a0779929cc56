#pragma once
// Number conversions shared by the reader, the writers and the decoders.
#include <string>
#include <string_view>

namespace orvane::json {

// The nearest double to a JSON number literal the reader accepted (so never beyond the
// largest finite double); a literal that underflows gives a zero of its sign.
double literal_to_double(std::string_view literal);

// Appends a finite double in the float format: shortest round-trip digits, positional for
// decimal exponents -5..15 ("100.0", "0.000025"), exponential outside ("1e+16", "5e-324").
// A non-finite value is written as "null".
void append_float(std::string& out, double v);
std::string format_float(double v);

}  // namespace orvane::json
