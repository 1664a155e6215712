#pragma once
// The typed selectors of the analytics classes that other parts reach by
// class name ("DAVIdovivove", "DAVIdovivoveConnector",
// "APMAppDelegateInterceptor"), of the attribution client "ADClient", and the
// block types they carry. Header only:
// callers need not link the analytics library.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace analytics {

class APMEvent;
class APMLogEventListenerToken;

// A log-event listener: told of each event that reaches the engine through
// the listener road (name, parameters, origin through the event).
using APMLogEventListener = std::function<void(const std::shared_ptr<APMEvent>& event)>;
using APMLogEventListenerTokenRef = std::shared_ptr<APMLogEventListenerToken>;

namespace sel {

namespace rt = platform::rt;

// +[DAVIdovivove logInternalEventWithOrigin:name:parameters:] (the crash reporter, the kit host).
inline const rt::ClassSel<void(std::string, std::string, platform::foundation::Dict)> logInternalEventWithOriginNameParameters{
    "logInternalEventWithOrigin:name:parameters:"};
// +[DAVIdovivove addLogEventListener:]: the listener's token (nullptr for no listener).
inline const rt::ClassSel<APMLogEventListenerTokenRef(APMLogEventListener)> addLogEventListener{"addLogEventListener:"};
// +[DAVIdovivove removeLogEventListener:].
inline const rt::ClassSel<void(APMLogEventListenerTokenRef)> removeLogEventListener{"removeLogEventListener:"};
// +[APMAppDelegateInterceptor sharedInstance]: the interceptor the entry registers with the delegate proxy.
inline const rt::ClassSel<rt::Id()> interceptorSharedInstance{"sharedInstance"};

// The platform's advertising attribution client "ADClient", found by name.
// +[ADClient sharedClient]: the shared client.
inline const rt::ClassSel<rt::Id()> adClientSharedClient{"sharedClient"};
// Attribution details (a dictionary whose first value is the details
// dictionary) or an error.
using APMAttributionDetailsHandler = std::function<void(std::optional<platform::foundation::Dict> details,
                                                        std::optional<platform::foundation::Error> error)>;
inline const rt::Sel<void(APMAttributionDetailsHandler)> adClientRequestAttributionDetails{
    "requestAttributionDetailsWithBlock:"};
// Purchase date and impression date, each absent when unknown.
using APMAdConversionDetailsHandler = std::function<void(std::optional<platform::foundation::Date> purchaseDate,
                                                         std::optional<platform::foundation::Date> impressionDate)>;
inline const rt::Sel<void(APMAdConversionDetailsHandler)> adClientLookupAdConversionDetails{
    "lookupAdConversionDetails:"};
// Whether the installation is attributed to an ad.
using APMInstallationAttributionHandler = std::function<void(bool attributed)>;
inline const rt::Sel<void(APMInstallationAttributionHandler)> adClientDetermineAppInstallationAttribution{
    "determineAppInstallationAttributionWithCompletionHandler:"};

// The interop protocol "DAVIdovivoveInterop" of the connector's instances.
inline constexpr std::string_view kInteropProtocol = "DAVIdovivoveInterop";
inline const rt::Sel<void(std::string, std::string, platform::foundation::Dict)> interopLogEvent{
    "logEventWithOrigin:name:parameters:"};
inline const rt::Sel<void(std::string, std::string, platform::foundation::Value)> interopSetUserProperty{
    "setUserPropertyWithOrigin:name:value:"};
inline const rt::Sel<std::int64_t(std::string)> interopMaxUserProperties{"maxUserProperties:"};

}  // namespace sel
}  // namespace analytics
