// Request texts and the exact answer to each: the envelope, and the faults of the compile
// request's and the artifact_bytes request's own text. A request fault ends with its place,
// " at line L column C": lines and columns count from 1, columns in bytes. A missing field
// sits at the closing brace of the object that lacks it, a value of the wrong type at its
// last byte, an unknown variant at the last byte of its name, a repeated key at the last
// byte of its second occurrence, a fault among a tagged value's own fields (a repeated one
// included) at the closing brace or bracket of that value, a token that cannot stand where an
// enumeration must at its first byte, and an array or object of the wrong kind at the byte
// before it.
#include <gtest/gtest.h>

#include <string>

#include "schema_tables.hpp"

namespace orvane::tables {
namespace {

const std::string& kVersion = kVersionAnswer;
const std::string kTargetList = targets_answer();
const std::string kReset = R"({"ok":true})";
const std::string kEnvelope =
    R"({"ok":false,"error":"invalid command envelope: expected {\"cmd\":...}"})";

const std::string kTargets = "one of `wasm`, `binary`, `no_std`";
const std::string kLevels = "one of `debug`, `release`, `size`";
const std::string kDatasets = "`csv` or `inline`";

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_objects(int depth) {
  std::string out;
  for (int i = 1; i < depth; ++i) out += R"({"k":)";
  return out + "{}" + std::string(depth - 1, '}');
}

// ---------------------------------------------------------------------------
// The envelope: answered in place, or refused whole.

const Case kEnvelopeAnswers[] = {
    {"version", R"({"cmd":"version"})", kVersion},
    {"targets", R"({"cmd":"targets"})", kTargetList},
    {"reset", R"({"cmd":"reset"})", kReset},
    {"surrounding-whitespace", " \t\r\n{\"cmd\":\"version\"} \t\r\n", kVersion},
    {"spaced-tokens", "{ \"cmd\" :\n\"targets\" }", kTargetList},
    {"extra-key-array", R"({"cmd":"version","extra":[1,2,{"a":[]}]})", kVersion},
    {"cmd-not-first", R"({"extra":{"cmd":"reset"},"cmd":"version"})", kVersion},
    {"positional-version", R"(["version"])", kVersion},
    {"positional-targets", R"([ "targets" ])", kTargetList},
    {"positional-reset", R"(["reset"])", kReset},
    {"escaped-cmd", R"({"cmd":"vers\u0069on"})", kVersion},
    {"escaped-solidus-cmd", R"({"cmd":"t\u0061rgets"})", kTargetList},
    {"targets-ignores-body-keys", R"({"cmd":"targets","spec":5,"path":[]})", kTargetList},
    {"reset-ignores-body-keys", R"({"cmd":"reset","path":3,"spec":{"a":null}})", kReset},
    {"version-ignores-bad-body-keys", R"({"cmd":"version","dry_run":"x","out_dir":5})", kVersion},
    {"unknown-key-repeated", R"({"cmd":"version","x":1,"x":[2]})", kVersion},
    {"depth-127-arrays", R"({"cmd":"version","x":)" + nested_arrays(126) + "}", kVersion},
    {"depth-127-objects", R"({"cmd":"version","x":)" + nested_objects(126) + "}", kVersion},
    {"big-numbers-in-extras",
     R"({"cmd":"version","x":[18446744073709551616,-9223372036854775809,1e308,-0]})", kVersion},
    {"unknown-cmd", R"({"cmd":"Compile"})", R"({"ok":false,"error":"unknown cmd: Compile"})"},
    {"upper-case", R"({"cmd":"VERSION"})", R"({"ok":false,"error":"unknown cmd: VERSION"})"},
    {"empty-cmd", R"({"cmd":""})", R"({"ok":false,"error":"unknown cmd: "})"},
    {"leading-blank", R"({"cmd":" version"})", R"({"ok":false,"error":"unknown cmd:  version"})"},
    {"hyphenated", R"({"cmd":"artifact-bytes"})",
     R"({"ok":false,"error":"unknown cmd: artifact-bytes"})"},
    {"quote-and-backslash", R"({"cmd":"a\"b\\c"})",
     R"({"ok":false,"error":"unknown cmd: a\"b\\c"})"},
    {"control-escapes", R"({"cmd":"\n\t\u0000\u001f"})",
     R"({"ok":false,"error":"unknown cmd: \n\t\u0000\u001f"})"},
    {"non-ascii", "{\"cmd\":\"hé\342\200\250😀\"}",
     "{\"ok\":false,\"error\":\"unknown cmd: hé\342\200\250😀\"}"},
    {"escaped-non-ascii", R"({"cmd":"\u00e9\ud83d\ude00/"})",
     R"({"ok":false,"error":"unknown cmd: é😀/"})"},
    {"slash-and-del", "{\"cmd\":\"a\\/b\177\"}",
     "{\"ok\":false,\"error\":\"unknown cmd: a/b\177\"}"},
    {"compile-without-spec", R"({"cmd":"compile"})",
     R"({"ok":false,"error":"bad compile request: missing field `spec` at line 1 column 17"})"},
    {"compile-without-spec-spaced", R"({ "cmd": "compile" })",
     R"({"ok":false,"error":"bad compile request: missing field `spec` at line 1 column 20"})"},
    {"artifact-bytes-without-path", R"({"cmd":"artifact_bytes"})",
     R"({"ok":false,"error":"bad artifact_bytes request: missing field `path` at line 1 column 24"})"},
};

// Each answers the envelope fault: the text is no JSON, or holds no command name.
const Input kMalformedEnvelopes[] = {
    {"empty", ""},
    {"blanks", "  \t "},
    {"newline", "\n"},
    {"not-json", "not json"},
    {"open-brace", "{"},
    {"empty-object", "{}"},
    {"empty-array", "[]"},
    {"two-element-array", R"(["version","x"])"},
    {"number-in-array", "[1]"},
    {"trailing-characters", R"({"cmd":"version"} x)"},
    {"second-document", R"({"cmd":"version"}{})"},
    {"cmd-twice-same", R"({"cmd":"version","cmd":"version"})"},
    {"cmd-twice-different", R"({"cmd":"version","cmd":"targets"})"},
    {"cmd-number", R"({"cmd":5})"},
    {"cmd-null", R"({"cmd":null})"},
    {"cmd-bool", R"({"cmd":true})"},
    {"cmd-array", R"({"cmd":["version"]})"},
    {"cmd-object", R"({"cmd":{"version":null}})"},
    {"bare-number", "5"},
    {"bare-string", R"("version")"},
    {"bare-null", "null"},
    {"bare-true", "true"},
    {"trailing-comma-object", R"({"cmd":"version",})"},
    {"trailing-comma-array", R"({"cmd":"version","x":[1,]})"},
    {"eof-in-object", R"({"cmd":"version")"},
    {"eof-in-array", R"({"cmd":"version","x":[1)"},
    {"eof-in-string", R"({"cmd":"vers)"},
    {"eof-after-colon", R"({"cmd":)"},
    {"missing-colon", R"({"cmd" "version"})"},
    {"unquoted-key", R"({cmd:"version"})"},
    {"wrong-closer", R"({"cmd":"version"])"},
    {"missing-comma-array", R"({"cmd":"version","x":[1 2]})"},
    {"missing-comma-object", R"({"cmd":"version" "x":1})"},
    {"raw-tab-in-string", "{\"cmd\":\"ver\tsion\"}"},
    {"raw-newline-in-extra", "{\"cmd\":\"version\",\"x\":\"a\nb\"}"},
    {"invalid-escape", R"({"cmd":"\x"})"},
    {"short-hex-escape", R"({"cmd":"version","x":"\u12"})"},
    {"leading-zero", R"({"cmd":"version","x":01})"},
    {"bare-point", R"({"cmd":"version","x":1.})"},
    {"bare-exponent", R"({"cmd":"version","x":1e})"},
    {"plus-sign", R"({"cmd":"version","x":+1})"},
    {"misspelt-literal", R"({"cmd":"version","x":tru})"},
    {"single-quotes", "{'cmd':'version'}"},
    {"byte-order-mark", "\357\273\277{\"cmd\":\"version\"}"},
    {"comment", R"({"cmd":"version"} // hi)"},
    {"depth-128-arrays", R"({"cmd":"version","x":)" + nested_arrays(127) + "}"},
    {"depth-128-objects", R"({"cmd":"version","x":)" + nested_objects(127) + "}"},
    {"depth-128-compile",
     R"({"cmd":"compile","spec":{"strategy":{"x":)" + nested_arrays(125) + "}}}"},
    {"depth-128-artifact-bytes",
     R"({"cmd":"artifact_bytes","path":"x","n":)" + nested_arrays(127) + "}"},
    {"syntax-error-in-compile",
     R"({"cmd":"compile","spec":{"strategy":[1,],"target":{"kind":"wasm"}}})"},
    {"syntax-error-in-artifact-bytes", R"({"cmd":"artifact_bytes","path":"a\qb"})"},
};

// ---------------------------------------------------------------------------
// The target, a tagged value. Its value starts at column 48:
//   {"cmd":"compile","spec":{"strategy":0,"target":
//   ^1                                             ^47

const std::string kTarget = R"({"cmd":"compile","spec":{"strategy":0,"target":)";

const Case kTargetFaults[] = {
    {"no-std-without-mcu", kTarget + R"({"kind":"no_std"}}})",
     request_fault("missing field `mcu` at line 1 column 64")},
    {"no-std-without-mcu-not-last", kTarget + R"({"kind":"no_std"},"opt_level":"size"}})",
     request_fault("missing field `mcu` at line 1 column 64")},
    {"no-std-without-mcu-blank-after", kTarget + R"({"kind":"no_std"} }})",
     request_fault("missing field `mcu` at line 1 column 64")},
    {"mcu-number", kTarget + R"({"kind":"no_std","mcu":5}}})",
     request_fault("invalid type: integer `5`, expected a string at line 1 column 72")},
    {"mcu-null", kTarget + R"({"mcu":null,"kind":"no_std"}}})",
     request_fault("invalid type: null, expected a string at line 1 column 75")},
    {"mcu-map", kTarget + R"({"kind":"no_std","mcu":{}}}})",
     request_fault("invalid type: map, expected a string at line 1 column 73")},
    {"unknown-kind", kTarget + R"({"kind":"x"}}})",
     request_fault("unknown variant `x`, expected " + kTargets + " at line 1 column 58")},
    {"kind-case", kTarget + R"({"kind":"WASM"}}})",
     request_fault("unknown variant `WASM`, expected " + kTargets + " at line 1 column 61")},
    {"kind-number", kTarget + R"({"kind":1}}})",
     request_fault("invalid type: integer `1`, expected variant identifier at line 1 column 56")},
    {"kind-null", kTarget + R"({"kind":null}}})",
     request_fault("invalid type: null, expected variant identifier at line 1 column 59")},
    {"kind-missing", kTarget + R"({"mcu":"a"}}})",
     request_fault("missing field `kind` at line 1 column 58")},
    {"kind-missing-empty", kTarget + "{}}}",
     request_fault("missing field `kind` at line 1 column 49")},
    {"kind-twice", kTarget + R"({"kind":"wasm","kind":"wasm"}}})",
     request_fault("duplicate field `kind` at line 1 column 68")},
    // The tag is found while the value is read; its other fields are decoded once it is read.
    {"mcu-twice", kTarget + R"({"kind":"no_std","mcu":"a","mcu":"b"}}})",
     request_fault("duplicate field `mcu` at line 1 column 84")},
    {"string", kTarget + R"("wasm"}})",
     request_fault(
         R"(invalid type: string "wasm", expected internally tagged enum Target at line 1 column 53)")},
    {"null", kTarget + "null}}",
     request_fault(
         "invalid type: null, expected internally tagged enum Target at line 1 column 51")},
    {"number", kTarget + "5}}",
     request_fault(
         "invalid type: integer `5`, expected internally tagged enum Target at line 1 column 48")},
    {"bool", kTarget + "false}}",
     request_fault("invalid type: boolean `false`, expected internally tagged enum Target at line "
                   "1 column 52")},
    {"positional-empty", kTarget + "[]}}",
     request_fault("missing field `kind` at line 1 column 49")},
    {"positional-no-std-short", kTarget + R"(["no_std"]}})",
     request_fault("invalid length 0, expected struct variant Target::NoStd with 1 element at line "
                   "1 column 57")},
    {"positional-no-std-long", kTarget + R"(["no_std","thumbv6m-none-eabi",1]}})",
     request_fault("invalid length 2, expected fewer elements in array at line 1 column 80")},
    {"positional-unknown", kTarget + R"(["arm"]}})",
     request_fault("unknown variant `arm`, expected " + kTargets + " at line 1 column 53")},
};

// The optimisation level, an enumeration by name or as {"name":null}. Its value starts at
// column 76:
//   {"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"opt_level":
//   ^1                                                                        ^75

const std::string kLevel =
    R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"opt_level":)";

const Case kLevelFaults[] = {
    {"unknown", kLevel + R"("x"}})",
     request_fault("unknown variant `x`, expected " + kLevels + " at line 1 column 78")},
    {"case", kLevel + R"("Release"}})",
     request_fault("unknown variant `Release`, expected " + kLevels + " at line 1 column 84")},
    {"unknown-map-form", kLevel + R"({"x":null}}})",
     request_fault("unknown variant `x`, expected " + kLevels + " at line 1 column 79")},
    {"map-value-not-null", kLevel + R"({"size":1}}})",
     request_fault("invalid type: integer `1`, expected unit at line 1 column 84")},
    {"map-form-two-keys", kLevel + R"({"size":null,"size":null}}})",
     request_fault("expected value at line 1 column 87")},
    {"empty-map", kLevel + "{}}}", request_fault("expected value at line 1 column 77")},
    {"number", kLevel + "1}}", request_fault("expected value at line 1 column 76")},
    {"true", kLevel + "true}}", request_fault("expected value at line 1 column 76")},
    {"false", kLevel + "false}}", request_fault("expected value at line 1 column 76")},
    {"null", kLevel + "null}}", request_fault("expected value at line 1 column 76")},
    {"array", kLevel + R"(["size"]}})", request_fault("expected value at line 1 column 76")},
};

// The dataset, a tagged value. Its value starts at column 77:
//   {"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"embed_data":
//   ^1                                                                         ^76

const std::string kDataset =
    R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"embed_data":)";

const Case kDatasetFaults[] = {
    {"csv-without-path", kDataset + R"({"kind":"csv"}}})",
     request_fault("missing field `path` at line 1 column 90")},
    {"inline-without-candles", kDataset + R"({"kind":"inline"}}})",
     request_fault("missing field `candles` at line 1 column 93")},
    {"candles-map", kDataset + R"({"kind":"inline","candles":{}}}})",
     request_fault("invalid type: map, expected a sequence at line 1 column 106")},
    {"candles-string", kDataset + R"({"kind":"inline","candles":"x"}}})",
     request_fault(R"(invalid type: string "x", expected a sequence at line 1 column 107)")},
    {"path-number", kDataset + R"({"kind":"csv","path":5}}})",
     request_fault("invalid type: integer `5`, expected a string at line 1 column 99")},
    {"csv-without-path-not-last", kDataset + R"({"kind":"csv"},"crate_name":"a"}})",
     request_fault("missing field `path` at line 1 column 90")},
    {"unknown-kind", kDataset + R"({"kind":"xml"}}})",
     request_fault("unknown variant `xml`, expected " + kDatasets + " at line 1 column 89")},
    {"kind-missing", kDataset + R"({"path":"a.csv"}}})",
     request_fault("missing field `kind` at line 1 column 92")},
    {"kind-twice", kDataset + R"({"kind":"csv","path":"a","kind":"inline"}}})",
     request_fault("duplicate field `kind` at line 1 column 107")},
    {"path-twice", kDataset + R"({"kind":"csv","path":"a","path":"b"}}})",
     request_fault("duplicate field `path` at line 1 column 112")},
    {"number", kDataset + "5}}",
     request_fault("invalid type: integer `5`, expected internally tagged enum DatasetRef at line "
                   "1 column 77")},
    {"string", kDataset + R"("csv"}})",
     request_fault(
         R"(invalid type: string "csv", expected internally tagged enum DatasetRef at line 1 column 81)")},
    {"bool", kDataset + "true}}",
     request_fault("invalid type: boolean `true`, expected internally tagged enum DatasetRef at "
                   "line 1 column 80")},
    {"positional-empty", kDataset + "[]}}",
     request_fault("missing field `kind` at line 1 column 78")},
    {"positional-csv-short", kDataset + R"(["csv"]}})",
     request_fault("invalid length 0, expected struct variant DatasetRef::Csv with 1 element at "
                   "line 1 column 83")},
    {"positional-csv-long", kDataset + R"(["csv","a",2]}})",
     request_fault("invalid length 2, expected fewer elements in array at line 1 column 89")},
    {"positional-inline-short", kDataset + R"(["inline"]}})",
     request_fault("invalid length 0, expected struct variant DatasetRef::Inline with 1 element at "
                   "line 1 column 86")},
};

// The crate name, required and repeated fields, and the compile spec's own shape. The crate
// name's value starts at column 77.

const std::string kCrate =
    R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"crate_name":)";

const Case kCompileSpecFaults[] = {
    {"crate-name-number", kCrate + "5}}",
     request_fault("invalid type: integer `5`, expected a string at line 1 column 77")},
    {"crate-name-bool", kCrate + "true}}",
     request_fault("invalid type: boolean `true`, expected a string at line 1 column 80")},
    {"crate-name-float", kCrate + "1.5}}",
     request_fault("invalid type: floating point `1.5`, expected a string at line 1 column 79")},
    {"crate-name-negative", kCrate + "-12}}",
     request_fault("invalid type: integer `-12`, expected a string at line 1 column 79")},
    {"missing-strategy", R"({"cmd":"compile","spec":{"target":{"kind":"wasm"}}})",
     request_fault("missing field `strategy` at line 1 column 50")},
    {"missing-target", R"({"cmd":"compile","spec":{"strategy":0}})",
     request_fault("missing field `target` at line 1 column 38")},
    {"missing-both", R"({"cmd":"compile","spec":{}})",
     request_fault("missing field `strategy` at line 1 column 26")},
    {"missing-both-with-extras", R"({"cmd":"compile","spec":{"opt_level":"size","x":[1]}})",
     request_fault("missing field `strategy` at line 1 column 52")},
    {"key-error-before-missing", R"({"cmd":"compile","spec":{"target":5}})",
     request_fault(
         "invalid type: integer `5`, expected internally tagged enum Target at line 1 column 35")},
    {"target-twice",
     R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"target":{"kind":"wasm"}}})",
     request_fault("duplicate field `target` at line 1 column 71")},
    {"target-twice-second-empty",
     R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"no_std","mcu":"a"},"target":{}}})",
     request_fault("duplicate field `target` at line 1 column 83")},
    {"strategy-twice",
     R"({"cmd":"compile","spec":{"strategy":0,"strategy":0,"target":{"kind":"wasm"}}})",
     request_fault("duplicate field `strategy` at line 1 column 48")},
    {"opt-level-twice", kLevel + R"("size","opt_level":"size"}})",
     request_fault("duplicate field `opt_level` at line 1 column 93")},
    {"crate-name-twice", kCrate + R"("a","crate_name":"a"}})",
     request_fault("duplicate field `crate_name` at line 1 column 92")},
    {"embed-data-twice", kDataset + R"(null,"embed_data":null}})",
     request_fault("duplicate field `embed_data` at line 1 column 93")},
    {"positional-empty", R"({"cmd":"compile","spec":[]})",
     request_fault(
         "invalid length 0, expected struct CompileSpec with 5 elements at line 1 column 26")},
    {"positional-strategy-only", R"({"cmd":"compile","spec":[0]})",
     request_fault(
         "invalid length 1, expected struct CompileSpec with 5 elements at line 1 column 27")},
    {"positional-six", R"({"cmd":"compile","spec":[0,{"kind":"wasm"},"size",null,"n",1]})",
     request_fault("invalid length 6, expected fewer elements in array at line 1 column 61")},
    {"positional-bad-target", R"({"cmd":"compile","spec":[0,{"kind":"x"}]})",
     request_fault("unknown variant `x`, expected " + kTargets + " at line 1 column 38")},
    {"positional-bad-level", R"({"cmd":"compile","spec":[0,{"kind":"wasm"},7]})",
     request_fault("expected value at line 1 column 44")},
    {"spec-number", R"({"cmd":"compile","spec":5})",
     request_fault("invalid type: integer `5`, expected struct CompileSpec at line 1 column 25")},
    {"spec-string", R"({"cmd":"compile","spec":"x"})",
     request_fault(R"(invalid type: string "x", expected struct CompileSpec at line 1 column 27)")},
    {"spec-null", R"({"cmd":"compile","spec":null})",
     request_fault("invalid type: null, expected struct CompileSpec at line 1 column 28")},
};

// The request body around the compile spec.
const Case kBodyFaults[] = {
    {"missing-spec", R"({"cmd":"compile"})",
     request_fault("missing field `spec` at line 1 column 17")},
    {"missing-spec-with-extras", R"({"cmd":"compile","dry_run":true,"out_dir":null})",
     request_fault("missing field `spec` at line 1 column 47")},
    {"dry-run-null", R"({"cmd":"compile","dry_run":null})",
     request_fault("invalid type: null, expected a boolean at line 1 column 31")},
    {"dry-run-string", R"({"cmd":"compile","dry_run":"yes"})",
     request_fault(R"(invalid type: string "yes", expected a boolean at line 1 column 32)")},
    {"dry-run-number", R"({"cmd":"compile","dry_run":1})",
     request_fault("invalid type: integer `1`, expected a boolean at line 1 column 28")},
    {"out-dir-number", R"({"cmd":"compile","out_dir":5})",
     request_fault("invalid type: integer `5`, expected a string at line 1 column 28")},
    {"out-dir-bool", R"({"cmd":"compile","out_dir":false})",
     request_fault("invalid type: boolean `false`, expected a string at line 1 column 32")},
    {"body-error-before-missing-spec", R"({"cmd":"compile","dry_run":"x","spec":{}})",
     request_fault(R"(invalid type: string "x", expected a boolean at line 1 column 30)")},
    {"spec-error-before-later-body-error", R"({"cmd":"compile","spec":{},"dry_run":"x"})",
     request_fault("missing field `strategy` at line 1 column 26")},
    {"spec-twice", R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"}},"spec":1})",
     request_fault("duplicate field `spec` at line 1 column 70")},
    {"dry-run-twice", R"({"cmd":"compile","dry_run":true,"dry_run":true})",
     request_fault("duplicate field `dry_run` at line 1 column 41")},
    {"out-dir-twice", R"({"cmd":"compile","out_dir":"a","out_dir":"a"})",
     request_fault("duplicate field `out_dir` at line 1 column 40")},
    {"positional-body", R"(["compile"])",
     request_fault(
         R"(invalid type: string "compile", expected struct CompileSpec at line 1 column 10)")},
    {"non-ascii-counts-bytes", R"({"cmd":"compile","é":"ü","spec":{"strategy":0}})",
     request_fault("missing field `target` at line 1 column 48")},
    {"tabs-count-one", "{\"cmd\":\"compile\",\t\"spec\":\t{\"strategy\":0}}",
     request_fault("missing field `target` at line 1 column 40")},
};

// An array or object of the wrong kind is refused before it is read.
const Case kContainerFaults[] = {
    {"dry-run-array", R"({"cmd":"compile","dry_run":[]})",
     request_fault("invalid type: sequence, expected a boolean at line 1 column 27")},
    {"out-dir-map", R"({"cmd":"compile","out_dir":{}})",
     request_fault("invalid type: map, expected a string at line 1 column 27")},
    {"crate-name-array", kCrate + "[1]}}",
     request_fault("invalid type: sequence, expected a string at line 1 column 76")},
    {"out-dir-map-after-blank", R"({"cmd":"compile","out_dir": {}})",
     request_fault("invalid type: map, expected a string at line 1 column 28")},
};

const Case kMultiLine[] = {
    {"unknown-kind-line-3",
     "{\"cmd\":\"compile\",\n \"spec\":{\"strategy\":0,\n  \"target\":{\"kind\":\"x\"}}}",
     request_fault("unknown variant `x`, expected " + kTargets + " at line 3 column 22")},
    {"missing-spec-crlf", "{\r\n\"cmd\":\"compile\"\r\n}",
     request_fault("missing field `spec` at line 3 column 1")},
    {"missing-mcu-pretty",
     "{\n  \"cmd\": \"compile\",\n  \"spec\": {\n    \"strategy\": 0,\n    \"target\": {\"kind\": "
     "\"no_std\"}\n  }\n}\n",
     request_fault("missing field `mcu` at line 5 column 32")},
    {"dry-run-null-after-crlf", "{\"cmd\":\"compile\",\r\n\r\n  \"dry_run\" : null }",
     request_fault("invalid type: null, expected a boolean at line 3 column 18")},
    {"missing-target-pretty",
     "{\n\t\"cmd\": \"compile\",\n\t\"spec\": {\n\t\t\"strategy\": 0\n\t}\n}",
     request_fault("missing field `target` at line 5 column 2")},
    {"crate-name-line-2",
     "{\"cmd\":\"compile\",\"spec\":{\"strategy\":0,\"target\":{\"kind\":\"wasm\"},\n\"crate_"
     "name\":7}}",
     request_fault("invalid type: integer `7`, expected a string at line 2 column 14")},
};

// The build options, placed in front of the compile spec: each member starts at column 18.
//   {"cmd":"compile",
//   ^1              ^17
// The seconds are read whole before they are judged, so an array or a map there is placed at
// its closing bracket or brace.
const Case kBuildOptionFaults[] = {
    {"timeout-zero", R"("build":{"timeout_s":0})",
     request_fault(
         "invalid value: integer `0`, expected a positive number of seconds at line 1 column 39")},
    {"timeout-negative", R"("build":{"timeout_s":-2.5})",
     request_fault("invalid value: floating point `-2.5`, expected a positive number of seconds at "
                   "line 1 column 42")},
    {"timeout-string", R"("build":{"timeout_s":"5"})",
     request_fault(
         R"(invalid type: string "5", expected a positive number of seconds at line 1 column 41)")},
    {"timeout-map", R"("build":{"timeout_s":{}})",
     request_fault("invalid type: map, expected a positive number of seconds at line 1 column 40")},
    {"timeout-map-with-member", R"("build":{"timeout_s":{"a":1}})",
     request_fault("invalid type: map, expected a positive number of seconds at line 1 column 45")},
    {"timeout-array", R"("build":{"timeout_s":[1]})",
     request_fault(
         "invalid type: sequence, expected a positive number of seconds at line 1 column 41")},
    {"build-number", R"("build":5)",
     request_fault("invalid type: integer `5`, expected struct BuildOptions at line 1 column 26")},
    {"timeout-twice", R"("build":{"timeout_s":1,"timeout_s":2})",
     request_fault("duplicate field `timeout_s` at line 1 column 51")},
    {"build-twice", R"("build":{},"build":{})",
     request_fault("duplicate field `build` at line 1 column 35")},
    {"cache-dir-number", R"("build":{"cache_dir":5})",
     request_fault("invalid type: integer `5`, expected a string at line 1 column 39")},
    {"cache-dir-array", R"("build":{"cache_dir":["c"]})",
     request_fault("invalid type: sequence, expected a string at line 1 column 38")},
    {"cache-dir-map", R"("build":{"cache_dir":{}})",
     request_fault("invalid type: map, expected a string at line 1 column 38")},
    {"cache-dir-twice", R"("build":{"cache_dir":"a","cache_dir":"b"})",
     request_fault("duplicate field `cache_dir` at line 1 column 53")},
};

const Case kArtifactBytesFaults[] = {
    {"missing-path", R"({"cmd":"artifact_bytes"})",
     bytes_fault("missing field `path` at line 1 column 24")},
    {"missing-path-with-extras", R"({"cmd":"artifact_bytes","x":"a","p":[1]})",
     bytes_fault("missing field `path` at line 1 column 40")},
    {"path-number", R"({"cmd":"artifact_bytes","path":5})",
     bytes_fault("invalid type: integer `5`, expected a string at line 1 column 32")},
    {"path-null", R"({"cmd":"artifact_bytes","path":null})",
     bytes_fault("invalid type: null, expected a string at line 1 column 35")},
    {"path-bool", R"({"cmd":"artifact_bytes","path":true})",
     bytes_fault("invalid type: boolean `true`, expected a string at line 1 column 35")},
    {"path-float", R"({"cmd":"artifact_bytes","path":0.5})",
     bytes_fault("invalid type: floating point `0.5`, expected a string at line 1 column 34")},
    {"path-twice", R"({"cmd":"artifact_bytes","path":"a","path":"a"})",
     bytes_fault("duplicate field `path` at line 1 column 41")},
    {"path-error-first", R"({"path":7,"cmd":"artifact_bytes"})",
     bytes_fault("invalid type: integer `7`, expected a string at line 1 column 9")},
    {"multi-line", "{\"cmd\":\"artifact_bytes\",\n  \"path\":\n  -3\n}",
     bytes_fault("invalid type: integer `-3`, expected a string at line 3 column 4")},
    {"missing-path-crlf", "{\"cmd\":\"artifact_bytes\"\r\n}",
     bytes_fault("missing field `path` at line 2 column 1")},
};

// These decode; the strategy 0 is then the first thing the pipeline refuses.
const Input kDecodedRequests[] = {
    {"plain", R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"}}})"},
    {"unchecked-mcu",
     R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"no_std","mcu":"not checked here"}}})"},
    {"empty-crate-name",
     R"({"cmd":"compile","spec":{"strategy":0,"target":["wasm"],"crate_name":""}})"},
    {"unknown-keys",
     R"({"cmd":"compile","x":{"a":[1,{"b":null}]},"spec":{"y":[],"strategy":0,"target":{"kind":"wasm","z":{}}}})"},
    {"reordered",
     R"({"spec":{"target":{"kind":"binary"},"strategy":0},"cmd":"compile","dry_run":false,"out_dir":null})"},
    {"positional-full",
     R"({"cmd":"compile","spec":[0,{"kind":"wasm"},"debug",{"kind":"csv","path":"/no/such/file"},"x"]})"},
};

TEST(RequestTable, EnvelopeAnswers) { expect_answers(kEnvelopeAnswers); }

TEST(RequestTable, MalformedEnvelopes) {
  for (const Input& c : kMalformedEnvelopes) EXPECT_EQ(answer(c.text), kEnvelope) << c.name;
}

TEST(RequestTable, TargetFaults) { expect_answers(kTargetFaults); }

TEST(RequestTable, OptLevelFaults) { expect_answers(kLevelFaults); }

TEST(RequestTable, DatasetFaults) { expect_answers(kDatasetFaults); }

TEST(RequestTable, CompileSpecFaults) { expect_answers(kCompileSpecFaults); }

TEST(RequestTable, BodyFaults) { expect_answers(kBodyFaults); }

TEST(RequestTable, ContainersOfTheWrongKind) { expect_answers(kContainerFaults); }

TEST(RequestTable, MultiLinePositions) { expect_answers(kMultiLine); }

// Whether or not the request builds, the options decode with it.
TEST(RequestTable, BuildOptionFaults) {
  for (std::string_view dry_run : {"true", "false"}) {
    SCOPED_TRACE(dry_run);
    expect_answers(kBuildOptionFaults, [dry_run](const std::string& member) {
      return R"({"cmd":"compile",)" + member +
             R"(,"spec":{"target":{"kind":"binary"},"strategy":)" + kMinimal + R"(},"dry_run":)" +
             std::string(dry_run) + "}";
    });
  }
}

TEST(RequestTable, ArtifactBytesFaults) { expect_answers(kArtifactBytesFaults); }

TEST(RequestTable, DecodedRequestsReachThePipeline) {
  const std::string refused = fault("invalid type: integer `0`, expected struct StrategySpec");
  for (const Input& c : kDecodedRequests) EXPECT_EQ(answer(c.text), refused) << c.name;
}

}  // namespace
}  // namespace orvane::tables
