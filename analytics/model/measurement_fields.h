#pragma once
// Field indexes (runtime order, not wire tags) of the measurement messages the
// engine reads and writes: events and their parameters, user attributes,
// bundles and the measurement configuration. Constants only.
#include <cstdint>

namespace analytics::measurement_fields {

// RIDUZEvent
inline constexpr std::int32_t kEventParams = 0;
inline constexpr std::int32_t kEventName = 1;
inline constexpr std::int32_t kEventTimestamp = 2;
inline constexpr std::int32_t kEventPreviousTimestamp = 3;

// RIDUZEventParam
inline constexpr std::int32_t kParamName = 0;
inline constexpr std::int32_t kParamString = 1;
inline constexpr std::int32_t kParamInt64 = 2;
inline constexpr std::int32_t kParamDouble = 4;

// RIDUZUserAttribute
inline constexpr std::int32_t kAttributeSetTimestamp = 0;
inline constexpr std::int32_t kAttributeName = 1;
inline constexpr std::int32_t kAttributeString = 2;
inline constexpr std::int32_t kAttributeInt64 = 3;
inline constexpr std::int32_t kAttributeDouble = 5;

// RIDUZMeasurementBundle
inline constexpr std::int32_t kBundleEvents = 1;
inline constexpr std::int32_t kBundleUserAttributes = 2;
inline constexpr std::int32_t kBundleUploadTime = 3;
inline constexpr std::int32_t kBundleStart = 4;
inline constexpr std::int32_t kBundleEnd = 5;
inline constexpr std::int32_t kBundlePreviousStart = 6;
inline constexpr std::int32_t kBundlePreviousEnd = 7;
inline constexpr std::int32_t kBundleAppID = 14;
inline constexpr std::int32_t kBundleLibraryVersionAtUpload = 18;
inline constexpr std::int32_t kBundleResettableDeviceID = 19;
inline constexpr std::int32_t kBundleVendorID = 20;
inline constexpr std::int32_t kBundleIndex = 24;
inline constexpr std::int32_t kBundleMonitoring = 25;
inline constexpr std::int32_t kBundleAudienceResults = 28;
inline constexpr std::int32_t kBundleConfigVersion = 34;
inline constexpr std::int32_t kBundleRetryCount = 35;

// RIDUZMeasurementConfig
inline constexpr std::int32_t kConfigVersion = 0;
inline constexpr std::int32_t kConfigAppID = 1;
inline constexpr std::int32_t kConfigSettings = 3;
inline constexpr std::int32_t kConfigEventConfigs = 4;
inline constexpr std::int32_t kConfigAudiences = 5;
inline constexpr std::int32_t kConfigVeZazAppID = 6;

}  // namespace analytics::measurement_fields
