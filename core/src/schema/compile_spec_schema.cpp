#include "schema/compile_spec_schema.hpp"

#include "json/writer.hpp"

namespace orvane::schema {

Target Codec<Target>::from_wire(TargetWire w) {
  Target t;
  t.kind = TargetKind(w.v.index());
  if (auto* n = std::get_if<NoStdTarget>(&w.v)) t.mcu = std::move(n->mcu);
  return t;
}

namespace {
Decoded<Target> target_of(Decoded<TargetWire> w) {
  if (!w) return std::unexpected(std::move(w.error()));
  return Codec<Target>::from_wire(std::move(*w));
}
Decoded<DatasetRef> dataset_of(Decoded<DatasetWire> w) {
  if (!w) return std::unexpected(std::move(w.error()));
  return std::move(w->v);
}
}  // namespace

Decoded<Target> Codec<Target>::from_value(json::Value v) {
  return target_of(Codec<TargetWire>::from_value(v));
}

Decoded<DatasetRef> Codec<DatasetRef>::from_value(json::Value v) {
  return dataset_of(Codec<DatasetWire>::from_value(v));
}

void append_target(std::string& out, const Target& target) {
  out += "{\"kind\":";
  json::append_string(out, target_kind_name(target.kind));
  if (target.kind == TargetKind::NoStd) {
    out += ",\"mcu\":";
    json::append_string(out, target.mcu);
  }
  out += '}';
}

namespace {

void append_dataset(std::string& out, const DatasetRef& data, bool canonical,
                    std::string_view candles_text,
                    const std::function<void(std::string_view)>* emit) {
  if (const auto* csv = std::get_if<CsvData>(&data)) {
    out += "{\"kind\":\"csv\",\"path\":";
    json::append_string(out, csv->path);
    out += '}';
    return;
  }
  const auto& candles = std::get<InlineData>(data).candles;
  auto write_candles = [&] {
    if (emit) {
      (*emit)(out);
      out.clear();
      (*emit)(candles_text);
      return;
    }
    json::write_compact(out, candles.value);
  };
  if (canonical) {
    out += "{\"candles\":";
    write_candles();
    out += ",\"kind\":\"inline\"}";
  } else {
    out += "{\"kind\":\"inline\",\"candles\":";
    write_candles();
    out += '}';
  }
}

}  // namespace

std::string write_compile_spec(const CompileSpec& spec) {
  std::string out = "{\"strategy\":";
  json::write_compact(out, spec.strategy);
  out += ",\"target\":";
  append_target(out, spec.target);
  out += ",\"opt_level\":";
  json::append_string(out, opt_level_name(spec.opt_level));
  if (spec.embed_data) {
    out += ",\"embed_data\":";
    append_dataset(out, *spec.embed_data, false, {}, nullptr);
  }
  if (spec.crate_name) {
    out += ",\"crate_name\":";
    json::append_string(out, *spec.crate_name);
  }
  out += '}';
  return out;
}

void write_compile_spec_canonical(const CompileSpec& spec, std::string_view strategy_text,
                                  std::string_view candles_text,
                                  const std::function<void(std::string_view)>& emit) {
  // Keys in byte order: crate_name, embed_data, opt_level, strategy, target.
  std::string out = "{";
  if (spec.crate_name) {
    out += "\"crate_name\":";
    json::append_string(out, *spec.crate_name);
    out += ',';
  }
  if (spec.embed_data) {
    out += "\"embed_data\":";
    append_dataset(out, *spec.embed_data, true, candles_text, &emit);
    out += ',';
  }
  out += "\"opt_level\":";
  json::append_string(out, opt_level_name(spec.opt_level));
  out += ",\"strategy\":";
  emit(out);
  out.clear();
  emit(strategy_text);
  out += ",\"target\":";
  append_target(out, spec.target);
  out += '}';
  emit(out);
}

std::pair<std::string, std::string> canonical_compile_spec_around_candles(
    const CompileSpec& spec, std::string_view strategy_text) {
  // The candle text is handed to `emit` as a piece of its own: a marker view finds it.
  static constexpr char kMarker[] = "";
  const std::string_view marker(kMarker, 0);
  std::pair<std::string, std::string> parts;
  bool after = false;
  write_compile_spec_canonical(spec, strategy_text, marker, [&](std::string_view piece) {
    if (piece.data() == marker.data()) {
      after = true;
      return;
    }
    (after ? parts.second : parts.first) += piece;
  });
  return parts;
}

}  // namespace orvane::schema
