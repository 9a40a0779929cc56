#pragma once
// The command envelope and the request bodies, decoded from the whole command text.
#include <optional>
#include <string>

#include "spec/compile_spec_schema.hpp"
#include "spec/decode.hpp"

namespace orvane::protocol {

struct Envelope {
  std::string cmd;
};

struct CompileReq {
  spec::CompileSpec spec;
  bool dry_run = false;
  std::optional<std::string> out_dir;
};

struct BytesReq {
  std::string path;
};

}  // namespace orvane::protocol

namespace orvane::spec {

template <> struct RecordDesc<protocol::Envelope> {
  static constexpr std::string_view name = "Envelope";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{field("cmd", &protocol::Envelope::cmd)};
};
template <> struct Codec<protocol::Envelope> : RecordCodec<protocol::Envelope> {};

template <> struct RecordDesc<protocol::CompileReq> {
  static constexpr std::string_view name = "CompileReq";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("spec", &protocol::CompileReq::spec),
      field("dry_run", &protocol::CompileReq::dry_run, Presence::Default),
      field("out_dir", &protocol::CompileReq::out_dir, Presence::Optional)};
};
template <> struct Codec<protocol::CompileReq> : RecordCodec<protocol::CompileReq> {};

template <> struct RecordDesc<protocol::BytesReq> {
  static constexpr std::string_view name = "BytesReq";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{field("path", &protocol::BytesReq::path)};
};
template <> struct Codec<protocol::BytesReq> : RecordCodec<protocol::BytesReq> {};

template <> inline constexpr bool kStrictDuplicates<protocol::Envelope> = true;
template <> inline constexpr bool kStrictDuplicates<protocol::CompileReq> = true;
template <> inline constexpr bool kStrictDuplicates<protocol::BytesReq> = true;

}  // namespace orvane::spec
