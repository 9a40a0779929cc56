#pragma once
// The command envelope and the request bodies, decoded from the whole command text.
#include <cstdint>
#include <optional>
#include <string>

#include "schema/compile_spec_schema.hpp"
#include "schema/decode.hpp"

namespace orvane::protocol {

struct Envelope {
  std::string cmd;
};

// A length of time in seconds that must be positive.
struct Seconds {
  double value = 0;
};

// A count of parallel jobs, at least one.
struct Jobs {
  std::uint32_t value = 1;
};

// How a build runs. Not part of the compile spec: it changes no digest.
struct BuildOptions {
  std::optional<Seconds> timeout_s;  // limits the whole build: cargo and wasm-bindgen together
  std::optional<std::string> cache_dir;  // compiled dependencies shared between builds
  std::optional<Jobs> jobs;  // cargo's parallel jobs for this build only (CARGO_BUILD_JOBS)
  std::optional<std::string> store;  // built artifacts shared by key: a folder or a file:// URL
};

struct CompileReq {
  schema::CompileSpec spec;
  bool dry_run = false;
  std::optional<std::string> out_dir;
  std::optional<BuildOptions> build;
};

struct BytesReq {
  std::string path;
};

}  // namespace orvane::protocol

namespace orvane::schema {

template <> struct RecordDesc<protocol::Envelope> {
  static constexpr std::string_view name = "Envelope";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{field("cmd", &protocol::Envelope::cmd)};
};
template <> struct Codec<protocol::Envelope> : RecordCodec<protocol::Envelope> {};

template <> struct Codec<protocol::Seconds> {
  static Decoded<protocol::Seconds> from_value(json::Value v);
};

template <> struct Codec<protocol::Jobs> {
  static Decoded<protocol::Jobs> from_value(json::Value v);
};

template <> struct RecordDesc<protocol::BuildOptions> {
  static constexpr std::string_view name = "BuildOptions";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("timeout_s", &protocol::BuildOptions::timeout_s, Presence::Optional),
      field("cache_dir", &protocol::BuildOptions::cache_dir, Presence::Optional),
      field("jobs", &protocol::BuildOptions::jobs, Presence::Optional),
      field("store", &protocol::BuildOptions::store, Presence::Optional)};
};
template <> struct Codec<protocol::BuildOptions> : RecordCodec<protocol::BuildOptions> {};

template <> struct RecordDesc<protocol::CompileReq> {
  static constexpr std::string_view name = "CompileReq";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("spec", &protocol::CompileReq::spec),
      field("dry_run", &protocol::CompileReq::dry_run, Presence::Default),
      field("out_dir", &protocol::CompileReq::out_dir, Presence::Optional),
      field("build", &protocol::CompileReq::build, Presence::Optional)};
};
template <> struct Codec<protocol::CompileReq> : RecordCodec<protocol::CompileReq> {};

template <> struct RecordDesc<protocol::BytesReq> {
  static constexpr std::string_view name = "BytesReq";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{field("path", &protocol::BytesReq::path)};
};
template <> struct Codec<protocol::BytesReq> : RecordCodec<protocol::BytesReq> {};

template <> inline constexpr bool kFromRequestText<protocol::Envelope> = true;
template <> inline constexpr bool kFromRequestText<protocol::CompileReq> = true;
template <> inline constexpr bool kFromRequestText<protocol::BytesReq> = true;
template <> inline constexpr bool kFromRequestText<protocol::BuildOptions> = true;

}  // namespace orvane::schema
