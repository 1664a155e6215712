#pragma once
// The measurement message set: upload batches and the measurement
// configuration, with their field tables and message classes.

#include "wire/measurement/measurement.pb.h"
#include "wire/runtime/message.h"

namespace wire::measurement {

using ::wire::FieldSpec;

inline constexpr FieldSpec kSettingFields[] = {{0x2002, 1}, {0x2002, 2}};
WIRE_DESCRIBE_MESSAGE(kSetting, "Setting", "RIDUZSetting", 1, wire_measurement_Setting);

inline constexpr FieldSpec kEventConfigFields[] = {{0x2002, 1}, {0x22, 2}, {0x22, 3}, {0x82, 4}};
WIRE_DESCRIBE_MESSAGE(kEventConfig, "EventConfig", "RIDUZEventConfig", 1, wire_measurement_EventConfig);

inline constexpr FieldSpec kNumberFilterFields[] = {{0x42, 1}, {0x22, 2}, {0x2002, 3}, {0x2002, 4}, {0x2002, 5}};
WIRE_DESCRIBE_MESSAGE(kNumberFilter, "NumberFilter", "RIDUZNumberFilter", 1, wire_measurement_NumberFilter);

inline constexpr FieldSpec kStringFilterFields[] = {
    {0x42, 1}, {0x2002, 2}, {0x22, 3}, {0x2008, 4, nullptr, "expression_list"}};
WIRE_DESCRIBE_MESSAGE(kStringFilter, "StringFilter", "RIDUZStringFilter", 2, wire_measurement_StringFilter);

inline constexpr FieldSpec kFilterFields[] = {{0x4002, 1, &kStringFilter}, {0x4002, 2, &kNumberFilter},
                                              {0x22, 3}, {0x2002, 4}, {0x22, 5}, {0x22, 6}};
WIRE_DESCRIBE_MESSAGE(kFilter, "Filter", "RIDUZFilter", 2, wire_measurement_Filter);

inline constexpr FieldSpec kPropertyFilterFields[] = {
    {0x82, 1}, {0x2002, 2}, {0x4002, 3, &kFilter}, {0x22, 4}, {0x22, 5}};
WIRE_DESCRIBE_MESSAGE(kPropertyFilter, "PropertyFilter", "RIDUZPropertyFilter", 2, wire_measurement_PropertyFilter);

inline constexpr FieldSpec kEventFilterFields[] = {{0x82, 1}, {0x2002, 2}, {0x4008, 3, &kFilter, "filters"},
                                                   {0x22, 4}, {0x4002, 5, &kNumberFilter}, {0x22, 6}, {0x22, 7}};
WIRE_DESCRIBE_MESSAGE(kEventFilter, "EventFilter", "RIDUZEventFilter", 2, wire_measurement_EventFilter);

inline constexpr FieldSpec kAudienceFields[] = {{0x82, 1},
                                                {0x4008, 2, &kPropertyFilter, "property_filters"},
                                                {0x4008, 3, &kEventFilter, "event_filters"},
                                                {0x22, 4},
                                                {0x22, 5}};
WIRE_DESCRIBE_MESSAGE(kAudience, "Audience", "RIDUZAudience", 2, wire_measurement_Audience);

inline constexpr FieldSpec kMeasurementConfigFields[] = {{0x202, 1},
                                                         {0x2002, 2},
                                                         {0x82, 3},
                                                         {0x4008, 4, &kSetting, "settings"},
                                                         {0x4008, 5, &kEventConfig, "event_config"},
                                                         {0x4008, 6, &kAudience, "audiences"},
                                                         {0x2002, 7}};
WIRE_DESCRIBE_MESSAGE(kMeasurementConfig, "MeasurementConfig", "RIDUZMeasurementConfig", 2,
                      wire_measurement_MeasurementConfig);

inline constexpr FieldSpec kDynamicFilterResultTimestampFields[] = {{0x82, 1}, {0x202, 2}};
WIRE_DESCRIBE_MESSAGE(kDynamicFilterResultTimestamp, "DynamicFilterResultTimestamp",
                      "RIDUZDynamicFilterResultTimestamp", 1, wire_measurement_DynamicFilterResultTimestamp);

inline constexpr FieldSpec kSequenceFilterResultTimestampFields[] = {{0x82, 1},
                                                                     {0x208, 2, nullptr, "eval_timestamps"}};
WIRE_DESCRIBE_MESSAGE(kSequenceFilterResultTimestamp, "SequenceFilterResultTimestamp",
                      "RIDUZSequenceFilterResultTimestamp", 2, wire_measurement_SequenceFilterResultTimestamp);

inline constexpr FieldSpec kResultDataFields[] = {
    {0x408, 1, nullptr, "status"},
    {0x408, 2, nullptr, "results"},
    {0x4008, 3, &kDynamicFilterResultTimestamp, "dynamic_filter_timestamps"},
    {0x4008, 4, &kSequenceFilterResultTimestamp, "sequence_filter_timestamps"}};
WIRE_DESCRIBE_MESSAGE(kResultData, "ResultData", "RIDUZResultData", 2, wire_measurement_ResultData);

inline constexpr FieldSpec kAudienceLeafFilterResultFields[] = {
    {0x82, 1}, {0x4002, 2, &kResultData}, {0x4002, 3, &kResultData}, {0x22, 4}};
WIRE_DESCRIBE_MESSAGE(kAudienceLeafFilterResult, "AudienceLeafFilterResult", "RIDUZAudienceLeafFilterResult", 2,
                      wire_measurement_AudienceLeafFilterResult);

inline constexpr FieldSpec kEventParamFields[] = {{0x2002, 1}, {0x2002, 2}, {0x202, 3}, {0x802, 4}, {0x1002, 5}};
WIRE_DESCRIBE_MESSAGE(kEventParam, "EventParam", "RIDUZEventParam", 1, wire_measurement_EventParam);

inline constexpr FieldSpec kEventFields[] = {
    {0x4008, 1, &kEventParam, "params"}, {0x2002, 2}, {0x202, 3}, {0x202, 4}, {0x82, 5}};
WIRE_DESCRIBE_MESSAGE(kEvent, "Event", "RIDUZEvent", 2, wire_measurement_Event);

inline constexpr FieldSpec kUserAttributeFields[] = {{0x202, 1}, {0x2002, 2}, {0x2002, 3},
                                                     {0x202, 4}, {0x802, 5},  {0x1002, 6}};
WIRE_DESCRIBE_MESSAGE(kUserAttribute, "UserAttribute", "RIDUZUserAttribute", 1, wire_measurement_UserAttribute);

// Index order is not tag order here: see indexes 6, 20, 21-36.
inline constexpr FieldSpec kMeasurementBundleFields[] = {
    {0x82, 1},                                                                   // 0
    {0x4008, 2, &kEvent, "events"},                                              // 1
    {0x4008, 3, &kUserAttribute, "user_attributes"},                             // 2
    {0x202, 4},                                                                  // 3
    {0x202, 5},                                                                  // 4
    {0x202, 6},                                                                  // 5
    {0x202, 26},                                                                 // 6
    {0x202, 7},                                                                  // 7
    {0x2002, 8},                                                                 // 8
    {0x2002, 9},                                                                 // 9
    {0x2002, 10},                                                                // 10
    {0x2002, 11},                                                                // 11
    {0x82, 12},                                                                  // 12
    {0x2002, 13},                                                                // 13
    {0x2002, 14},                                                                // 14
    {0x202, 15},                                                                 // 15
    {0x2002, 16},                                                                // 16
    {0x202, 17},                                                                 // 17
    {0x202, 18},                                                                 // 18
    {0x2002, 19},                                                                // 19
    {0x2002, 27},                                                                // 20
    {0x22, 20},                                                                  // 21
    {0x2002, 21},                                                                // 22
    {0x202, 22},                                                                 // 23
    {0x82, 23},                                                                  // 24
    {0x2002, 24},                                                                // 25
    {0x2002, 25},                                                                // 26
    {0x22, 28},                                                                  // 27
    {0x4008, 29, &kAudienceLeafFilterResult, "audience_evaluation_results"},     // 28
    {0x2002, 30},                                                                // 29
    {0x82, 31},                                                                  // 30
    {0x82, 32},                                                                  // 31
    {0x82, 33},                                                                  // 32
    {0x2002, 34},                                                                // 33
    {0x202, 35},                                                                 // 34
    {0x82, 39},                                                                  // 35
    {0x2002, 41},                                                                // 36
};
WIRE_DESCRIBE_MESSAGE(kMeasurementBundle, "MeasurementBundle", "RIDUZMeasurementBundle", 2,
                      wire_measurement_MeasurementBundle);

inline constexpr FieldSpec kMeasurementBatchFields[] = {{0x4008, 1, &kMeasurementBundle, "bundles"}};
WIRE_DESCRIBE_MESSAGE(kMeasurementBatch, "MeasurementBatch", "RIDUZMeasurementBatch", 2,
                      wire_measurement_MeasurementBatch);

}  // namespace wire::measurement

namespace wire {
using RIDUZAudience = NanoMessage<measurement::kAudience>;
using RIDUZAudienceLeafFilterResult = NanoMessage<measurement::kAudienceLeafFilterResult>;
using RIDUZDynamicFilterResultTimestamp = NanoMessage<measurement::kDynamicFilterResultTimestamp>;
using RIDUZEvent = NanoMessage<measurement::kEvent>;
using RIDUZEventConfig = NanoMessage<measurement::kEventConfig>;
using RIDUZEventFilter = NanoMessage<measurement::kEventFilter>;
using RIDUZEventParam = NanoMessage<measurement::kEventParam>;
using RIDUZFilter = NanoMessage<measurement::kFilter>;
using RIDUZMeasurementBatch = NanoMessage<measurement::kMeasurementBatch>;
using RIDUZMeasurementBundle = NanoMessage<measurement::kMeasurementBundle>;
using RIDUZMeasurementConfig = NanoMessage<measurement::kMeasurementConfig>;
using RIDUZNumberFilter = NanoMessage<measurement::kNumberFilter>;
using RIDUZPropertyFilter = NanoMessage<measurement::kPropertyFilter>;
using RIDUZResultData = NanoMessage<measurement::kResultData>;
using RIDUZSequenceFilterResultTimestamp = NanoMessage<measurement::kSequenceFilterResultTimestamp>;
using RIDUZSetting = NanoMessage<measurement::kSetting>;
using RIDUZStringFilter = NanoMessage<measurement::kStringFilter>;
using RIDUZUserAttribute = NanoMessage<measurement::kUserAttribute>;
}  // namespace wire
