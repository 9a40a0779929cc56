#pragma once
// Tables of whole requests and the exact answers of `protocol::command` to them: the decoding
// of strategies, compile requests and the other request bodies, as a caller sees it. The cases
// the Python suite runs as well are data, in tests/cases (case_files_test.cpp).
//
// A row's answer is compared whole, with one cut: the file list of a dry run is left out,
// since `project_hash` digests every path and SHA-256 in it (the Python suite models the
// file list itself).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "builder/target_table.hpp"
#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"
#include "versions.hpp"

namespace orvane::tables {

struct Case {
  const char* name;
  std::string text;    // the request, or the part of it that the table varies
  std::string answer;  // the exact answer
};

// The answer of a fresh handle.
inline std::string answer(std::string_view request) {
  protocol::HandleState state;
  return protocol::command(state, request);
}

// `s` as the contents of a JSON string, as the answers write messages: only the quote, the
// backslash and the C0 controls are escaped.
inline std::string escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

inline std::string error(std::string_view message) {
  return R"({"ok":false,"error":")" + escaped(message) + R"("})";
}

// A strategy the decoder refuses. Its messages carry no position: the strategy is decoded
// from the parsed request.
inline std::string fault(std::string_view message) {
  return error("bad spec: strategy is not a valid StrategySpec: " + std::string(message));
}

// A fault of the compile request's own text, with its position.
inline std::string request_fault(std::string_view message_at) {
  return error("bad compile request: " + std::string(message_at));
}

inline std::string bytes_fault(std::string_view message_at) {
  return error("bad artifact_bytes request: " + std::string(message_at));
}

// The answers of `version` and `targets`, from the core's own facts.
inline const std::string kVersionAnswer = R"({"version":")" + std::string(kCompilerVersion) +
                                          R"(","backtest_dep":")" + std::string(kBacktestDep) + R"("})";
inline std::string targets_answer() {
  std::string out = R"({"targets":["wasm","binary","no_std"],"mcus":[)";
  for (std::string_view mcu : builder::kMcuAllowList) out += (out.ends_with('[') ? "\"" : ",\"") + std::string(mcu) + "\"";
  return out + "]}";
}

inline const std::string kWasm = R"({"kind":"wasm"})";
inline const std::string kBinary = R"({"kind":"binary"})";

// A dry run's answer, without its file list.
inline std::string dry_run(std::string_view target, std::string_view opt_level,
                           std::string_view crate, std::string_view spec_hash,
                           std::string_view project_hash) {
  std::string t(target);
  return R"({"target":)" + t + R"(,"manifest":{"compiler_version":")" + std::string(kCompilerVersion) +
         R"(","target":)" + t +
         R"(,"opt_level":")" + std::string(opt_level) + R"(","crate_name":")" + std::string(crate) +
         R"(","spec_hash":")" + std::string(spec_hash) +
         R"(","backtest_dep":")" + std::string(kBacktestDep) + R"(","files":[…],"project_hash":")" +
         std::string(project_hash) +
         R"("},"built":false})";
}

// The answer with a dry run's file list replaced by "…".
inline std::string without_file_list(std::string answer) {
  if (!answer.starts_with(R"({"target":)")) return answer;
  constexpr std::string_view kFiles = R"("files":[)";
  constexpr std::string_view kAfter = R"(],"project_hash":)";
  std::size_t begin = answer.find(kFiles);
  std::size_t end = answer.rfind(kAfter);
  if (begin == std::string::npos || end == std::string::npos || end < begin) return answer;
  begin += kFiles.size();
  return answer.replace(begin, end - begin, "…");
}

// The smallest valid strategy, as compact text.
inline constexpr std::pair<std::string_view, std::string_view> kBaseMembers[] = {
    {"symbol", R"("BTC/USDT")"},   {"timeframe", R"("1h")"},
    {"indicators", "{}"},          {"entry", R"({"gt":["a",1]})"},
    {"exit", R"({"lt":["a",1]})"}, {"sizing", R"({"type":"fixed_fraction","fraction":0.1})"},
};

// The smallest valid strategy with members set to raw JSON text: a base member keeps its
// place, any other is appended in the order given. `drop` names base members to leave out.
inline std::string strategy(
    std::initializer_list<std::pair<std::string_view, std::string>> set = {},
    std::initializer_list<std::string_view> drop = {}) {
  std::string out = "{";
  auto add = [&out](std::string_view key, std::string_view text) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += key;
    out += "\":";
    out += text;
  };
  for (auto [key, text] : kBaseMembers) {
    bool dropped = false;
    for (std::string_view d : drop) dropped = dropped || d == key;
    if (dropped) continue;
    std::string_view value = text;
    for (const auto& [k, v] : set) {
      if (k == key) value = v;
    }
    add(key, value);
  }
  for (const auto& [k, v] : set) {
    bool base = false;
    for (auto [key, text] : kBaseMembers) base = base || k == key;
    if (!base) add(k, v);
  }
  return out + "}";
}

inline const std::string kMinimal = strategy();

// A compile command: the compile spec's strategy and target, then `spec_more` (members with
// their leading commas) inside the compile spec and `after_spec` after it.
inline std::string compile_request(std::string_view strategy_text, std::string_view target,
                                   std::string_view spec_more = "",
                                   std::string_view after_spec = R"(,"dry_run":true)") {
  return R"({"cmd":"compile","spec":{"strategy":)" + std::string(strategy_text) + R"(,"target":)" +
         std::string(target) + std::string(spec_more) + "}" + std::string(after_spec) + "}";
}

// The answer and the diagnostics of one request, made together, are those made apart.
inline void expect_exchange_agrees(std::string_view text, const char* name) {
  protocol::HandleState apart_state, together_state;
  std::optional<builder::CompileError> failure;
  protocol::CommandHooks hooks;
  hooks.failure = &failure;
  const std::string alone = protocol::command(apart_state, text, hooks);
  auto apart = protocol::diagnose(text);
  if (failure && std::none_of(apart.begin(), apart.end(), [](const auto& d) { return !d.warning; })) {
    apart.insert(apart.begin(), protocol::diagnostic_of(*failure, text));
  }
  const protocol::Exchange together = protocol::exchange(together_state, text, {}, {});
  EXPECT_EQ(together.response.value_or("(none)"), alone) << name;
  EXPECT_EQ(protocol::diagnostics_json(together.diagnostics, text),
            protocol::diagnostics_json(apart, text))
      << name;
}

// Compares an answer with the one a row expects. With ORVANE_BLESS naming a file, a difference
// is also appended there, as the expected answer, a tab and the answer given, on one line
// (line feeds written as \n), for scripts/bless.sh to rewrite the digests the rows pin.
inline void expect_answer(const std::string& got, const std::string& expected, const std::string& where) {
  EXPECT_EQ(got, expected) << where;
  const char* log = std::getenv("ORVANE_BLESS");
  if (got == expected || log == nullptr) return;
  const auto one_line = [](std::string text) {
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
      text.replace(at, 1, "\\n");
    }
    return text;
  };
  std::ofstream(log, std::ios::app) << one_line(expected) << '\t' << one_line(got) << '\n';
}

// Every row's request, made from its text by `request`, answers the row's answer, alone and
// with its diagnostics.
inline void expect_answers(std::span<const Case> table,
                           const std::function<std::string(const std::string&)>& request) {
  for (const Case& c : table) {
    const std::string text = request(c.text);
    expect_answer(without_file_list(answer(text)), c.answer, std::string(c.name) + ": " + text);
    expect_exchange_agrees(text, c.name);
  }
}

inline void expect_answers(std::span<const Case> table) {
  expect_answers(table, [](const std::string& text) { return text; });
}

}  // namespace orvane::tables
