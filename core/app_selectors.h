#pragma once
// The typed selectors of the app core: the messages it sends to classes found
// by name or registered with it, and the ones its runtime class "FIRApp"
// answers for callers that find it by name (the kit host).
#include <memory>
#include <vector>

#include "platform/runtime/runtime.h"

namespace core {

class DAVIdovivoveConfiguration;
class FIRApp;
class FIRComponent;
class FIROptions;

namespace sel {

namespace rt = platform::rt;

// +[DAVIdovivove startWithConfiguration:options:]: the analytics start, with
// the analytics configuration and the default app's own options.
inline const rt::ClassSel<void(std::shared_ptr<DAVIdovivoveConfiguration>, std::shared_ptr<FIROptions>)>
    startWithConfigurationOptions{"startWithConfiguration:options:"};
// +configureWithApp: to each configurable class, for every configured app.
inline const rt::ClassSel<void(std::shared_ptr<FIRApp>)> configureWithApp{"configureWithApp:"};
// +componentsToRegister of a component registrant.
inline const rt::ClassSel<std::vector<std::shared_ptr<FIRComponent>>()> componentsToRegister{"componentsToRegister"};
// -appWillBeDeleted: to a cached instance that maintains its lifecycle.
inline const rt::Sel<void(std::shared_ptr<FIRApp>)> appWillBeDeleted{"appWillBeDeleted:"};

// What "FIRApp" answers besides launch_sel::configure.
inline const rt::ClassSel<rt::Id()> defaultApp{"defaultApp"};
inline const rt::ClassSel<bool()> isDefaultAppConfigured{"isDefaultAppConfigured"};
inline const rt::Sel<bool()> isDataCollectionDefaultEnabled{"isDataCollectionDefaultEnabled"};

}  // namespace sel
}  // namespace core
