// Request texts and the exact answer to each: the envelope, and the faults of the compile
// request's and the artifact_bytes request's own text. A request fault ends with its place,
// " at line L column C": lines and columns count from 1, columns in bytes. A missing field
// sits at the closing brace of the object that lacks it, a value of the wrong type at its
// last byte, an unknown variant at the last byte of its name, a repeated key at the last
// byte of its second occurrence, a fault among a tagged value's own fields (a repeated one
// included) at the closing brace or bracket of that value, a token that cannot stand where an
// enumeration must at its first byte, and an array or object of the wrong kind at the byte
// before it.
//
// The cases the Python suite runs as well live in tests/cases/requests.jsonl
// (case_files_test.cpp); these are the C++ suite's own.
#include <gtest/gtest.h>

#include <string>

#include "schema_tables.hpp"

namespace orvane::tables {
namespace {

// The target's value starts at column 48, the optimisation level's and the dataset's at 77.
const std::string kTarget = R"({"cmd":"compile","spec":{"strategy":0,"target":)";
const std::string kLevel =
    R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"opt_level":)";
const std::string kDataset =
    R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"wasm"},"embed_data":)";

// Repeated and surplus members of the compile spec and of its tagged values and enumerations.
const Case kCompileSpecFaults[] = {
    // The tag is found while the value is read; its other fields are decoded once it is read.
    {"mcu-twice", kTarget + R"({"kind":"no_std","mcu":"a","mcu":"b"}}})",
     request_fault("duplicate field `mcu` at line 1 column 84")},
    {"positional-no-std-long", kTarget + R"(["no_std","thumbv6m-none-eabi",1]}})",
     request_fault("invalid length 2, expected fewer elements in array at line 1 column 80")},
    {"map-form-two-keys", kLevel + R"({"size":null,"size":null}}})",
     request_fault("expected value at line 1 column 87")},
    {"empty-map", kLevel + "{}}}", request_fault("expected value at line 1 column 77")},
    {"path-twice", kDataset + R"({"kind":"csv","path":"a","path":"b"}}})",
     request_fault("duplicate field `path` at line 1 column 112")},
    {"positional-csv-long", kDataset + R"(["csv","a",2]}})",
     request_fault("invalid length 2, expected fewer elements in array at line 1 column 89")},
    {"target-twice-second-empty",
     R"({"cmd":"compile","spec":{"strategy":0,"target":{"kind":"no_std","mcu":"a"},"target":{}}})",
     request_fault("duplicate field `target` at line 1 column 83")},
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

TEST(RequestTable, CompileSpecFaults) { expect_answers(kCompileSpecFaults); }

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

}  // namespace
}  // namespace orvane::tables
