#pragma once
// Shared parts of the shell's tests: the harness with the app's bundle
// files, the launch, the console lines, the screens on the window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/config.h"
#include "app/image.h"
#include "app/push_calls.h"
#include "app/view_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "testing/harness/harness.h"

namespace app::test {

inline const std::string kConfig =
    R"({"base_url": "https://intranet.example.org", "push_notifications_enabled": "true", )"
    R"("base_url_home_host": "intranet.example.org"})";

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.flush()) << path;
}

inline void write_config(testing::Harness& h, const std::string& text) {
  write_file(h.bundle_directory() / "Config.json", text);
}

// Standard output split into lines.
inline std::vector<std::string> out_lines(testing::Harness& h) {
  std::vector<std::string> lines;
  std::istringstream in(h.capture().out());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool has_line(testing::Harness& h, const std::string& line) {
  for (const auto& l : out_lines(h))
    if (l == line) return true;
  return false;
}

// Push calls that only record, so a launch needs no push service.
struct PushRecord {
  std::vector<std::string> calls;
  std::optional<std::string> user_id;
  std::function<void(bool)> prompt_response;
  push::OSHandleNotificationReceivedBlock received;
  push::OSHandleNotificationActionBlock opened;
  platform::foundation::Dict settings;
};

inline std::shared_ptr<PushRecord> record_push_calls(std::vector<std::string>* shared_log = nullptr) {
  auto record = std::make_shared<PushRecord>();
  auto log = [record, shared_log](std::string entry) {
    record->calls.push_back(entry);
    if (shared_log) shared_log->push_back(std::move(entry));
  };
  PushCalls calls;
  calls.initWithLaunchOptions = [record, log](std::optional<platform::foundation::Dict>, std::string appId,
                                              push::OSHandleNotificationReceivedBlock received,
                                              push::OSHandleNotificationActionBlock opened,
                                              platform::foundation::Dict settings) {
    record->received = std::move(received);
    record->opened = std::move(opened);
    record->settings = std::move(settings);
    log("init " + appId);
  };
  calls.setInFocusDisplayType = [log](std::int64_t type) { log("in-focus " + std::to_string(type)); };
  calls.promptForPushNotificationsWithUserResponse = [record, log](std::function<void(bool)> response) {
    record->prompt_response = std::move(response);
    log("prompt");
  };
  calls.subscriptionUserId = [record] { return record->user_id; };
  push_calls() = calls;
  return record;
}

inline AppDelegate& delegate() {
  return dynamic_cast<AppDelegate&>(*platform::ui::Application::shared()->delegate());
}

inline platform::ui::ViewController* root() {
  auto* window = delegate().window.get();
  return window ? window->root_view_controller() : nullptr;
}

inline platform::ui::NavigationController* navigation() {
  return dynamic_cast<platform::ui::NavigationController*>(root());
}

// The screen on top: the navigation controller's top, or the root itself.
inline ViewController* top_screen() {
  if (auto* nav = navigation()) return dynamic_cast<ViewController*>(nav->top());
  return dynamic_cast<ViewController*>(root());
}

}  // namespace app::test
