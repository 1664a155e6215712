#include "http/timeline.h"

#include <cstdio>

namespace Duvarel {

namespace {

std::string fixed3(double value) {
  int size = std::snprintf(nullptr, 0, "%.3f", value);
  std::string text(static_cast<std::size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.3f", value);
  return text;
}

std::string durations(const Timeline& t) {
  return "\"Latency\": " + fixed3(t.latency()) + " secs, \"Request Duration\": " + fixed3(t.requestDuration()) +
         " secs, \"Serialization Duration\": " + fixed3(t.serializationDuration()) +
         " secs, \"Total Duration\": " + fixed3(t.totalDuration()) + " secs";
}

}  // namespace

std::string Timeline::description() const { return "Timeline: { " + durations(*this) + " }"; }

std::string Timeline::debugDescription() const {
  return "Timeline: { \"Request Start Time\": " + fixed3(requestStartTime_) + ", \"Initial Response Time\": " +
         fixed3(initialResponseTime_) + ", \"Request Completed Time\": " + fixed3(requestCompletedTime_) +
         ", \"Serialization Completed Time\": " + fixed3(serializationCompletedTime_) + ", " + durations(*this) + " }";
}

}  // namespace Duvarel
