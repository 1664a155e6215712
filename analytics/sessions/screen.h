#pragma once
// APMScreen, the identity of one screen, and the screen parameter builders.
// Screens are plain values: any thread may read them.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

class APMScreen {
 public:
  APMScreen(std::optional<std::string> name, std::string className, std::int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

  // Keeps name, class name and instance ID; not manually set.
  std::shared_ptr<APMScreen> copy() const {
    return std::make_shared<APMScreen>(name_, className_, instanceID_);
  }

  bool isManuallySet = false;
  const std::optional<std::string>& name() const { return name_; }
  const std::string& className() const { return className_; }
  std::int64_t instanceID() const { return instanceID_; }

  // Same name, class name and instance ID.
  bool isEqual(const APMScreen& other) const {
    return name_ == other.name_ && className_ == other.className_ && instanceID_ == other.instanceID_;
  }

 private:
  std::optional<std::string> name_;
  std::string className_;
  std::int64_t instanceID_;
};
using APMScreenRef = std::shared_ptr<APMScreen>;

// Null and null are equal; otherwise isEqual.
inline bool APMScreensEqual(const APMScreenRef& a, const APMScreenRef& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}

// "_si" always; "_sc" for a valid class name (31014 when empty, 31015 when
// invalid: then only "_si"); "_sn" for a valid name. Empty for no screen.
platform::foundation::Dict APMScreenParameters(const APMScreenRef& screen);
// "_pc", "_pi" and a valid "_pn" when the class name is valid; else empty. Silent.
platform::foundation::Dict APMPreviousScreenParameters(const APMScreenRef& screen);
// The class name after its last "."; the whole name without a "." or when the
// "." is its last character.
std::string APMUnqualifiedClassName(std::string_view className);
// Info.plist "DavidizeScreenReportingEnabled", else
// "DavidizeAutomaticScreenReportingEnabled": a number gives its bool, anything
// else (or nothing) gives true.
bool APMIsAutomaticScreenReportingEnabled();

}  // namespace analytics
