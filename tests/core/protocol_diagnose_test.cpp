// Diagnostics beside the answer: every fault decoding finds, warnings about what it ignores,
// each with its kind, path and place in the request text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/diagnose.hpp"
#include "protocol/dispatch.hpp"

namespace orvane::protocol {
namespace {

// One line per diagnostic: "severity kind path @line:column message", then the bytes of the text
// from the one the column names (columns count from 1).
std::string shown(std::string_view text, const std::vector<Diagnostic>& diagnostics) {
  std::string out;
  for (const Diagnostic& d : diagnostics) {
    out += d.warning ? "warning " : "error ";
    out += d.kind + " ";
    std::string path;
    for (const PathStep& s : d.path.steps()) {
      path += s.is_key ? "." + std::string(s.key) : "[" + std::to_string(s.index) + "]";
    }
    out += (path.empty() ? "." : path) + " @";
    if (d.index) {
      const std::size_t line_start = text.rfind('\n', *d.index ? *d.index - 1 : 0);
      const std::size_t start = line_start == std::string_view::npos || *d.index == 0 ? 0 : line_start + 1;
      out += std::to_string(1 + std::count(text.begin(), text.begin() + long(start), '\n')) + ":" +
             std::to_string(*d.index - start) + " [" +
             std::string(text.substr(*d.index ? *d.index - 1 : 0, 7)) + "]";
    } else {
      out += "-";
    }
    out += " " + d.message + "\n";
  }
  return out;
}

const std::string kStrategy =
    R"({"symbol":"BTC","timeframe":"1h","indicators":{"fast":{"type":"ema","params":[3]},)"
    R"("slow":{"type":"ema","params":[9]}},"entry":{"gt":["fast","slow"]},"exit":{"lt":["fast",1]},)"
    R"("sizing":{"type":"fixed_qty","qty":1}})";

std::string compile_of(const std::string& strategy, const std::string& rest = R"("target":{"kind":"wasm"})") {
  return R"({"cmd":"compile","dry_run":true,"spec":{"strategy":)" + strategy + "," + rest + "}}";
}

std::string with(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

const std::string kTimeframe5 = with(kStrategy, R"("timeframe":"1h")", R"("timeframe":5)");

std::string nested(int levels) {
  std::string out;
  for (int i = 1; i < levels; ++i) out += R"({"a":)";
  return out + "{}" + std::string(levels - 1, '}');
}

TEST(ProtocolDiagnose, EveryFaultAndWarningWithItsPlace) {
  const std::pair<std::string, std::string> cases[] = {
      {compile_of(kStrategy), ""},
      {"{\"cmd\":\n [1,}", "error syntax . @2:5 [}] expected value\n"},
      {R"({"x":1})", "error request . @1:7 [}] missing field `cmd`\n"},
      // The command's own name is not a member of the compile request it carries.
      {R"({"cmd":"compile","dry_rnu":true,"spec":{"strategy":)" + kStrategy + R"(,"target":{"kind":"wasm"}}})",
       "warning request .dry_rnu @1:18 [\"dry_rn] unknown field `dry_rnu`, did you mean `dry_run`?\n"},
      // A key given again in the strategy: the earlier value is lost, so the repeat is warned of.
      {compile_of(with(kStrategy, R"("qty":1)", R"("qty":1,"qty":2)")),
       "warning bad spec .spec.strategy.sizing.qty @1:263 [\"qty\":2] key `qty` is given more than once in this "
       "object: the earlier value is ignored, this one is read\n"},
      // Faults of the request and of the strategy, all of them, in the order of the text.
      {compile_of(with(with(kStrategy, R"("qty":1)", R"("qty":"1")"), R"("params":[3])", R"("params":3)"),
                  R"("target":{"kind":"arm"},"opt_levl":"size")"),
       "error request .spec.target.kind @1:286 [\"},\"opt] unknown variant `arm`, expected one of `wasm`, "
       "`binary`, `no_std`\n"
       "warning request .spec.opt_levl @1:289 [\"opt_le] unknown field `opt_levl`, did you mean `opt_level`?\n"
       "error bad spec .spec.strategy.indicators.fast.params @1:129 [3},\"slo] invalid type: integer `3`, "
       "expected a sequence\n"
       "error bad spec .spec.strategy.sizing.qty @1:259 [\"1\"}},\"] invalid type: string \"1\", expected f64\n"},
      // Members nothing declares, with the declared name each is likely a slip for.
      {compile_of(with(with(kStrategy, R"("symbol")", R"("warmpu":5,"symbol")"), R"("sizing")",
                       R"("risk":{"trailing_stop_pc":1},"sizing")")),
       "warning bad spec .spec.strategy.warmpu @1:53 [\"warmpu] unknown field `warmpu`, did you mean `warmup`?\n"
       "warning bad spec .spec.strategy.risk.trailing_stop_pc @1:245 [\"traili] unknown field "
       "`trailing_stop_pc`, did you mean `trailing_stop_pct`?\n"},
      {compile_of(with(kStrategy, R"("symbol")", R"("zzz":5,"symbol")")),
       "warning bad spec .spec.strategy.zzz @1:53 [\"zzz\":5] unknown field `zzz`, expected one of "
       "`spec_version`, `symbol`, `ref_symbol`, `timeframe`, `indicators`, `entry`, `exit`, "
       "`short_entry`, `short_exit`, `sizing`, `costs`, `risk`, `execution`, `warmup`\n"},
      // Operands naming indicators nobody declared, in expressions and nested conditions too.
      {compile_of(with(kStrategy, R"({"gt":["fast","slow"]})",
                       R"({"all":[{"cross_above":["fast","slw"]},{"gt":[{"prev":["nope",1]},2]}]})")),
       "warning bad spec .spec.strategy.entry.all[0].cross_above[1] @1:209 [\"slw\"]}] indicator `slw` is not "
       "declared in `indicators`, did you mean `slow`?\n"
       "warning bad spec .spec.strategy.entry.all[1].gt[0].prev[0] @1:233 [\"nope\",] indicator `nope` is not "
       "declared in `indicators`\n"},
      // A variant without fields reads nothing but its tag; a short name is no one's slip.
      {compile_of(with(kStrategy, R"("sizing")",
                       R"("costs":{"slippage":{"type":"spread","bps":1}},"sizing")")),
       "warning bad spec .spec.strategy.costs.slippage.bps @1:263 [\"bps\":1] unknown field "
       "`bps`, expected `type`\n"},
      {compile_of(with(kStrategy, R"({"lt":["fast",1]})", R"({"lt":["fs",1]})")),
       "warning bad spec .spec.strategy.exit.lt[0] @1:215 [\"fs\",1]] indicator `fs` is not "
       "declared in `indicators`\n"},
      // A repeated key of the request is judged where it stands.
      {R"({"cmd":"compile","dry_run":true,"dry_run":false,"spec":{"strategy":1,"target":{"kind":"wasm"}}})",
       "error request .dry_run @1:41 [\":false] duplicate field `dry_run`\n"
       "error bad spec .spec.strategy @1:68 [1,\"targ] invalid type: integer `1`, expected struct StrategySpec\n"},
      // A strategy given twice: the request's fault, then each strategy's own where it stands,
      // the one the reader replaced too.
      {R"({"cmd":"compile","dry_run":true,"spec":{"strategy":)" + kTimeframe5 + R"(,"strategy":)" + kStrategy +
           R"(,"target":{"kind":"wasm"}}})",
       "error request .spec.strategy @1:271 [\":{\"sym] duplicate field `strategy`\n"
       "error bad spec .spec.strategy.timeframe @1:80 [5,\"indi] invalid type: integer `5`, expected a string\n"},
      {R"({"cmd":"compile","dry_run":true,"spec":{"strategy":)" + kStrategy + R"(,"strategy":)" + kTimeframe5 +
           R"(,"target":{"kind":"wasm"}}})",
       "error request .spec.strategy @1:274 [\":{\"sym] duplicate field `strategy`\n"
       "error bad spec .spec.strategy.timeframe @1:304 [5,\"indi] invalid type: integer `5`, expected a string\n"},
      // Nesting past the levels the request leaves a strategy is the strategy's fault (the
      // answer stays the reader's); elsewhere it is the reader's.
      {compile_of(nested(126)), "error bad spec .spec.strategy @1:677 [{}}}}}}] the strategy nests deeper than "
                                "the 125 levels of arrays and objects a strategy may use\n"},
      {compile_of(kStrategy, R"("target":{"kind":"wasm"},"embed_data":)" + nested(126)),
       "error syntax . @1:928 [{}}}}}}] recursion limit exceeded\n"},
      {R"({"cmd":"artifact_bytes","paht":"x"})",
       "warning request .paht @1:25 [\"paht\":] unknown field `paht`, did you mean `path`?\n"
       "error request . @1:35 [}] missing field `path`\n"},
      // What exchange's walk must note to leave its fast path: an unknown member of a
      // declared indicator, an operand with no `indicators` at all; and what it need not: a
      // tag, a price field, the positional forms, a declared name written with an escape.
      {compile_of(with(kStrategy, R"("params":[9])", R"("params":[9],"feeds":1)")),
       "warning bad spec .spec.strategy.indicators.slow.feeds @1:168 [\"feeds\"] unknown field `feeds`, "
       "did you mean `feed`?\n"},
      {compile_of(R"({"symbol":"BTC","timeframe":"1h","indicators":{},"entry":{"rising":["fast",2]},)"
                  R"("exit":{"in_position":true},"sizing":{"type":"fixed_qty","qty":1}})"),
       "warning bad spec .spec.strategy.entry.rising[0] @1:120 [\"fast\",] indicator `fast` is not declared in "
       "`indicators`\n"},
      {compile_of(with(with(kStrategy, R"({"gt":["fast","slow"]})", R"({"gt":[{"price":"close"},"f\u0061st"]})"),
                       R"("sizing":{"type":"fixed_qty","qty":1})", R"("sizing":["fixed_qty",1])")),
       ""},
      {compile_of(R"([1,"BTC",null,"1h",{"fast":["ema",[3]]},{"gt":["fast",1]},{"lt":["fast",1]},null,null,)"
                  R"(["fixed_qty",1]])"),
       ""},
      {compile_of(R"([1,"BTC",null,"1h",{},{"gt":["fast",1]},{"lt":[1,1]},null,null,["fixed_qty",1]])"),
       "warning bad spec .spec.strategy[5].gt[0] @1:81 [\"fast\",] indicator `fast` is not declared in "
       "`indicators`\n"},
  };
  // Diagnosed through exchange (without running: some rows would build), a request finds
  // what diagnose finds alone.
  ExchangeOptions only_diagnosed;
  only_diagnosed.run = false;
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(shown(text, diagnose(text)), expected) << text;
    HandleState state;
    EXPECT_EQ(shown(text, exchange(state, text, {}, only_diagnosed).diagnostics), expected) << text;
  }
}

// Findings on many lines, several below one member: each placed on its own line, and the
// members on the way held once for all the paths that pass them.
TEST(ProtocolDiagnose, FindingsOnManyLinesShareTheirWay) {
  const std::string text =
      "{\"cmd\":\"compile\",\"dry_run\":true,\"dry_rnu\":1,\"spec\":{\"strategy\":{\n"
      "  \"symbol\": \"BTC\", \"timeframe\": 5,\n"
      "  \"indicators\": {\n"
      "    \"a_rather_long_name\": {\"type\": \"ema\", \"parms\": [3], \"fed\": \"kline\"},\n"
      "    \"b\": {\"type\": 1, \"params\": [\"x\", 2, \"y\"]}\n"
      "  },\n"
      "  \"entry\": {\"gt\": [\"a_rather_long_nam\", 1]}, \"exit\": {\"lt\": [\"c\", 1]},\n"
      "  \"sizing\": {\"type\": \"fixed_qty\", \"qty\": true}, \"warmpu\": 1\n"
      "},\n\"target\":{\"kind\":\"wasm\"}}}";
  EXPECT_EQ(shown(text, diagnose(text)),
            "warning request .dry_rnu @1:33 [\"dry_rn] unknown field `dry_rnu`, did you mean `dry_run`?\n"
            "error bad spec .spec.strategy.timeframe @2:33 [5,\n  \"i] invalid type: integer `5`, "
            "expected a string\n"
            "warning bad spec .spec.strategy.indicators.a_rather_long_name.parms @4:43 [\"parms\"] "
            "unknown field `parms`, did you mean `params`?\n"
            "warning bad spec .spec.strategy.indicators.a_rather_long_name.fed @4:57 [\"fed\": ] "
            "unknown field `fed`, did you mean `feed`?\n"
            "error bad spec .spec.strategy.indicators.b.type @5:19 [1, \"par] invalid type: integer "
            "`1`, expected a string\n"
            "error bad spec .spec.strategy.indicators.b.params[0] @5:33 [\"x\", 2,] invalid type: "
            "string \"x\", expected f64\n"
            "error bad spec .spec.strategy.indicators.b.params[2] @5:41 [\"y\"]}\n ] invalid type: "
            "string \"y\", expected f64\n"
            "error bad spec .spec.strategy.sizing.qty @8:42 [true}, ] invalid type: boolean `true`, "
            "expected f64\n"
            "warning bad spec .spec.strategy.warmpu @8:49 [\"warmpu] unknown field `warmpu`, did you "
            "mean `warmup`?\n");
  const auto found = diagnose(text);
  ASSERT_EQ(found.size(), 9u);
  const auto parms = found[2].path.steps(), fed = found[3].path.steps();
  ASSERT_EQ(parms.size(), 5u);
  ASSERT_EQ(fed.size(), 5u);
  EXPECT_EQ(parms[3].key, "a_rather_long_name");
  EXPECT_EQ(parms[3].key.data(), fed[3].key.data());
  EXPECT_NE(parms[4].key.data(), fed[4].key.data());
}

// A refusal decoding does not see is placed at the member of the compile spec it is about.
TEST(ProtocolDiagnose, PipelineRefusalsNameTheirMember) {
  const std::string text = compile_of(kStrategy, R"("target":{"kind":"no_std","mcu":"zz"})");
  builder::CompileError e{builder::ErrorKind::BadTarget, "mcu \"zz\" is not in the allowlist", "target.mcu"};
  Diagnostic d = diagnostic_of(e, text);
  EXPECT_EQ(d.kind, "bad target");
  ASSERT_EQ(d.path.steps().size(), 3u);
  EXPECT_EQ(d.path.steps()[2].key, "mcu");
  ASSERT_TRUE(d.index);
  EXPECT_EQ(text.substr(*d.index - 1, 4), "\"zz\"");
  EXPECT_EQ(diagnostics_json({d}, text),
            R"({"diagnostics":[{"severity":"error","kind":"bad target","message":"mcu \"zz\" is not in the allowlist","path":["spec","target","mcu"],"index":)" +
                std::to_string(*d.index) + R"(,"line":1,"column":)" + std::to_string(*d.index) + "}]}");
}

// Refusals of the folders a request names point at the request's own members.
TEST(ProtocolDiagnose, FolderRefusalsNameTheRequestsMember) {
  struct Case {
    std::string rest;  // request members appended at the end
    std::string field;
    std::string path;
    std::string at;  // the text the place starts at
  };
  const Case cases[] = {
      {R"(,"out_dir":"/tmp/shared")", "out_dir", R"(["out_dir"])", R"("/tmp/shared")"},
      {R"(,"build":{"cache_dir":"/srv/c"})", "build.cache_dir", R"(["build","cache_dir"])", R"("/srv/c")"},
      {"", "out_dir", "[]", "{"},
  };
  for (const Case& c : cases) {
    std::string text = compile_of(kStrategy);
    text.insert(text.size() - 1, c.rest);
    builder::CompileError e{builder::ErrorKind::Io, "refusing", c.field};
    e.field_in_request = true;
    Diagnostic d = diagnostic_of(e, text);
    const std::string json = diagnostics_json({d}, text);
    EXPECT_NE(json.find(R"("path":)" + c.path + ","), std::string::npos) << json;
    ASSERT_TRUE(d.index);
    EXPECT_EQ(text.substr(*d.index - 1, c.at.size()), c.at);
  }
}

// Where a message names the decoder's type and not what to write, the diagnostic's hint does;
// the answer's text stays as it is.
TEST(ProtocolDiagnose, HintsSayWhatToWrite) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"gt":[{"price":"closse"},1]})",
       "`price` takes one of `open`, `high`, `low`, `close`, `volume`, `hlc3` or `ohlc4`; did you mean "
       "`close`?"},
      {R"({"gt":[{"pric":"close"},1]})",
       "`pric` is not an operand keyword; an operand is a number, an indicator's name, or an object "
       "with one of `price`, `prev`, `add`, `sub`, `mul` or `div`; did you mean `price`?"},
      {R"({"gt":[[1],1]})",
       "an operand is a number, an indicator's name, or an object with one of `price`, `prev`, `add`, "
       R"(`sub`, `mul` or `div` (such as {"price": "close"}))"},
      {R"({"gt":[{"prev":["fast"]},1]})", "`prev` takes [operand, bars]"},
      {R"({"rising":["fast"]})", "`rising` takes [operand, bars]"},
      {R"({"between":["fast",1,2,3]})", "`between` takes [operand, low, high]"},
      {R"({"gt":["fast",1],"lt":["fast",2]})",
       "found `gt` and `lt`: one keyword per condition object; join conditions with `all` or `any`"},
      {R"({"gt":["fast",1]})", "(no fault)"},
  };
  for (const auto& [entry, hint] : cases) {
    const std::string text = compile_of(with(kStrategy, R"({"gt":["fast","slow"]})", entry));
    const auto found = diagnose(text);
    const auto fault = std::find_if(found.begin(), found.end(), [](const Diagnostic& d) { return !d.warning; });
    EXPECT_EQ(fault == found.end() ? "(no fault)" : fault->hint, hint) << entry;
  }
}

// Where the reader's words (which the answer shares) say less than what was written, the hint
// says it: a trailing surrogate alone, a leading one the string ends after, the integer -0.
TEST(ProtocolDiagnose, HintsBesideTheReadersWords) {
  const std::string trailing = "lone leading surrogate in hex escape | `\\udc80` is a trailing surrogate with "
                               "no leading surrogate (`\\ud800` to `\\udbff`) before it; a character above "
                               "U+FFFF is written as a leading and a trailing surrogate escape in a row, such "
                               "as `\\ud83d\\ude00`";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"cmd":"\ud83d\ude00\udc80"})", trailing},
      {R"({"cmd":"\ud800\u0041"})", "lone leading surrogate in hex escape | the leading surrogate `\\ud800` is "
                                    "followed by `\\u0041`, not by a trailing surrogate (`\\udc00` to `\\udfff`)"},
      {R"({"cmd":"\ud800"})", "unexpected end of hex escape | the string ends after the leading surrogate "
                              "`\\ud800`, which must be followed by a trailing surrogate escape (`\\udc00` to `\\udfff`)"},
      {compile_of(with(kStrategy, R"("sizing")", R"("execution":{"latency_bars":-0},"sizing")")),
       "invalid type: floating point `-0.0`, expected u32 | the integer `-0` is read as the floating point "
       "number -0.0: JSON's integers have no negative zero"},
      {compile_of(with(kStrategy, R"("symbol":"BTC")", R"("symbol":-0.0)")),
       "invalid type: floating point `-0.0`, expected a string | "},
  };
  for (const auto& [text, expected] : cases) {
    const auto found = diagnose(text);
    ASSERT_FALSE(found.empty()) << text;
    EXPECT_EQ(found.back().message + " | " + found.back().hint, expected) << text;
  }
}

// A fault in a field of a tagged member of the request: the diagnostics place it at the field,
// the answer (which reads the whole tagged value first) at the value's closing brace.
TEST(ProtocolDiagnose, TaggedRequestFaultsStandAtTheirField) {
  const std::string wanted = "invalid type: integer `5`, expected a string";
  struct Case {
    std::string rest, answer_at, diagnostic;
  };
  const Case cases[] = {
      {R"("target":{"mcu":5,"kind":"no_std"})", " at line 1 column 298",
       "error request .spec.target.mcu @1:281 [5,\"kind] " + wanted + "\n"},
      {R"("target":{"kind":"wasm"},"embed_data":{"path":5,"kind":"csv"})", " at line 1 column 325",
       "error request .spec.embed_data.path @1:311 [5,\"kind] " + wanted + "\n"},
  };
  for (const Case& c : cases) {
    const std::string text = compile_of(kStrategy, c.rest);
    HandleState state;
    EXPECT_EQ(command(state, text), R"({"ok":false,"error":"bad compile request: )" + wanted + c.answer_at + "\"}");
    EXPECT_EQ(shown(text, diagnose(text)), c.diagnostic);
  }
}

// A request applied and diagnosed at once runs only what it may: a strategy text that is not one
// value, and a build with warnings under `refuse_warnings`, run nothing; `before_write` is asked
// before anything is written, and its refusal is the answer.
TEST(ProtocolDiagnose, ExchangeRunsOnlyWhatItMay) {
  const std::string out_dir = "/tmp/orvane-exchange-" + std::to_string(::getpid());
  const auto build = [&](const std::string& spec_more) {
    return R"({"cmd":"compile","out_dir":")" + out_dir + R"(","spec":{"strategy":)" + kStrategy +
           R"(,"target":{"kind":"wasm"})" + spec_more + "}}";
  };
  const std::string injected = kStrategy + R"(,"crate_name":"other")";
  struct Case {
    const char* name;
    std::string text;
    std::string strategy;  // the bytes `strategy_text` names (from the first "{\"symbol")
    bool refuse_warnings;
    std::string answer;  // "(none)" when nothing ran
    bool holds;
  };
  const std::string refused = R"({"ok":false,"error":"build: no tool chain here"})";
  const Case cases[] = {
      {"strategy alone", compile_of(kStrategy), kStrategy, false, "", true},
      {"whitespace beside it", compile_of(" \n" + kStrategy + "\t"), " \n" + kStrategy + "\t", false, "",
       true},
      {"a member after it", compile_of(injected), injected, false, "(none)", false},
      {"not JSON", compile_of(kStrategy + "]"), kStrategy + "]", false, "(none)", false},
      {"members after it, past the compile spec", compile_of(kStrategy + R"(},"y":{"z":1)"),
       kStrategy + R"(},"y":{"z":1)", false, "(none)", false},
      {"a string with brackets and quotes", compile_of(R"("a]\"}b")"), R"("a]\"}b")", false, "", true},
      {"a number", compile_of("12 "), "12 ", false, "", true},
      {"its key written with an escape",
       with(compile_of(kStrategy), "\"strategy\"", "\"str\\u0061tegy\""), kStrategy, false, "", true},
      {"a build's refusal before writing", build(""), "", false, refused, true},
      {"a build with a warning held back", build(R"(,"x":1)"), "", true, "(none)", true},
      {"a dry run with a warning runs", compile_of(kStrategy, R"("target":{"kind":"wasm"},"x":1)"), "", true,
       "", true},
  };
  for (const Case& c : cases) {
    ExchangeOptions options;
    options.refuse_warnings = c.refuse_warnings;
    if (!c.strategy.empty()) {
      const std::size_t at = c.text.find(c.strategy);
      options.strategy_text = {at, at + c.strategy.size()};
    }
    std::vector<std::string> asked;
    CommandHooks hooks;
    hooks.before_write = [&](const builder::Manifest& m, const std::filesystem::path& dir) {
      asked.push_back(m.crate_name + " " + dir.string());
      return std::optional(builder::CompileError{builder::ErrorKind::Build, "no tool chain here"});
    };
    HandleState state;
    const Exchange got = exchange(state, c.text, hooks, options);
    HandleState alone;
    const std::string expected = c.answer.empty() ? command(alone, c.text) : c.answer;
    EXPECT_EQ(got.response.value_or("(none)"), expected) << c.name;
    EXPECT_EQ(got.strategy_text_holds, c.holds) << c.name;
    EXPECT_EQ(asked, c.answer == refused ? std::vector<std::string>{"btc " + out_dir + "/btc"}
                                         : std::vector<std::string>{})
        << c.name;
    EXPECT_FALSE(std::filesystem::exists(out_dir)) << c.name;
  }
}

}  // namespace
}  // namespace orvane::protocol
