#pragma once
// Decoding and writing the compile spec.
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "schema/compile_spec.hpp"
#include "schema/decode.hpp"

namespace orvane::schema {

// Tagged forms as decoded; converted to Target and DatasetRef.
struct WasmTarget {};
struct BinaryTarget {};
struct NoStdTarget { std::string mcu; };
struct TargetWire { std::variant<WasmTarget, BinaryTarget, NoStdTarget> v; };
struct DatasetWire { std::variant<CsvData, InlineData> v; };

template <> struct RecordDesc<NoStdTarget> {
  static constexpr std::string_view name = "Target::NoStd";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("mcu", &NoStdTarget::mcu)};
};
template <> struct TaggedDesc<TargetWire> {
  static constexpr std::string_view name = "Target";
  static constexpr std::string_view tag = "kind";
  static constexpr std::array<std::string_view, 3> names{"wasm", "binary", "no_std"};
  using Variant = decltype(TargetWire::v);
};
template <> struct Codec<TargetWire> : TaggedCodec<TargetWire> {};

template <> struct RecordDesc<CsvData> {
  static constexpr std::string_view name = "DatasetRef::Csv";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("path", &CsvData::path)};
};
template <> struct RecordDesc<InlineData> {
  static constexpr std::string_view name = "DatasetRef::Inline";
  static constexpr bool is_variant = true;
  static constexpr auto fields = std::tuple{field("candles", &InlineData::candles)};
};
template <> struct TaggedDesc<DatasetWire> {
  static constexpr std::string_view name = "DatasetRef";
  static constexpr std::string_view tag = "kind";
  static constexpr std::array<std::string_view, 2> names{"csv", "inline"};
  using Variant = decltype(DatasetWire::v);
};
template <> struct Codec<DatasetWire> : TaggedCodec<DatasetWire> {};

template <> struct Codec<Target> {
  static Target from_wire(TargetWire w);
  static Decoded<Target> from_value(json::Value v);
};
template <> struct Codec<DatasetRef> {
  static Decoded<DatasetRef> from_value(json::Value v);
};

template <> struct EnumDesc<OptLevel> {
  static constexpr std::array<std::string_view, 3> names{"debug", "release", "size"};
};
template <> struct Codec<OptLevel> : EnumCodec<OptLevel> {};

template <> struct RecordDesc<CompileSpec> {
  static constexpr std::string_view name = "CompileSpec";
  static constexpr bool is_variant = false;
  static constexpr auto fields = std::tuple{
      field("strategy", &CompileSpec::strategy),
      field("target", &CompileSpec::target),
      field("opt_level", &CompileSpec::opt_level, Presence::Default),
      field("embed_data", &CompileSpec::embed_data, Presence::Optional),
      field("crate_name", &CompileSpec::crate_name, Presence::Optional)};
};
template <> struct Codec<CompileSpec> : RecordCodec<CompileSpec> {};

template <> inline constexpr bool kFromRequestText<NoStdTarget> = true;
template <> inline constexpr bool kFromRequestText<TargetWire> = true;
template <> inline constexpr bool kFromRequestText<CsvData> = true;
template <> inline constexpr bool kFromRequestText<InlineData> = true;
template <> inline constexpr bool kFromRequestText<DatasetWire> = true;
template <> inline constexpr bool kFromRequestText<CompileSpec> = true;
template <> inline constexpr bool kFromRequestText<OptLevel> = true;

// The written form: an object with strategy, target, opt_level, then embed_data and
// crate_name when set, as compact text in that member order.
std::string write_compile_spec(const CompileSpec& spec);

// The canonical text of the written form, handed to `emit` piece by piece. The caller passes
// the canonical texts of the strategy and of the inline candle array, which it already holds,
// so that large texts are neither built nor copied twice.
void write_compile_spec_canonical(const CompileSpec& spec, std::string_view strategy_text,
                                  std::string_view candles_text,
                                  const std::function<void(std::string_view)>& emit);

// The same text in two parts, before and after the inline candle text (for a spec with
// inline data), for a caller that digests the candle text as it writes it.
std::pair<std::string, std::string> canonical_compile_spec_around_candles(
    const CompileSpec& spec, std::string_view strategy_text);

// The JSON form of a target: {"kind":...} with "mcu" after it for no_std.
void append_target(std::string& out, const Target& target);

}  // namespace orvane::schema
