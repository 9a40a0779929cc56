#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace orvane::json {
namespace {

namespace fs = std::filesystem;

// The conformance corpus is kept in the repository (tests/vectors/jsontestsuite, MIT, with
// its LICENSE); a missing folder or file fails the tests below.
const fs::path kVectorsDir = fs::path(ORVANE_VECTORS_DIR) / "jsontestsuite";
const fs::path kSuiteDir = kVectorsDir / "test_parsing";

std::size_t count_files(const fs::path& dir) {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) n += entry.is_regular_file() ? 1 : 0;
  return n;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Strict UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF. Request text comes
// from a Python str, so bytes that fail this never reach the reader.
bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int n;
    std::uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (int k = 1; k <= n; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

TEST(CanonicalConformance, Utf8Check) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", true},
      {"ascii", true},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"\xEF\xBB\xBF{}", true},
      {"\xED\x9F\xBF", true},       // U+D7FF
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xC3", false},              // cut short
      {"\xE2\x82", false},
      {"\x80", false},              // lone continuation
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x9F\xBF", false},      // overlong three-byte
      {"\xF0\x8F\xBF\xBF", false},  // overlong four-byte
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\xFF", false},
      {"\xC3\x28", false},
  };
  for (const auto& [bytes, ok] : cases) EXPECT_EQ(is_utf8(bytes), ok) << bytes;
}

struct SuiteFile {
  std::string name;
  std::string bytes;
};

std::vector<SuiteFile> suite_files(char prefix) {
  std::vector<SuiteFile> out;
  for (const auto& entry : fs::directory_iterator(kSuiteDir)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 2 && name[0] == prefix && name[1] == '_') {
      out.push_back({name, read_file(entry.path())});
    }
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return out;
}

TEST(CanonicalConformance, VectorsAreInTheRepository) {
  EXPECT_TRUE(fs::is_regular_file(kVectorsDir / "LICENSE")) << kVectorsDir;
  ASSERT_TRUE(fs::is_directory(kSuiteDir)) << "no conformance vectors at " << kSuiteDir;
  ASSERT_TRUE(fs::is_directory(kVectorsDir / "test_transform")) << kVectorsDir;
  EXPECT_EQ(count_files(kSuiteDir), 318u);
  EXPECT_EQ(count_files(kVectorsDir / "test_transform"), 22u);
}

TEST(CanonicalConformance, AcceptsEveryValidDocument) {
  ASSERT_TRUE(fs::is_directory(kSuiteDir)) << "no conformance vectors at " << kSuiteDir;
  std::vector<std::string> failures, not_utf8;
  const auto files = suite_files('y');
  for (const auto& f : files) {
    if (!is_utf8(f.bytes)) {
      not_utf8.push_back(f.name);
      continue;
    }
    auto r = parse(f.bytes);
    if (!r) {
      failures.push_back(f.name + ": " + r.error().message + position_suffix(f.bytes, r.error().index));
      continue;
    }
    // What is accepted also writes out as text that reads back to the same canonical text.
    std::string canonical = canonical_json(r->value());
    auto again = parse(canonical);
    if (!again || canonical_json(again->value()) != canonical) {
      failures.push_back(f.name + ": canonical text does not read back");
    }
  }
  EXPECT_EQ(files.size(), 95u);
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(not_utf8, std::vector<std::string>{});
}

TEST(CanonicalConformance, RejectsEveryInvalidDocument) {
  ASSERT_TRUE(fs::is_directory(kSuiteDir)) << "no conformance vectors at " << kSuiteDir;
  std::vector<std::string> accepted;
  std::size_t not_utf8 = 0;
  const auto files = suite_files('n');
  for (const auto& f : files) {
    if (!is_utf8(f.bytes)) {
      ++not_utf8;
      continue;
    }
    if (parse(f.bytes)) accepted.push_back(f.name);
  }
  std::cout << "skipped " << not_utf8 << " of " << files.size()
            << " invalid documents that are not UTF-8 text\n";
  EXPECT_EQ(files.size(), 188u);
  EXPECT_EQ(not_utf8, 12u);
  EXPECT_EQ(accepted, std::vector<std::string>{});
}

// The suite leaves these to the implementation; pin down what this reader does with each.
TEST(CanonicalConformance, ImplementationDefinedDocuments) {
  ASSERT_TRUE(fs::is_directory(kSuiteDir)) << "no conformance vectors at " << kSuiteDir;
  const std::map<std::string, std::string> expected = {
      {"i_number_double_huge_neg_exp.json", "accepted"},   // underflows to zero
      {"i_number_huge_exp.json", "rejected"},              // out of range
      {"i_number_neg_int_huge_exp.json", "rejected"},
      {"i_number_pos_double_huge_exp.json", "rejected"},
      {"i_number_real_neg_overflow.json", "rejected"},
      {"i_number_real_pos_overflow.json", "rejected"},
      {"i_number_real_underflow.json", "accepted"},
      {"i_number_too_big_neg_int.json", "accepted"},  // becomes a float
      {"i_number_too_big_pos_int.json", "accepted"},
      {"i_number_very_big_negative_int.json", "accepted"},
      {"i_object_key_lone_2nd_surrogate.json", "rejected"},
      {"i_string_1st_surrogate_but_2nd_missing.json", "rejected"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", "rejected"},
      {"i_string_UTF-16LE_with_BOM.json", "not UTF-8"},
      {"i_string_UTF-8_invalid_sequence.json", "not UTF-8"},
      {"i_string_UTF8_surrogate_U+D800.json", "not UTF-8"},
      {"i_string_incomplete_surrogate_and_escape_valid.json", "rejected"},
      {"i_string_incomplete_surrogate_pair.json", "rejected"},
      {"i_string_incomplete_surrogates_escape_valid.json", "rejected"},
      {"i_string_invalid_lonely_surrogate.json", "rejected"},
      {"i_string_invalid_surrogate.json", "rejected"},
      {"i_string_invalid_utf-8.json", "not UTF-8"},
      {"i_string_inverted_surrogates_U+1D11E.json", "rejected"},
      {"i_string_iso_latin_1.json", "not UTF-8"},
      {"i_string_lone_second_surrogate.json", "rejected"},
      {"i_string_lone_utf8_continuation_byte.json", "not UTF-8"},
      {"i_string_not_in_unicode_range.json", "not UTF-8"},
      {"i_string_overlong_sequence_2_bytes.json", "not UTF-8"},
      {"i_string_overlong_sequence_6_bytes.json", "not UTF-8"},
      {"i_string_overlong_sequence_6_bytes_null.json", "not UTF-8"},
      {"i_string_truncated-utf-8.json", "not UTF-8"},
      {"i_string_utf16BE_no_BOM.json", "not UTF-8"},
      {"i_string_utf16LE_no_BOM.json", "not UTF-8"},
      {"i_structure_500_nested_arrays.json", "rejected"},      // recursion limit
      {"i_structure_UTF-8_BOM_empty_object.json", "rejected"},  // a BOM is no whitespace
  };
  std::map<std::string, std::string> actual;
  for (const auto& f : suite_files('i')) {
    if (!is_utf8(f.bytes)) {
      actual[f.name] = "not UTF-8";
    } else {
      actual[f.name] = parse(f.bytes) ? "accepted" : "rejected";
    }
  }
  EXPECT_EQ(actual, expected);
}

}  // namespace
}  // namespace orvane::json
