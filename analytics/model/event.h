#pragma once
// The measured event: origin, name, timestamps (seconds since 1970) and its
// normalised parameters, which also carry the event's own flags ("_o" origin,
// "_c" conversion, "_r" real-time, "_dbg" debug) and screen entries. Converts
// to and from the wire message RIDUZEvent.
//
// Threads: none of its own. An event is made on one queue and may be handed to
// another; the flag setters and addScreenParameters change the parameters
// without a lock, so one event is never used from two queues at once.
//
// Parameters are a foundation::Dict of name -> APMValue object, in insertion
// order: the caller's order, minus refused keys, then the error entries
// ("_err", "_ev", "_el") and "_o" appended. That order is the order of the
// message's parameters and of every walk over them.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/model/value.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"

namespace analytics {

// Seconds to whole milliseconds, truncated toward zero; out-of-range values
// saturate and NaN gives 0.
std::int64_t APMMillisecondsFromSeconds(double seconds);

class APMEvent;
using APMEventRef = std::shared_ptr<APMEvent>;

class APMEvent {
 public:
  // Validates the origin (a forwarded "x+gtm" is checked as "x", otherwise as
  // an internal origin) and the name (public rules too when `isPublic`), logs
  // 16002 when timestamp < previousTimestamp, normalises the parameters (raw
  // strings and numbers or APMValue objects), writes "_o" and drops a "_c"
  // whose value and currency fail. nullptr when a check fails.
  static APMEventRef initWithOrigin(std::string_view origin, bool isPublic, std::string_view name, double timestamp,
                                    double previousTimestamp, const platform::foundation::Dict& parameters);
  // The event a message describes: "_o" becomes the origin (nullptr without
  // it), the flags come back as ordinary parameters. nullptr for no message.
  static APMEventRef initWithEventProto(const wire::RIDUZEvent* proto);

  // Copies are built as non-public events.
  APMEventRef copyWithPreviousTimestamp(double previousTimestamp) const;
  APMEventRef copyWithParameters(const platform::foundation::Dict& parameters) const;
  APMEventRef copy() const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const platform::foundation::Dict& parameters() const { return parameters_; }

  // "_c" is an int64 1. Setting true needs a valid value and currency and then
  // drops an "_err" 10; setting false records "_err" 10 unless one is present.
  bool isConversion() const;
  void setConversion(bool conversion);
  // "_r" is an int64 1; another value type logs 16006 and answers false.
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);

  // Adds "_sc", "_si" and optionally "_sn" from the current screen (raw
  // objects or APMValues); false when the event already has screen entries or
  // the screen is incomplete or invalid (16003, 16004).
  bool addScreenParameters(const platform::foundation::Dict& screen);

  // The message form: milliseconds truncated toward zero (saturating), field 3
  // only for a previous timestamp above the double epsilon, one parameter
  // message per APMValue entry in parameter order. `previousTimestamp`, when
  // given, stands in for the event's own previous time.
  std::shared_ptr<wire::RIDUZEvent> protoEvent(std::optional<double> previousTimestamp = std::nullopt) const;
  // Appends the bytes protoEvent() encodes to, written directly, logging as
  // protoEvent() does.
  void appendEncodedProtoEvent(platform::foundation::Bytes& out,
                               std::optional<double> previousTimestamp = std::nullopt) const;

  // Normalisation (see the header of event_parameters.h for the error entries):
  // nullopt for no parameters. Refused keys are dropped; a public event keeps
  // at most 25 public parameters (the first 25 in literal key order).
  static std::optional<platform::foundation::Dict> normalizedParametersForParameters(
      const platform::foundation::Dict& parameters, bool isPublicEvent);
  // Validates a parameter key; on refusal records "_err" 14 (reserved) or 3
  // in `errorParameters` when it has no "_err" yet.
  static bool isValidParameterKey(const platform::foundation::Value& key, bool isPublicEvent,
                                  platform::foundation::Dict* errorParameters);

  struct Token {};
  APMEvent(Token, std::string origin, std::string name, double timestamp, double previousTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), timestamp_(timestamp), previousTimestamp_(previousTimestamp) {}

 private:
  bool isFlagSet(std::string_view key) const;
  // The parameters that have a message form, in order; the others log 16005.
  template <class F>
  void forEachEncodableParameter(F&& visit) const;
  void setFlag(std::string_view key, bool on);

  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  platform::foundation::Dict parameters_;
};

}  // namespace analytics

template <>
struct platform::foundation::ObjectTraits<analytics::APMEvent> {
  static constexpr std::string_view class_name = "APMEvent";
};
