// The cases both test suites run, kept once as data: every line of tests/cases/*.jsonl is one
// JSON object {"name", "request", "answer"}, the answer exact as `tables::expect_answers`
// compares it (a dry run's file list written "…"; `${compiler_version}`, `${backtest_dep}` and
// `${mcus}` stand for the core's versions and its MCU triples, quoted, comma-separated). Each line
// is one test, named after its file and case, and its request is also answered together with its
// diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "schema_tables.hpp"

namespace orvane::tables {
namespace {

struct Row {
  std::string name;  // <file>/<case>
  std::string request;
  std::string answer;
  std::string fault;  // why the line could not be read as a case
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// The answer with the marks for the core's facts replaced by them.
std::string with_facts(std::string text) {
  std::string mcus;
  for (std::string_view mcu : builder::kMcuAllowList)
    mcus += (mcus.empty() ? "\"" : ",\"") + std::string(mcu) + "\"";
  const std::pair<std::string_view, std::string> facts[] = {
      {"${compiler_version}", std::string(kCompilerVersion)},
      {"${backtest_dep}", std::string(kBacktestDep)},
      {"${mcus}", mcus},
  };
  for (const auto& [mark, value] : facts) {
    for (std::size_t at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + value.size())) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

Row read_row(const std::string& file, int number, const std::string& line) {
  Row row{file + "/line" + std::to_string(number), "", "", ""};
  auto parsed = json::parse(line);
  if (!parsed || parsed->value().kind() != json::Kind::Object) {
    row.fault = "not a JSON object";
    return row;
  }
  const auto text = [&](std::string_view key) -> std::optional<std::string> {
    auto member = parsed->value().find(key);
    if (!member || member->kind() != json::Kind::String) return std::nullopt;
    return std::string(member->as_string());
  };
  auto name = text("name"), request = text("request"), answer = text("answer");
  if (!name || !request || !answer) {
    row.fault = "needs the strings name, request and answer";
    return row;
  }
  row.name = file + "/" + *name;
  row.request = *request;
  row.answer = with_facts(*answer);
  return row;
}

std::vector<Row> read_case_files() {
  std::vector<std::filesystem::path> files;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(ORVANE_CASES_DIR, failed)) {
    if (entry.path().extension() == ".jsonl") files.push_back(entry.path());
  }
  std::ranges::sort(files);
  std::vector<Row> rows;
  if (files.empty()) rows.push_back({"none", "", "", "no case files in " ORVANE_CASES_DIR});
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      rows.push_back(read_row(path.stem().string(), number, line));
    }
  }
  return rows;
}

// A gtest name: the case's name with every character but letters and digits written '_'.
std::string test_name(const Row& row) {
  std::string out = row.name;
  std::ranges::replace_if(
      out, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return out;
}

class CaseFile : public ::testing::TestWithParam<Row> {};

TEST_P(CaseFile, Answers) {
  const Row& row = GetParam();
  ASSERT_EQ(row.fault, "") << row.name;
  expect_answer(without_file_list(answer(row.request)), row.answer, row.name + ": " + row.request);
  expect_exchange_agrees(row.request, row.name.c_str());
}

INSTANTIATE_TEST_SUITE_P(Cases, CaseFile, ::testing::ValuesIn(read_case_files()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return test_name(info.param);
                         });

}  // namespace
}  // namespace orvane::tables
