#pragma once
// Field indexes of the audience messages (audiences, event and property
// filters, filters, number and string filters, result records and leaf
// results), shared by filter evaluation and the audience store. Constants only.
#include <cstdint>

namespace analytics::audience_fields {

// RIDUZAudience
inline constexpr std::int32_t kAudienceID = 0;
inline constexpr std::int32_t kAudiencePropertyFilters = 1;
inline constexpr std::int32_t kAudienceEventFilters = 2;

// RIDUZEventFilter
inline constexpr std::int32_t kEventFilterID = 0;
inline constexpr std::int32_t kEventFilterEventName = 1;
inline constexpr std::int32_t kEventFilterParameterFilters = 2;
inline constexpr std::int32_t kEventFilterCountFilter = 4;
inline constexpr std::int32_t kEventFilterDynamic = 5;
inline constexpr std::int32_t kEventFilterSequence = 6;

// RIDUZPropertyFilter
inline constexpr std::int32_t kPropertyFilterID = 0;
inline constexpr std::int32_t kPropertyFilterPropertyName = 1;
inline constexpr std::int32_t kPropertyFilterFilter = 2;
inline constexpr std::int32_t kPropertyFilterDynamic = 3;
inline constexpr std::int32_t kPropertyFilterSequence = 4;

// RIDUZFilter
inline constexpr std::int32_t kFilterStringFilter = 0;
inline constexpr std::int32_t kFilterNumberFilter = 1;
inline constexpr std::int32_t kFilterComplement = 2;
inline constexpr std::int32_t kFilterParameterName = 3;

// RIDUZNumberFilter
inline constexpr std::int32_t kNumberComparisonType = 0;
inline constexpr std::int32_t kNumberMatchAsFloat = 1;
inline constexpr std::int32_t kNumberComparisonValue = 2;
inline constexpr std::int32_t kNumberMinComparisonValue = 3;
inline constexpr std::int32_t kNumberMaxComparisonValue = 4;

// RIDUZStringFilter
inline constexpr std::int32_t kStringMatchType = 0;
inline constexpr std::int32_t kStringExpression = 1;
inline constexpr std::int32_t kStringCaseSensitive = 2;
inline constexpr std::int32_t kStringExpressionList = 3;

// RIDUZResultData
inline constexpr std::int32_t kResultStatus = 0;
inline constexpr std::int32_t kResultResults = 1;
inline constexpr std::int32_t kResultDynamicTimestamps = 2;
inline constexpr std::int32_t kResultSequenceTimestamps = 3;

// RIDUZDynamicFilterResultTimestamp, RIDUZSequenceFilterResultTimestamp
inline constexpr std::int32_t kTimestampFilterID = 0;
inline constexpr std::int32_t kTimestampValue = 1;   // one timestamp, or the repeated list

// RIDUZAudienceLeafFilterResult
inline constexpr std::int32_t kLeafAudienceID = 0;
inline constexpr std::int32_t kLeafCurrentResults = 1;
inline constexpr std::int32_t kLeafPreviousResults = 2;
inline constexpr std::int32_t kLeafNewAudience = 3;

// Comparison types of a number filter.
inline constexpr std::int32_t kComparisonLessThan = 1;
inline constexpr std::int32_t kComparisonGreaterThan = 2;
inline constexpr std::int32_t kComparisonEqual = 3;
inline constexpr std::int32_t kComparisonBetween = 4;

// Match types of a string filter.
inline constexpr std::int32_t kMatchRegularExpression = 1;
inline constexpr std::int32_t kMatchBeginsWith = 2;
inline constexpr std::int32_t kMatchEndsWith = 3;
inline constexpr std::int32_t kMatchPartial = 4;
inline constexpr std::int32_t kMatchExact = 5;
inline constexpr std::int32_t kMatchInList = 6;

}  // namespace analytics::audience_fields
