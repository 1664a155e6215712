// Measurement batch encode and decode: the message layer (records, field
// tables, two-pass decode and copy) against the same nanopb structures driven
// directly with callbacks over std::vector and std::string.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <vector>

#include "wire/measurement/measurement.h"

namespace {

using namespace wire;

constexpr int kBundles = 50;
constexpr int kEvents = 20;
constexpr int kParams = 5;

// ---- the plain model of the baseline

struct RawParam {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
  std::optional<double> real;
};
struct RawEvent {
  std::string name;
  std::int64_t time = 0;
  std::int64_t previous_time = 0;
  std::vector<RawParam> params;
};
struct RawBundle {
  std::int32_t protocol = 0, time_zone = 0, sequence = 0;
  std::int64_t upload = 0, start = 0, end = 0, previous_start = 0, previous_end = 0, library = 0;
  std::string platform, os_version, model, language, app_id, app_version, instance_id;
  std::vector<RawEvent> events;
};
struct RawBatch {
  std::vector<RawBundle> bundles;
};

RawBatch make_raw_batch() {
  RawBatch batch;
  for (int b = 0; b < kBundles; ++b) {
    RawBundle bundle;
    bundle.protocol = 1;
    bundle.time_zone = 60;
    bundle.sequence = b;
    bundle.upload = 1700000000000 + b;
    bundle.start = 1699999000000 + b;
    bundle.end = 1699999900000 + b;
    bundle.previous_start = 1699998000000 + b;
    bundle.previous_end = 1699998900000 + b;
    bundle.library = 40100;
    bundle.platform = "ios";
    bundle.os_version = "12.4.1";
    bundle.model = "iPhone10,3";
    bundle.language = "de-ch";
    bundle.app_id = "ch.example.intranet";
    bundle.app_version = "2.7.0";
    bundle.instance_id = "5E2B6A7C9D1F4E3A8B0C1D2E3F4A5B6C";
    for (int e = 0; e < kEvents; ++e) {
      RawEvent event;
      event.name = e % 2 ? "screen_view" : "user_engagement";
      event.time = bundle.start + e * 1000;
      event.previous_time = event.time - 5000;
      for (int p = 0; p < kParams; ++p) {
        RawParam param;
        param.name = "_p" + std::to_string(p);
        if (p % 3 == 0) param.text = "ViewController_" + std::to_string(e);
        if (p % 3 == 1) param.integer = 1000 + e * p;
        if (p % 3 == 2) param.real = 0.5 * (e + p);
        event.params.push_back(std::move(param));
      }
      bundle.events.push_back(std::move(event));
    }
    batch.bundles.push_back(std::move(bundle));
  }
  return batch;
}

// ---- the same data through the message layer, filled as the engine fills it

std::shared_ptr<RIDUZMeasurementBatch> make_batch(const RawBatch& raw) {
  Array bundles;
  for (const RawBundle& rb : raw.bundles) {
    auto bundle = RIDUZMeasurementBundle::make();
    NANOSetInt32(bundle.get(), 0, rb.protocol);
    NANOSetInt64(bundle.get(), 3, rb.upload);
    NANOSetInt64(bundle.get(), 4, rb.start);
    NANOSetInt64(bundle.get(), 5, rb.end);
    NANOSetInt64(bundle.get(), 6, rb.previous_start);
    NANOSetInt64(bundle.get(), 7, rb.previous_end);
    NANOSetString(bundle.get(), 8, rb.platform);
    NANOSetString(bundle.get(), 9, rb.os_version);
    NANOSetString(bundle.get(), 10, rb.model);
    NANOSetString(bundle.get(), 11, rb.language);
    NANOSetInt32(bundle.get(), 12, rb.time_zone);
    NANOSetString(bundle.get(), 14, rb.app_id);
    NANOSetString(bundle.get(), 16, rb.app_version);
    NANOSetInt64(bundle.get(), 17, rb.library);
    NANOSetString(bundle.get(), 22, rb.instance_id);
    NANOSetInt32(bundle.get(), 24, rb.sequence);
    Array events;
    for (const RawEvent& re : rb.events) {
      auto event = RIDUZEvent::make();
      NANOSetString(event.get(), 1, re.name);
      NANOSetInt64(event.get(), 2, re.time);
      NANOSetInt64(event.get(), 3, re.previous_time);
      Array params;
      for (const RawParam& rp : re.params) {
        auto param = RIDUZEventParam::make();
        NANOSetString(param.get(), 0, rp.name);
        if (rp.text) NANOSetString(param.get(), 1, *rp.text);
        if (rp.integer) NANOSetInt64(param.get(), 2, *rp.integer);
        if (rp.real) NANOSetDouble(param.get(), 4, *rp.real);
        params.push_back(Value::object(param));
      }
      NANOSetArray(event.get(), 0, params);
      events.push_back(Value::object(event));
    }
    NANOSetArray(bundle.get(), 1, events);
    bundles.push_back(Value::object(bundle));
  }
  auto batch = RIDUZMeasurementBatch::make();
  NANOSetArray(batch.get(), 0, bundles);
  return batch;
}

// ---- baseline callbacks

bool encode_text(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  auto* text = static_cast<const std::string*>(*arg);
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
}

void set_text(pb_callback_t& callback, const std::string& text) {
  callback.funcs.encode = encode_text;
  callback.arg = const_cast<std::string*>(&text);
}

bool encode_params(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  for (const RawParam& p : *static_cast<const std::vector<RawParam>*>(*arg)) {
    wire_measurement_EventParam s = wire_measurement_EventParam_init_zero;
    set_text(s.name, p.name);
    if (p.text) set_text(s.string_value, *p.text);
    if (p.integer) {
      s.has_int_value = true;
      s.int_value = *p.integer;
    }
    if (p.real) {
      s.has_double_value = true;
      s.double_value = *p.real;
    }
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, wire_measurement_EventParam_fields, &s))
      return false;
  }
  return true;
}

bool encode_events(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  for (const RawEvent& e : *static_cast<const std::vector<RawEvent>*>(*arg)) {
    wire_measurement_Event s = wire_measurement_Event_init_zero;
    set_text(s.name, e.name);
    s.has_timestamp_millis = true;
    s.timestamp_millis = e.time;
    s.has_previous_timestamp_millis = true;
    s.previous_timestamp_millis = e.previous_time;
    s.params.funcs.encode = encode_params;
    s.params.arg = const_cast<std::vector<RawParam>*>(&e.params);
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, wire_measurement_Event_fields, &s))
      return false;
  }
  return true;
}

bool encode_bundles(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  for (const RawBundle& b : *static_cast<const std::vector<RawBundle>*>(*arg)) {
    wire_measurement_MeasurementBundle s = wire_measurement_MeasurementBundle_init_zero;
    s.has_protocol_version = true;
    s.protocol_version = b.protocol;
    s.has_upload_timestamp_millis = true;
    s.upload_timestamp_millis = b.upload;
    s.has_start_timestamp_millis = true;
    s.start_timestamp_millis = b.start;
    s.has_end_timestamp_millis = true;
    s.end_timestamp_millis = b.end;
    s.has_previous_bundle_start_timestamp_millis = true;
    s.previous_bundle_start_timestamp_millis = b.previous_start;
    s.has_previous_bundle_end_timestamp_millis = true;
    s.previous_bundle_end_timestamp_millis = b.previous_end;
    set_text(s.platform, b.platform);
    set_text(s.os_version, b.os_version);
    set_text(s.device_model, b.model);
    set_text(s.user_default_language, b.language);
    s.has_time_zone_offset_minutes = true;
    s.time_zone_offset_minutes = b.time_zone;
    set_text(s.app_id, b.app_id);
    set_text(s.app_version, b.app_version);
    s.has_library_version_at_creation = true;
    s.library_version_at_creation = b.library;
    set_text(s.app_instance_id, b.instance_id);
    s.has_bundle_sequential_index = true;
    s.bundle_sequential_index = b.sequence;
    s.events.funcs.encode = encode_events;
    s.events.arg = const_cast<std::vector<RawEvent>*>(&b.events);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, wire_measurement_MeasurementBundle_fields, &s))
      return false;
  }
  return true;
}

Bytes raw_encode(const RawBatch& batch) {
  wire_measurement_MeasurementBatch s = wire_measurement_MeasurementBatch_init_zero;
  s.bundles.funcs.encode = encode_bundles;
  s.bundles.arg = const_cast<std::vector<RawBundle>*>(&batch.bundles);
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  pb_encode(&sizing, wire_measurement_MeasurementBatch_fields, &s);
  Bytes out(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
  if (!pb_encode(&stream, wire_measurement_MeasurementBatch_fields, &s)) out.clear();
  return out;
}

bool decode_text(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* text = static_cast<std::string*>(*arg);
  text->resize(stream->bytes_left);
  return pb_read(stream, reinterpret_cast<pb_byte_t*>(text->data()), stream->bytes_left);
}

bool decode_optional_text(pb_istream_t* stream, const pb_field_iter_t* field, void** arg) {
  auto* text = static_cast<std::optional<std::string>*>(*arg);
  text->emplace();
  void* inner = &**text;
  return decode_text(stream, field, &inner);
}

void get_text(pb_callback_t& callback, std::string& text) {
  callback.funcs.decode = decode_text;
  callback.arg = &text;
}

bool decode_params(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto& params = *static_cast<std::vector<RawParam>*>(*arg);
  RawParam& p = params.emplace_back();
  wire_measurement_EventParam s = wire_measurement_EventParam_init_zero;
  get_text(s.name, p.name);
  s.string_value.funcs.decode = decode_optional_text;
  s.string_value.arg = &p.text;
  if (!pb_decode(stream, wire_measurement_EventParam_fields, &s)) return false;
  if (s.has_int_value) p.integer = s.int_value;
  if (s.has_double_value) p.real = s.double_value;
  return true;
}

bool decode_events(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto& events = *static_cast<std::vector<RawEvent>*>(*arg);
  RawEvent& e = events.emplace_back();
  wire_measurement_Event s = wire_measurement_Event_init_zero;
  get_text(s.name, e.name);
  s.params.funcs.decode = decode_params;
  s.params.arg = &e.params;
  if (!pb_decode(stream, wire_measurement_Event_fields, &s)) return false;
  e.time = s.timestamp_millis;
  e.previous_time = s.previous_timestamp_millis;
  return true;
}

bool decode_bundles(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto& bundles = *static_cast<std::vector<RawBundle>*>(*arg);
  RawBundle& b = bundles.emplace_back();
  wire_measurement_MeasurementBundle s = wire_measurement_MeasurementBundle_init_zero;
  get_text(s.platform, b.platform);
  get_text(s.os_version, b.os_version);
  get_text(s.device_model, b.model);
  get_text(s.user_default_language, b.language);
  get_text(s.app_id, b.app_id);
  get_text(s.app_version, b.app_version);
  get_text(s.app_instance_id, b.instance_id);
  s.events.funcs.decode = decode_events;
  s.events.arg = &b.events;
  if (!pb_decode(stream, wire_measurement_MeasurementBundle_fields, &s)) return false;
  b.protocol = s.protocol_version;
  b.upload = s.upload_timestamp_millis;
  b.start = s.start_timestamp_millis;
  b.end = s.end_timestamp_millis;
  b.previous_start = s.previous_bundle_start_timestamp_millis;
  b.previous_end = s.previous_bundle_end_timestamp_millis;
  b.time_zone = s.time_zone_offset_minutes;
  b.library = s.library_version_at_creation;
  b.sequence = s.bundle_sequential_index;
  return true;
}

std::optional<RawBatch> raw_decode(const Bytes& bytes) {
  RawBatch batch;
  wire_measurement_MeasurementBatch s = wire_measurement_MeasurementBatch_init_zero;
  s.bundles.funcs.decode = decode_bundles;
  s.bundles.arg = &batch.bundles;
  pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  if (!pb_decode(&stream, wire_measurement_MeasurementBatch_fields, &s)) return std::nullopt;
  return batch;
}

const RawBatch& raw_batch() {
  static const RawBatch batch = make_raw_batch();
  return batch;
}

void encode_ours(benchmark::State& state) {
  auto batch = make_batch(raw_batch());
  std::size_t size = 0;
  for (auto _ : state) {
    auto bytes = batch->protoBuffer();
    size = bytes->size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void encode_raw(benchmark::State& state) {
  const RawBatch& batch = raw_batch();
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes bytes = raw_encode(batch);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void decode_ours(benchmark::State& state) {
  const Bytes bytes = *make_batch(raw_batch())->protoBuffer();
  for (auto _ : state) {
    auto batch = RIDUZMeasurementBatch::initWithBuffer(bytes);
    if (!batch) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(batch);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void decode_raw(benchmark::State& state) {
  const Bytes bytes = *make_batch(raw_batch())->protoBuffer();
  if (raw_encode(raw_batch()) != bytes) state.SkipWithError("baseline writes other bytes");
  for (auto _ : state) {
    auto batch = raw_decode(bytes);
    if (!batch) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(batch);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(encode_ours)->Name("wire_encode/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(encode_raw)->Name("wire_encode/raw")->Unit(benchmark::kMicrosecond);
BENCHMARK(decode_ours)->Name("wire_decode/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(decode_raw)->Name("wire_decode/raw")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
