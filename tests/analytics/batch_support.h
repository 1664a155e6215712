#pragma once
// Reading what the analytics collector recorded: a POST "/a" body (already
// gunzipped by the fake) decoded with the wire layer into plain structs that
// tests compare directly. Header only; link wire::wire.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/measurement/measurement.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {

// One parameter of an event, or one user attribute: the name and whichever value it carries.
struct DecodedParam {
  std::string name;
  std::optional<std::string> string_value;
  std::optional<std::int64_t> int_value;
  std::optional<double> double_value;
};

struct DecodedEvent {
  std::string name;
  std::int64_t timestamp_millis = 0;
  std::vector<DecodedParam> params;

  const DecodedParam* param(std::string_view param_name) const {
    for (const auto& p : params)
      if (p.name == param_name) return &p;
    return nullptr;
  }
  std::optional<std::string> string_param(std::string_view param_name) const {
    const auto* p = param(param_name);
    return p ? p->string_value : std::nullopt;
  }
  std::optional<std::int64_t> int_param(std::string_view param_name) const {
    const auto* p = param(param_name);
    return p ? p->int_value : std::nullopt;
  }
};

struct DecodedBundle {
  std::shared_ptr<wire::RIDUZMeasurementBundle> message;  // for fields not copied below
  std::vector<DecodedEvent> events;
  std::vector<DecodedParam> user_attributes;  // name and value of each attribute

  // Fields by wire tag (the runtime indexes differ; see wire/measurement/measurement.h).
  std::int32_t protocol_version() const { return wire::NANOGetInt32(message.get(), 0); }              // tag 1
  std::int64_t upload_timestamp_millis() const { return wire::NANOGetInt64(message.get(), 3); }       // tag 4
  std::string platform() const { return text(8); }                                                   // tag 8
  std::string app_id() const { return text(14); }                                                    // tag 14
  std::int64_t library_version_at_creation() const { return wire::NANOGetInt64(message.get(), 17); }  // tag 17
  std::int64_t library_version_at_upload() const { return wire::NANOGetInt64(message.get(), 18); }    // tag 18
  std::string resettable_device_id() const { return text(19); }                                      // tag 19
  std::string app_instance_id() const { return text(22); }                                           // tag 21
  std::int32_t bundle_sequential_index() const { return wire::NANOGetInt32(message.get(), 24); }      // tag 23
  bool has_upload_retry_count() const { return wire::NANOHasField(message.get(), 35); }              // tag 39
  std::int32_t upload_retry_count() const { return wire::NANOGetInt32(message.get(), 35); }           // tag 39

  const DecodedEvent* event(std::string_view event_name) const {
    for (const auto& e : events)
      if (e.name == event_name) return &e;
    return nullptr;
  }
  const DecodedParam* user_attribute(std::string_view attribute_name) const {
    for (const auto& a : user_attributes)
      if (a.name == attribute_name) return &a;
    return nullptr;
  }

 private:
  std::string text(std::int32_t index) const { return wire::NANOGetString(message.get(), index).value_or(""); }
};

namespace batch_detail {

template <class M>
std::vector<std::shared_ptr<M>> repeated(const wire::NANOMessageBase* message, std::int32_t index) {
  std::vector<std::shared_ptr<M>> items;
  if (const auto array = wire::NANOGetArray(message, index, &M::type())) {
    for (const auto& value : *array)
      if (auto item = value.template object<M>()) items.push_back(std::move(item));
  }
  return items;
}

// Name at `name_index`, then string, int, float and double values from `first_value`.
inline DecodedParam read_param(const wire::NANOMessageBase* m, std::int32_t name_index, std::int32_t first_value) {
  DecodedParam p;
  p.name = wire::NANOGetString(m, name_index).value_or("");
  if (wire::NANOHasField(m, first_value)) p.string_value = wire::NANOGetString(m, first_value);
  if (wire::NANOHasField(m, first_value + 1)) p.int_value = wire::NANOGetInt64(m, first_value + 1);
  if (wire::NANOHasField(m, first_value + 2)) p.double_value = wire::NANOGetDouble(m, first_value + 2);
  if (wire::NANOHasField(m, first_value + 3)) p.double_value = wire::NANOGetDouble(m, first_value + 3);
  return p;
}

}  // namespace batch_detail

// The bundles of one batch in order; nullopt when the bytes do not decode.
inline std::optional<std::vector<DecodedBundle>> decode_batch(std::string_view body) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
  const auto batch = wire::RIDUZMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(bytes, body.size()));
  if (!batch) return std::nullopt;
  std::vector<DecodedBundle> bundles;
  for (auto& message : batch_detail::repeated<wire::RIDUZMeasurementBundle>(batch.get(), 0)) {
    DecodedBundle bundle;
    for (const auto& event : batch_detail::repeated<wire::RIDUZEvent>(message.get(), 1)) {
      DecodedEvent e;
      e.name = wire::NANOGetString(event.get(), 1).value_or("");
      e.timestamp_millis = wire::NANOGetInt64(event.get(), 2);
      for (const auto& param : batch_detail::repeated<wire::RIDUZEventParam>(event.get(), 0))
        e.params.push_back(batch_detail::read_param(param.get(), 0, 1));
      bundle.events.push_back(std::move(e));
    }
    for (const auto& attribute : batch_detail::repeated<wire::RIDUZUserAttribute>(message.get(), 2))
      bundle.user_attributes.push_back(batch_detail::read_param(attribute.get(), 1, 2));
    bundle.message = std::move(message);
    bundles.push_back(std::move(bundle));
  }
  return bundles;
}

// Every event of every decodable body, in upload order.
template <class Requests>
std::vector<DecodedEvent> uploaded_events(const Requests& uploads) {
  std::vector<DecodedEvent> events;
  for (const auto& request : uploads) {
    if (const auto bundles = decode_batch(request.body))
      for (const auto& bundle : *bundles) events.insert(events.end(), bundle.events.begin(), bundle.events.end());
  }
  return events;
}

}  // namespace analytics_test
