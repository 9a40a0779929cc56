// An allocation that fails while a text is written must unwind cleanly: std::bad_alloc
// reaches the caller, the helper threads that digest the text stop and are joined, and the
// same thread then answers a normal call exactly as a thread that never failed. The failure
// is injected at a chosen growth of the writer's buffer (json/alloc_fault.hpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "builder/pipeline.hpp"
#include "json/alloc_fault.hpp"
#include "json/page_warmer.hpp"
#include "json/reader.hpp"
#include "json/sha256.hpp"
#include "json/writer.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/state.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane {
namespace {

namespace fault = json::alloc_fault;

constexpr std::string_view kStrategy =
    R"({"symbol":"BTC/USDT","timeframe":"1h","indicators":{},"entry":{"gt":["a",1]},)"
    R"("exit":{"lt":["a",1]},"sizing":{"type":"fixed_fraction","fraction":0.1}})";

// 1e15 is written as 1000000000000000.0: the text outgrows the room reserved for it (about
// the source's length) and its buffer grows, and moves, while it is being digested.
std::string growing_numbers(int n) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) text += i ? ",1e15" : "1e15";
  return text + "]";
}

std::string candles(int n, std::size_t pad = 0) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) {
    if (i) text += ',';
    text +=
        R"({"t":)" + std::to_string(i) + R"(,"o":1e15,"h":1e15,"l":1e15,"c":1e15,"v":[1e15,1e15])";
    if (pad) text += R"(,"note":")" + std::string(pad, char('a' + i % 26)) + '"';
    text += '}';
  }
  return text + "]";
}

// Two candles with a note of a megabyte each, then the candles of `text`.
std::string long_first(const std::string& text) {
  std::string out = candles(2, std::size_t(1) << 20);
  out.back() = ',';
  return out + text.substr(1);
}

// A decoded compile request body with the document its values live in.
struct DecodedSpec {
  std::string text;
  std::unique_ptr<json::Document> doc;
  schema::CompileSpec spec;
};

std::unique_ptr<DecodedSpec> compile_spec(const std::string& candle_text) {
  auto d = std::make_unique<DecodedSpec>();
  d->text = std::string(R"({"strategy":)") + std::string(kStrategy) +
            R"(,"target":{"kind":"wasm"},"embed_data":{"kind":"inline","candles":)" + candle_text +
            "}}";
  auto parsed = json::parse(d->text);
  EXPECT_TRUE(parsed);
  if (!parsed) return d;
  d->doc = std::make_unique<json::Document>(std::move(parsed->doc));
  auto s = schema::decode<schema::CompileSpec>(d->doc->value(parsed->root));
  EXPECT_TRUE(s) << (s ? "" : s.error().message);
  if (s) d->spec = std::move(*s);
  return d;
}

// Everything a generated project is judged by, as one text.
std::string fingerprint(const builder::GeneratedProject& p) {
  std::string out =
      "spec_hash " + p.manifest.spec_hash + "\nproject_hash " + p.manifest.project_hash + "\n";
  for (const auto& f : p.manifest.files) {
    out += f.path + ' ' + f.sha256 + ' ' + std::to_string(f.bytes_len) + '\n';
  }
  for (const auto& [path, contents] : p.files)
    out += path + ' ' + json::sha256_hex(contents) + '\n';
  return out;
}

// The calls under test, each giving a text that says everything about its result.
struct Workloads {
  std::string array_text = growing_numbers(400000);
  std::unique_ptr<json::ParsedDocument> array = parsed(array_text);
  std::string candle_text = candles(25000);
  std::unique_ptr<json::ParsedDocument> candle_array = parsed(candle_text);
  std::unique_ptr<DecodedSpec> many_candles = compile_spec(candle_text);
  // Fewer candles than make the writer digest on a second thread, but over a megabyte of
  // text: the pipeline takes the two digests of the candle file side by side instead.
  std::unique_ptr<DecodedSpec> padded_candles = compile_spec(candles(9000, 120));
  // A dry run digests its candle text a piece at a time and does not keep it; the piece's
  // buffer grows only for a candle longer than a piece: the first two candles here, one for
  // each of its two buffers.
  std::unique_ptr<DecodedSpec> long_first_candles = compile_spec(long_first(candle_text));
  std::string dry_run = std::string(R"({"cmd":"compile","spec":)") + long_first_candles->text +
                        R"(,"dry_run":true})";

  static std::unique_ptr<json::ParsedDocument> parsed(const std::string& text) {
    auto doc = json::parse(text);
    EXPECT_TRUE(doc);
    return std::make_unique<json::ParsedDocument>(std::move(*doc));
  }

  std::map<std::string, std::function<std::string()>> calls() const {
    return {
        {"canonical_json of an array",
         [this] {
           std::string text = json::canonical_json(array->value());
           return std::to_string(text.size()) + ' ' + json::sha256_hex(text);
         }},
        {"canonical_json_digested of candles",
         [this] {
           json::DigestedText d =
               json::canonical_json_digested(candle_array->value(), "{\"c\":", "}");
           return std::to_string(d.text.size()) + ' ' + json::sha256_hex(d.text) + ' ' +
                  d.text_sha256 + ' ' + d.framed_sha256;
         }},
        {"generate_project with many candles",
         [this] {
           auto p = builder::generate_project(many_candles->spec);
           return p ? fingerprint(*p) : "error: " + p.error().message;
         }},
        {"generate_project with padded candles",
         [this] {
           auto p = builder::generate_project(padded_candles->spec);
           return p ? fingerprint(*p) : "error: " + p.error().message;
         }},
        {"dry run command with many candles",
         [this] {
           protocol::HandleState state;
           return protocol::command(state, dry_run);
         }},
    };
  }
};

const Workloads& workloads() {
  static const Workloads w;
  return w;
}

// Runs `f` on a thread of its own and gives its result. A call that has not returned after
// a minute is stuck (a helper thread that never stops): that fails the test and ends the run,
// since a stuck call cannot be cancelled and waiting for it would hang the whole suite.
template <class F>
auto on_own_thread(const std::string& what, F f) -> decltype(f()) {
  auto done = std::async(std::launch::async, std::move(f));
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << what << ": did not return within 60 s";
    std::fflush(stdout);
    std::_Exit(1);
  }
  return done.get();
}

// The number of buffer growths a call makes.
std::size_t count_growths(const std::function<std::string()>& call) {
  constexpr std::size_t kMany = std::numeric_limits<std::size_t>::max();
  fault::fail_nth_growth(kMany);
  call();
  const std::size_t left = fault::growths_left();
  fault::fail_nth_growth(0);
  return kMany - left;
}

enum class Pick { First, Second, Middle, Last, PastLast };

std::size_t growth_number(Pick pick, std::size_t growths) {
  switch (pick) {
    case Pick::First:
      return 1;
    case Pick::Second:
      return 2;
    case Pick::Middle:
      return (growths + 1) / 2;
    case Pick::Last:
      return growths;
    case Pick::PastLast:
      return growths + 1;
  }
  return 0;
}

struct Outcome {
  bool threw_bad_alloc = false;
  std::string result;        // of the call with the hook armed, when it returned
  std::size_t left = 0;      // growths the hook still waited for
  std::string result_after;  // of a normal call on the same thread afterwards
};

struct Case {
  const char* call;
  Pick pick;
  bool fails;  // the picked growth comes within the call
};

const Case kCases[] = {
    {"canonical_json of an array", Pick::First, true},
    {"canonical_json of an array", Pick::Second, true},
    {"canonical_json of an array", Pick::Middle, true},
    {"canonical_json of an array", Pick::Last, true},
    {"canonical_json of an array", Pick::PastLast, false},
    {"canonical_json_digested of candles", Pick::First, true},
    {"canonical_json_digested of candles", Pick::Second, true},
    {"canonical_json_digested of candles", Pick::Last, true},
    {"canonical_json_digested of candles", Pick::PastLast, false},
    {"generate_project with many candles", Pick::First, true},
    {"generate_project with many candles", Pick::Second, true},
    {"generate_project with many candles", Pick::Middle, true},
    {"generate_project with many candles", Pick::Last, true},
    {"generate_project with many candles", Pick::PastLast, false},
    {"generate_project with padded candles", Pick::First, true},
    {"generate_project with padded candles", Pick::Last, true},
    {"generate_project with padded candles", Pick::PastLast, false},
    {"dry run command with many candles", Pick::First, true},
    {"dry run command with many candles", Pick::Middle, true},
    {"dry run command with many candles", Pick::Last, true},
    {"dry run command with many candles", Pick::PastLast, false},
};

TEST(CanonicalAllocFailure, FailedGrowthUnwindsAndTheThreadWorksAfterwards) {
  // A large request takes the helper's road or not by the machine's load: the growths counted
  // must be those of the call that then fails.
  const json::FixedSecondCore helper_road(true);
  const auto calls = workloads().calls();
  std::map<std::string, std::string> plain;
  std::map<std::string, std::size_t> growths;
  for (const auto& [name, call] : calls) {
    plain[name] = on_own_thread(name, call);
    growths[name] = on_own_thread(name, [&call = call] { return count_growths(call); });
    EXPECT_EQ(plain[name].rfind("error", 0), std::string::npos) << name << ": " << plain[name];
    // Each call must grow its buffer more than once for the picks to mean something.
    EXPECT_GE(growths[name], 2u) << name;
  }

  for (const Case& c : kCases) {
    const std::string name = c.call;
    const std::size_t nth = growth_number(c.pick, growths.at(name));
    const std::string what =
        name + ", growth " + std::to_string(nth) + " of " + std::to_string(growths.at(name));
    const auto& call = calls.at(name);
    Outcome o = on_own_thread(what, [&] {
      Outcome out;
      fault::fail_nth_growth(nth);
      try {
        out.result = call();
      } catch (const std::bad_alloc&) {
        out.threw_bad_alloc = true;
      }
      out.left = fault::growths_left();
      fault::fail_nth_growth(0);
      out.result_after = call();
      return out;
    });
    EXPECT_EQ(o.threw_bad_alloc, c.fails) << what;
    if (c.fails) {
      EXPECT_EQ(o.left, 0u) << what;
    } else {
      EXPECT_EQ(o.left, 1u) << what;
      EXPECT_EQ(o.result, plain.at(name)) << what;
    }
    EXPECT_EQ(o.result_after, plain.at(name)) << what;
  }
}

// A failure while the text is digested leaves nothing behind for the next call: the same
// thread fails and recovers over and over, and still gives the same text and digests.
TEST(CanonicalAllocFailure, RepeatedFailuresOnOneThread) {
  const json::FixedSecondCore helper_road(true);
  const auto calls = workloads().calls();
  const auto& call = calls.at("canonical_json_digested of candles");
  const std::string expected = on_own_thread("plain", call);
  const std::size_t n = on_own_thread("count", [&] { return count_growths(call); });
  ASSERT_GE(n, 1u);
  auto failures = on_own_thread("repeated", [&] {
    int thrown = 0;
    for (int round = 0; round < 20; ++round) {
      fault::fail_nth_growth(std::size_t(round) % n + 1);
      try {
        call();
      } catch (const std::bad_alloc&) {
        ++thrown;
      }
    }
    fault::fail_nth_growth(0);
    return std::make_pair(thrown, call());
  });
  EXPECT_EQ(failures.first, 20);
  EXPECT_EQ(failures.second, expected);
}

}  // namespace
}  // namespace orvane
