// Requests of 16 MB and more are read while a second thread maps the tape's pages in ahead of
// the reader. Padding under a key no record declares changes nothing in the answer, so each
// large request must answer exactly as the same request without its padding. (The
// ThreadSanitizer build runs this beside the reader's helper thread.)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "json/tuning.hpp"
#include "schema_tables.hpp"

namespace orvane::tables {
namespace {

constexpr std::size_t kLarge = tuning::kWarmRequestFrom + 4096;

// One string of `bytes` letters.
std::string long_string(std::size_t bytes) { return '"' + std::string(bytes, 'p') + '"'; }

// An array of short numbers, one tape node each: the tape outgrows the text.
std::string many_numbers(std::size_t bytes) {
  std::string out = "[";
  while (out.size() + 3 < bytes) out += out.size() == 1 ? "7" : ",7";
  return out + "]";
}

// Objects of the same keys, the shape of candles.
std::string many_objects(std::size_t bytes) {
  std::string out = "[";
  for (int i = 0; out.size() + 40 < bytes; ++i) {
    if (i) out += ',';
    out += R"({"t":)" + std::to_string(i) + R"(,"o":1.5,"c":"x"})";
  }
  return out + "]";
}

TEST(ProtocolLargeRequest, PaddingUnderAnUnknownKeyChangesNoAnswer) {
  // "PAD" marks where the padding goes; without padding a 0 stands there.
  const struct {
    Case c;
    std::function<std::string(std::size_t)> padding;
  } cases[] = {
      {{"dry run",
        R"({"cmd":"compile","pad":PAD,"spec":{"strategy":)" + kMinimal +
            R"(,"target":{"kind":"wasm"}},"dry_run":true})",
        dry_run(kWasm, "release", "btc_usdt",
                "7adfe3a23f5992d46c858fab373423a3485b129e6bbb369295193974c4cd3998",
                "e28b64eae507027638ba5a8bc33502555b9e18ce153a4d6079fc8738e6277dff")},
       many_objects},
      {{"strategy fault",
        R"({"cmd":"compile","spec":{"strategy":)" + strategy({{"sizing", "null"}}) +
            R"(,"target":{"kind":"wasm"}},"dry_run":true,"pad":PAD})",
        fault("invalid type: null, expected internally tagged enum Sizing")},
       many_numbers},
      {{"request fault", R"({"cmd":"compile","spec":{"strategy":0,"target":{}},"pad":PAD})",
        request_fault("missing field `kind` at line 1 column 49")},
       long_string},
      {{"version", R"({"pad":PAD,"cmd":"version"})",
        kVersionAnswer},
       many_numbers},
  };
  for (const auto& [c, padding] : cases) {
    const std::size_t at = c.text.find("PAD");
    ASSERT_NE(at, std::string::npos) << c.name;
    expect_answer(without_file_list(answer(std::string(c.text).replace(at, 3, "0"))), c.answer, c.name);
    const std::string large = std::string(c.text).replace(at, 3, padding(kLarge));
    ASSERT_GE(large.size(), tuning::kWarmRequestFrom) << c.name;
    expect_answer(without_file_list(answer(large)), c.answer, c.name);
  }
}

}  // namespace
}  // namespace orvane::tables
