#pragma once
// Fills the engine's screens and campaigns seams, registers the runtime class
// "APMAppDelegateInterceptor" and makes the screen reporter the source of
// APMIsAppActive. Called from analytics::register_runtime_classes (main thread).
namespace analytics {

void APMInstallScreensAndCampaigns();

}  // namespace analytics
