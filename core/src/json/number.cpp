#include "json/number.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace orvane::json {

double literal_to_double(std::string_view lit) {
  double v = 0.0;
  auto [ptr, ec] = std::from_chars(lit.data(), lit.data() + lit.size(), v);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // The reader rejects overflow, so this is an underflow to zero.
    return (!lit.empty() && lit[0] == '-') ? -0.0 : 0.0;
  }
  return v;
}

void append_float(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  if (v == 0.0) {
    out += std::signbit(v) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.2345e+02".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  const char* end = res.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  int n = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  while (n > 1 && digits[n - 1] == '0') --n;  // to_chars never pads, but be safe
  int x = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, x);

  if (x >= -5 && x <= 15) {
    if (x >= n - 1) {
      out.append(digits, n);
      out.append(std::size_t(x - n + 1), '0');
      out += ".0";
    } else if (x >= 0) {
      out.append(digits, x + 1);
      out += '.';
      out.append(digits + x + 1, n - x - 1);
    } else {
      out += "0.";
      out.append(std::size_t(-x - 1), '0');
      out.append(digits, n);
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits + 1, n - 1);
  }
  out += 'e';
  out += x < 0 ? '-' : '+';
  char ebuf[8];
  auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, x < 0 ? -x : x);
  out.append(ebuf, er.ptr);
}

std::string format_float(double v) {
  std::string s;
  append_float(s, v);
  return s;
}

}  // namespace orvane::json
