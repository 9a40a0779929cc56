#include "workload.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::bench {

namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}


// A fixed-point amount (units of 10^-scale) as Python writes the float it
// rounds to: the digits, a point, the fraction without trailing zeros but at
// least one digit ("42000.0", "42038.5", "10.2625").
void append_fixed(std::string& out, std::uint64_t units, int scale) {
  std::uint64_t div = 1;
  for (int i = 0; i < scale; ++i) div *= 10;
  out += std::to_string(units / div);
  out += '.';
  std::string frac = std::to_string(units % div);
  frac.insert(0, std::size_t(scale) - frac.size(), '0');
  while (frac.size() > 1 && frac.back() == '0') frac.pop_back();
  out += frac;
}

std::string make_candles(std::size_t bytes) {
  Rng rng{20240611};
  std::string out;
  out.reserve(bytes + 128);
  out += '[';
  std::uint64_t t = 1'700'000'000'000ull;
  std::uint64_t price = 4'200'000;  // cents
  bool first = true;
  while (out.size() + 1 < bytes) {
    std::uint64_t open = price;
    // Up to +-0.2% per bar, the high and low up to 0.15% beyond.
    std::int64_t step = std::int64_t(rng.below(8001)) - 4000;
    std::uint64_t close = std::uint64_t(std::int64_t(open) + std::int64_t(open) * step / 2'000'000);
    std::uint64_t hi = std::max(open, close);
    std::uint64_t lo = std::min(open, close);
    hi += hi * rng.below(1501) / 1'000'000;
    lo -= lo * rng.below(1501) / 1'000'000;
    std::uint64_t volume = 500 + rng.below(240'000);  // 1e-4 units
    if (!first) out += ", ";
    first = false;
    out += "{\"t\": ";
    out += std::to_string(t);
    out += ", \"o\": ";
    append_fixed(out, open, 2);
    out += ", \"h\": ";
    append_fixed(out, hi, 2);
    out += ", \"l\": ";
    append_fixed(out, lo, 2);
    out += ", \"c\": ";
    append_fixed(out, close, 2);
    out += ", \"v\": ";
    append_fixed(out, volume, 4);
    out += '}';
    price = close;
    t += 60'000;
  }
  out += ']';
  return out;
}

std::string request_with(std::string_view embed, std::string_view strategy = strategy_text()) {
  std::string out = "{\"cmd\": \"compile\", \"spec\": {\"strategy\": ";
  out += strategy;
  out += ", \"target\": {\"kind\": \"wasm\"}, \"opt_level\": \"release\"";
  out += embed;
  out += "}, \"dry_run\": true}";
  return out;
}

}  // namespace

const std::string& strategy_text() {
  static const std::string text = [] {
    std::string pretty = read_file(ORVANE_BENCH_STRATEGY);
    auto doc = json::parse(pretty);
    if (!doc) {
      std::fprintf(stderr, "strategy.json: %s\n", doc.error().message.c_str());
      std::exit(1);
    }
    return json::compact_json(doc->value());
  }();
  return text;
}

const std::string& small_request() {
  static const std::string text = request_with("");
  return text;
}

const std::string& small_clean_request() {
  static const std::string text = [] {
    const std::string& strategy = strategy_text();
    const std::size_t meta = strategy.find(",\"meta\":");  // the last member
    if (meta == std::string::npos) {
      std::fprintf(stderr, "strategy.json: no `meta` member\n");
      std::exit(1);
    }
    return request_with("", strategy.substr(0, meta) + "}");
  }();
  return text;
}

const std::string& candles_text(std::size_t bytes) {
  static std::map<std::size_t, std::string> cache;
  auto it = cache.find(bytes);
  if (it == cache.end()) it = cache.emplace(bytes, make_candles(bytes)).first;
  return it->second;
}

const std::string& inline_request(std::size_t bytes) {
  static std::map<std::size_t, std::string> cache;
  auto it = cache.find(bytes);
  if (it == cache.end()) {
    std::string embed = ", \"embed_data\": {\"kind\": \"inline\", \"candles\": ";
    embed += candles_text(bytes);
    embed += '}';
    it = cache.emplace(bytes, request_with(embed)).first;
  }
  return it->second;
}

}  // namespace orvane::bench
