#pragma once
// The default request headers: Accept-Encoding, Accept-Language and
// User-Agent, built from the device's facts at the time of the call.
#include <string>
#include <vector>

#include "http/url_convertible.h"

namespace Duvarel {

inline constexpr const char* kAcceptEncoding = "gzip;q=1.0, compress;q=0.5";

// The three headers from the current profile, main bundle and library bundle.
HTTPHeaders makeDefaultHeaders();

// The first six tags with qualities 1.0, 0.9, ... joined by ", "; "" for none.
std::string makeAcceptLanguage(const std::vector<std::string>& languages);
// "<executable>/<version> (<identifier>; build:<build>; <os>) <library>", or
// "Duvarel" when the main bundle has no information dictionary.
std::string makeUserAgent();
// "iOS <major>.<minor>.<patch>" of the process's OS version.
std::string makeOSNameVersion();
// "Duvarel/<version>" from Frameworks/Duvarel.framework/Info.plist in the app
// bundle; "Unknown" without the bundle or its version.
std::string makeLibraryVersion();

}  // namespace Duvarel
