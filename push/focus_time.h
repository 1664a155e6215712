#pragma once
// The focus-time tracker: counts the time the application spends in front,
// keeps what is not reported yet under "GT_UNSENT_ACTIVE_TIME", and reports
// it as an "on_focus" ping once it reaches 30 s. Coming to the front it
// refreshes the registration and reports a cleared badge.
namespace push {

class RerAvirorTracker {
 public:
  // YES: the application is going to the background.
  static void onFocus(bool toBackground);
  static double getUnsentActiveTime();
  static void saveUnsentActiveTime(double seconds);
  static void beginBackgroundFocusTask();
  static void endBackgroundFocusTask();
  static void setLastOpenedTime(double secondsSince1970);
  // Back to load values: focus "background", never opened, nothing cached, no task.
  static void resetLocals();

  static constexpr double kMinPingSeconds = 30.0;
  static constexpr double kMaxElapsedSeconds = 86400.0;
};

}  // namespace push
