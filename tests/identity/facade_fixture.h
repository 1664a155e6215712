#pragma once
// The facade on a harness device: the real app core configured at launch by
// a small delegate, the identity client's load hook, the identity service
// fake, and the client's log lines recorded. Handlers are waited for by
// pumping the main run loop.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/app.h"
#include "identity/instance_id.h"
#include "identity/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/plist.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view.h"
#include "testing/harness/harness.h"

namespace identity_test {

namespace fnd = platform::foundation;
namespace rt = platform::rt;

// Configures the default app at launch; a configuration exception is kept.
class IdentityFacadeDelegate : public platform::ui::Responder {
 public:
  using platform::ui::Responder::Responder;
  bool didFinish(rt::Id, fnd::Dict) {
    try {
      core::FIRApp::configure();
    } catch (const fnd::Exception& e) {
      raised() = e;
    }
    return true;
  }
  static std::optional<fnd::Exception>& raised() {
    static std::optional<fnd::Exception> exception;
    return exception;
  }
};

struct TokenAnswer {
  bool done = false;
  bool onMain = false;
  std::optional<std::string> token;
  std::optional<fnd::Error> error;
};

class IdentityFacadeTest : public ::testing::Test {
 protected:
  // `plist` replaces the bundle's service property list when given; `seed`
  // runs on the booted device before the app launches.
  void boot(std::optional<fnd::Dict> plist = std::nullopt, testing::HarnessOptions options = {},
            const std::function<void()>& seed = nullptr) {
    identity::FIRInstanceIDLogger::setTestObserver([this](int level, long code, const std::string& message) {
      std::lock_guard lock(mutex_);
      logs_.push_back({level, code, message});
    });
    options.fakes.push_back(testing::Fake::identity);
    if (plist) {
      auto bytes = fnd::plist::serialize(fnd::Value(*plist), fnd::plist::Format::xml);
      options.bundle_files["VuzoraZedudid-Udor.plist"] = fnd::to_string(*bytes);
    }
    harness_ = std::make_unique<testing::Harness>(std::move(options));
    if (seed) seed();
    platform::sim::AppImage image;
    image.delegate_class = "IdentityFacadeDelegate";
    image.register_classes = [] {
      core::register_runtime_classes();
      rt::ClassBuilder<IdentityFacadeDelegate>("IdentityFacadeDelegate", "UIResponder")
          .protocols({"UIApplicationDelegate"})
          .method(platform::ui::sel::did_finish_launching, &IdentityFacadeDelegate::didFinish)
          .define();
    };
    image.load_hooks = {identity::kInstanceIDLoadHook};
    harness_->boot_app(std::move(image));
  }

  void TearDown() override {
    fnd::NotificationCenter::default_center().remove_all(&posted_);
    identity::FIRInstanceIDLogger::setTestObserver(nullptr);
  }

  testing::Harness& h() { return *harness_; }
  testing::fakes::IdentityService& service() { return harness_->identity(); }
  static std::shared_ptr<identity::FIRInstanceID> iid() { return identity::FIRInstanceID::instanceID(); }

  struct Log {
    int level;
    long code;
    std::string message;
  };
  std::vector<Log> logs(long code) {
    std::lock_guard lock(mutex_);
    std::vector<Log> out;
    for (const auto& log : logs_) {
      if (log.code == code) out.push_back(log);
    }
    return out;
  }
  bool logged(long code) { return !logs(code).empty(); }
  std::vector<long> codes() {
    std::lock_guard lock(mutex_);
    std::vector<long> out;
    for (const auto& log : logs_) out.push_back(log.code);
    return out;
  }

  std::shared_ptr<TokenAnswer> requestToken(const std::string& entity, const std::string& scope,
                                            std::optional<fnd::Dict> options = std::nullopt, bool wait = true) {
    auto answer = std::make_shared<TokenAnswer>();
    iid()->tokenWithAuthorizedEntity(entity, scope, options,
                                     [answer](std::optional<std::string> token, std::optional<fnd::Error> error) {
                                       answer->done = true;
                                       answer->onMain = platform::dispatch::is_main_thread();
                                       answer->token = std::move(token);
                                       answer->error = std::move(error);
                                     });
    if (wait) {
      EXPECT_TRUE(h().run_until([&] { return answer->done; }));
    }
    return answer;
  }

  std::optional<fnd::Error> deleteToken(const std::string& entity, const std::string& scope) {
    bool done = false;
    std::optional<fnd::Error> result;
    iid()->deleteTokenWithAuthorizedEntity(entity, scope, [&](std::optional<fnd::Error> error) {
      done = true;
      result = std::move(error);
    });
    EXPECT_TRUE(h().run_until([&] { return done; }));
    return result;
  }

  // Posts seen on the default centre, by name, with the "%@" text of a Value object.
  struct Posted {
    std::string name;
    std::optional<std::string> object;
  };
  void record(const std::string& name) {
    fnd::NotificationCenter::default_center().add_observer(&posted_, name, nullptr, nullptr,
                                                           [this](const fnd::Notification& n) {
                                                             const auto* value = static_cast<const fnd::Value*>(n.object.get());
                                                             posted_.push_back({n.name, value ? std::optional(fnd::describe(*value)) : std::nullopt});
                                                           });
  }
  std::vector<Posted> posted(const std::string& name) const {
    std::vector<Posted> out;
    for (const auto& p : posted_) {
      if (p.name == name) out.push_back(p);
    }
    return out;
  }

  std::unique_ptr<testing::Harness> harness_;
  std::mutex mutex_;
  std::vector<Log> logs_;
  std::vector<Posted> posted_;
};

}  // namespace identity_test
