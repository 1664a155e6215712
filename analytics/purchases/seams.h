#pragma once
// Installs the engine's conditional-property, lifetime-value, purchase and
// search-ad seams. Callable from any thread; installing again replaces them.
namespace analytics {

void APMInstallPurchaseAndPropertySeams();

}  // namespace analytics
