#include "wire/measurement/measurement.h"

// The message classes of the set, instantiated once here.
namespace wire {
template class NanoMessage<measurement::kAudience>;
template class NanoMessage<measurement::kAudienceLeafFilterResult>;
template class NanoMessage<measurement::kDynamicFilterResultTimestamp>;
template class NanoMessage<measurement::kEvent>;
template class NanoMessage<measurement::kEventConfig>;
template class NanoMessage<measurement::kEventFilter>;
template class NanoMessage<measurement::kEventParam>;
template class NanoMessage<measurement::kFilter>;
template class NanoMessage<measurement::kMeasurementBatch>;
template class NanoMessage<measurement::kMeasurementBundle>;
template class NanoMessage<measurement::kMeasurementConfig>;
template class NanoMessage<measurement::kNumberFilter>;
template class NanoMessage<measurement::kPropertyFilter>;
template class NanoMessage<measurement::kResultData>;
template class NanoMessage<measurement::kSequenceFilterResultTimestamp>;
template class NanoMessage<measurement::kSetting>;
template class NanoMessage<measurement::kStringFilter>;
template class NanoMessage<measurement::kUserAttribute>;
}  // namespace wire
