#pragma once
// Shared pieces of the log uploader and diagnostics tests: log files split
// into their length-prefixed records, and a posted log request decoded
// through the wire layer into its events and diagnostics records, and the
// check of its client info.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "wire/diagnostics/diagnostics.h"

namespace core_log_test {

using platform::foundation::Bytes;

// Field indexes the tests read.
inline constexpr std::int32_t kEventTime = 0, kEventUptime = 1, kEventSourceExtension = 8;
inline constexpr std::int32_t kRequestTime = 0, kRequestUptime = 1, kRequestClientInfo = 2, kRequestLogSource = 3,
                              kRequestCookie = 5, kRequestElements = 7;
inline constexpr std::int32_t kClientType = 0, kClientIosInfo = 3;
inline constexpr std::int32_t kIosInstallIdentifier = 1, kIosOSVersion = 3, kIosApplicationBuild = 4;

// The records of a log file's bytes; nullopt when the last one is torn or a
// length runs past five bytes.
inline std::optional<std::vector<Bytes>> split_records(const Bytes& bytes) {
  std::vector<Bytes> records;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::uint64_t length = 0;
    int shift = 0;
    for (;;) {
      if (at >= bytes.size() || shift > 28) return std::nullopt;
      const std::uint8_t b = bytes[at++];
      length |= static_cast<std::uint64_t>(b & 0x7f) << shift;
      shift += 7;
      if ((b & 0x80) == 0) break;
    }
    if (length > bytes.size() - at) return std::nullopt;
    records.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  return records;
}

// The decoded events of a log file's bytes (empty when a record is torn or does not decode).
inline std::vector<std::shared_ptr<wire::CLRPBLogEvent>> events_of(const Bytes& bytes) {
  std::vector<std::shared_ptr<wire::CLRPBLogEvent>> events;
  auto records = split_records(bytes);
  if (!records) return {};
  for (const Bytes& record : *records) {
    auto event = wire::CLRPBLogEvent::initWithBuffer(record);
    if (!event) return {};
    events.push_back(event);
  }
  return events;
}

// A singular bytes field (the runtime offers no getter for it): nullopt when absent.
inline std::optional<Bytes> bytes_field(const wire::NANOMessageBase& message, std::int32_t index) {
  const auto* record = static_cast<const wire::NANOByteString*>(message.messageInfo()->values[index]);
  if (record == nullptr) return std::nullopt;
  if (record->bytes == nullptr) return Bytes{};
  return Bytes(record->bytes, record->bytes + record->length);
}

// An event's source-extension bytes as text ("" when absent).
inline std::string payload_of(const wire::CLRPBLogEvent& event) {
  auto bytes = bytes_field(event, kEventSourceExtension);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// An event carrying `payload` as its source extension.
inline std::shared_ptr<wire::CLRPBLogEvent> event_with(const std::string& payload) {
  auto event = wire::CLRPBLogEvent::make();
  wire::NANOSetBytes(event.get(), kEventSourceExtension,
                     std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
  return event;
}

struct DecodedLogRequest {
  std::shared_ptr<wire::CLRPBLogRequest> request;
  std::vector<Bytes> elements;  // the serialized-log-events field
  std::vector<std::shared_ptr<wire::CLRPBLogEvent>> events;
  std::vector<std::shared_ptr<wire::FIRPBICoreConfiguration>> records;  // tag 6 of each event that has one
};

// A log request body (gunzipped) through the wire layer; `request` is null when it does not decode.
inline DecodedLogRequest decode_log_request(const std::string& body) {
  DecodedLogRequest out;
  out.request = wire::CLRPBLogRequest::initWithBuffer(
      std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
  if (!out.request) return out;
  if (auto elements = wire::NANOGetArray(out.request.get(), kRequestElements, nullptr)) {
    for (const auto& element : *elements) {
      if (const Bytes* data = element.data()) out.elements.push_back(*data);
    }
  }
  for (const Bytes& element : out.elements) {
    for (auto& event : events_of(element)) {
      out.events.push_back(event);
      if (auto record = bytes_field(*event, kEventSourceExtension)) {
        out.records.push_back(wire::FIRPBICoreConfiguration::initWithBuffer(*record));
      }
    }
  }
  return out;
}

// The request's client info as this device sends it: an iOS client (type 3)
// on "13.5", application build "0", no install identifier.
inline void expect_device_client_info(const wire::CLRPBLogRequest& request) {
  auto client = wire::NANOGetMessage<wire::CLRPBClientInfo>(&request, kRequestClientInfo);
  ASSERT_TRUE(client);
  EXPECT_EQ(wire::NANOGetInt32(client.get(), kClientType), 3);
  auto ios = wire::NANOGetMessage<wire::CLRPBIosClientInfo>(client.get(), kClientIosInfo);
  ASSERT_TRUE(ios);
  EXPECT_EQ(wire::NANOGetString(ios.get(), kIosOSVersion), "13.5");
  EXPECT_EQ(wire::NANOGetString(ios.get(), kIosApplicationBuild), "0");
  EXPECT_FALSE(wire::NANOHasField(ios.get(), kIosInstallIdentifier));
}

}  // namespace core_log_test
