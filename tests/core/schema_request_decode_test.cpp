// Request bodies are decoded from the parsed request; a failure is decoded again from the request
// read as written and placed in the text where a reader of it stops. A failure inside a tagged
// value's fields is placed at that value's closing brace or bracket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "protocol/decode_request.hpp"
#include "protocol/requests.hpp"
#include "schema/compile_spec_schema.hpp"

namespace orvane {
namespace {

using protocol::CompileReq;

struct Verdicts {
  bool parsed_ok;   // decoded from the request as parsed
  bool written_ok;  // decoded from the request as written
  std::string message;
};

template <class T>
Verdicts both_readings(const std::string& text) {
  auto parsed = json::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  json::ParsedDocument written;
  EXPECT_TRUE(json::parse_as_written(text, written)) << text;
  auto decoded = protocol::decode_request<T>(text, *parsed);
  return {schema::decode<T>(parsed->value()).has_value(),
          schema::decode<T>(written.value()).has_value(), decoded ? "" : decoded.error().message};
}

struct Case {
  const char* text;
  const char* message;  // "" when it decodes
};

const Case kCompileRequests[] = {
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"}}})", ""},
    {R"({"cmd":"compile"})", "missing field `spec` at line 1 column 17"},
    {R"({"cmd":"compile","spec":[]})",
     "invalid length 0, expected struct CompileSpec with 5 elements at line 1 column 26"},
    {R"({"cmd":"compile","spec":[1]})",
     "invalid length 1, expected struct CompileSpec with 5 elements at line 1 column 27"},
    {R"({"cmd":"compile","spec":[1,{"kind":"binary"}]})", ""},
    {R"({"cmd":"compile","spec":[1,["no_std","thumbv6m-none-eabi"],"size",null,"a"]})", ""},
    {R"({"cmd":"compile","spec":[1,{"kind":"wasm"},"release",null,null,6]})",
     "invalid length 6, expected fewer elements in array at line 1 column 65"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"}},"spec":1})",
     "duplicate field `spec` at line 1 column 70"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm","kind":"wasm"}}})",
     "duplicate field `kind` at line 1 column 68"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"no_std","mcu":"a","mcu":"b"}}})",
     "duplicate field `mcu` at line 1 column 84"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"no_std"}}})",
     "missing field `mcu` at line 1 column 64"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"no_std"},"crate_name":"a"}})",
     "missing field `mcu` at line 1 column 64"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"mcu":"x","kind":"no_std"}}})", ""},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"binary","mcu":5}}})", ""},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":[]}})",
     "missing field `kind` at line 1 column 49"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":["no_std"]}})",
     "invalid length 0, expected struct variant Target::NoStd with 1 element at line 1 column 57"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":5}}})",
     "invalid type: integer `5`, expected variant identifier at line 1 column 56"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"opt_level":{"size":null}}})", ""},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"opt_level":{"size":null,"size":null}}})",
     "expected value at line 1 column 87"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"opt_level":{"size":1}}})",
     "invalid type: integer `1`, expected unit at line 1 column 84"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"opt_level":null}})",
     "expected value at line 1 column 76"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"opt_level":{}}})",
     "expected value at line 1 column 77"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"embed_data":{"kind":"csv"}}})",
     "missing field `path` at line 1 column 90"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"embed_data":{"kind":"csv","path":"a","path":"b"}}})",
     "duplicate field `path` at line 1 column 112"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"embed_data":{"kind":"inline","candles":[]}}})", ""},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"},"embed_data":{"kind":"inline","candles":{}}}})",
     "invalid type: map, expected a sequence at line 1 column 106"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"}},"dry_run":null})",
     "invalid type: null, expected a boolean at line 1 column 78"},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"}},"out_dir":null,"dry_run":true})", ""},
    {R"({"cmd":"compile","spec":{"strategy":1,"target":{"kind":"wasm"}},"out_dir":3})",
     "invalid type: integer `3`, expected a string at line 1 column 75"},
    {"{\"cmd\":\"compile\",\n \"spec\": {\"strategy\": 1,\n  \"target\": \"wasm\"}}",
     "invalid type: string \"wasm\", expected internally tagged enum Target at line 3 column 18"},
    {R"(["compile"])", "invalid type: string \"compile\", expected struct CompileSpec at line 1 column 10"},
};

TEST(SpecRequestDecode, BothReadingsAgreeAndFaultsArePlacedInTheText) {
  for (const Case& c : kCompileRequests) {
    Verdicts v = both_readings<CompileReq>(c.text);
    bool ok = std::string(c.message).empty();
    EXPECT_EQ(v.parsed_ok, ok) << c.text;
    EXPECT_EQ(v.written_ok, ok) << c.text;
    EXPECT_EQ(v.message, c.message) << c.text;
  }
}

TEST(SpecRequestDecode, EnvelopeReadingsAgree) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"cmd":"version"})", true},      {R"(["version"])", true},
      {R"(["version",1])", false},         {R"({"cmd":"a","cmd":"a"})", false},
      {R"({"x":{"cmd":1},"cmd":"a"})", true}, {R"({"cmd":null})", false},
      {R"({"cmd":5})", false},             {R"([])", false},
      {R"("version")", false},             {R"({"x":1,"x":2,"cmd":"a"})", true},
  };
  for (auto [text, ok] : cases) {
    Verdicts v = both_readings<protocol::Envelope>(text);
    EXPECT_EQ(v.parsed_ok, ok) << text;
    EXPECT_EQ(v.written_ok, ok) << text;
  }
}

// The written form decodes back to the same spec, and writing it again gives the same text.
TEST(SpecRequestDecode, WrittenCompileSpecRoundTrips) {
  const char* specs[] = {
      R"({"strategy":{"b":1,"a":[1.0,-0,"x"]},"target":{"kind":"wasm"}})",
      R"({"strategy":null,"target":{"kind":"no_std","mcu":"thumbv6m-none-eabi"},"opt_level":"size","crate_name":"q"})",
      R"({"crate_name":"z","embed_data":{"path":"d.csv","kind":"csv"},"target":{"kind":"binary"},"strategy":[]})",
      R"({"strategy":{},"target":["binary"],"embed_data":["inline",[{"t":1,"o":2.50}]],"opt_level":{"debug":null}})",
  };
  for (const char* text : specs) {
    auto doc = json::parse(text);
    ASSERT_TRUE(doc) << text;
    auto spec = schema::decode<schema::CompileSpec>(doc->value());
    ASSERT_TRUE(spec) << text << ": " << spec.error().message;
    std::string written = schema::write_compile_spec(*spec);
    auto doc2 = json::parse(written);
    ASSERT_TRUE(doc2) << written;
    auto again = schema::decode<schema::CompileSpec>(doc2->value());
    ASSERT_TRUE(again) << written;
    EXPECT_EQ(schema::write_compile_spec(*again), written);
    EXPECT_EQ(again->target, spec->target);
    EXPECT_EQ(again->opt_level, spec->opt_level);
    EXPECT_EQ(again->crate_name, spec->crate_name);
    EXPECT_EQ(json::canonical_json(again->strategy), json::canonical_json(spec->strategy));
  }
  // Absent opt_level is written out; absent optional members are left out.
  std::string text = R"({"strategy":5,"target":{"kind":"wasm"},"embed_data":null})";
  auto doc = json::parse(text);
  ASSERT_TRUE(doc);
  auto spec = schema::decode<schema::CompileSpec>(doc->value());
  ASSERT_TRUE(spec);
  EXPECT_EQ(schema::write_compile_spec(*spec),
            R"({"strategy":5,"target":{"kind":"wasm"},"opt_level":"release"})");
}

}  // namespace
}  // namespace orvane
