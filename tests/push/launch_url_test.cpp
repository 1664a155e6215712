#include <gtest/gtest.h>


#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/url.h"
#include "platform/os/preferences.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/testing/capture.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/launch_url.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/startup.h"
#include "push/web_view.h"
#include "testing/fakes/fake_service.h"
#include "testing/harness/harness.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
namespace ui = platform::ui;
namespace rt = platform::rt;
using namespace push;

class LaunchUrlTestDelegate : public ui::Responder {
 public:
  explicit LaunchUrlTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, foundation::Dict) { return true; }
};

platform::sim::AppImage launch_url_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushLaunchUrlTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<LaunchUrlTestDelegate>("PushLaunchUrlTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &LaunchUrlTestDelegate::did_finish)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) { return std::make_shared<ui::ViewController>(); },
                                    .scenes = {}});
  };
  return image;
}

// Pages on loopback, each with its own title.
class PageServer {
 public:
  PageServer() {
    server_.on("GET", R"(/page/(\w+))",
               [](const ::testing::fakes::HttpRequest& request, ::testing::fakes::HttpResponse& response) {
                 response.set_content("<html><head><title>Page " + request.matches[1] + "</title></head><body>x</body></html>",
                                      "text/html");
               });
  }
  foundation::Url url(const std::string& name) const {
    return *foundation::Url::parse("http://127.0.0.1:" + std::to_string(server_.port()) + "/page/" + name);
  }

 private:
  ::testing::fakes::FakeService server_{"pages", {"127.0.0.1"}};
};

class LaunchUrlTest : public ::testing::Test {
 protected:
  void boot(bool prompt = false) {
    clock_ = platform::testing::ManualClock::install();
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{.fakes = {testing::Fake::push}});
    app_ = &harness_->boot_app(launch_url_image());
    if (prompt) {
      RerAviror::initWithLaunchOptions(
          std::nullopt, "a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8", nullptr, nullptr,
          foundation::Dict{{std::string(kOSSettingsKeyAutoPrompt), false},
                           {std::string(kOSSSettingsKeyPromptBeforeOpeningPushURL), true}});
      ASSERT_TRUE(RerAviror::shouldPromptToShowURL());
    }
  }
  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }
  // Past the hop to main and the 0.25 s delay.
  void settle() {
    runMain();
    clock_->advance(platform::dispatch::Duration(kLaunchURLOpenDelaySeconds));
    runMain();
  }
  std::shared_ptr<RerAvirorWebView> screen() { return RerAvirorHelper::webVC(); }
  ui::AlertController* dialog() {
    return dynamic_cast<ui::AlertController*>(app_->key_window()->root_view_controller()->presented());
  }

  PageServer pages_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
};

TEST_F(LaunchUrlTest, FirstUseStoresTheSwitchAndOpensInTheApp) {
  boot();
  os::UserDefaults& defaults = os::UserDefaults::standard();
  defaults.remove(kInAppLaunchURLKey);
  RerAvirorHelper::displayWebView(pages_.url("one"));
  EXPECT_EQ(defaults.object(kInAppLaunchURLKey), foundation::Value(true));

  runMain();
  clock_->advance(platform::dispatch::Duration(0.2));
  runMain();
  EXPECT_EQ(screen(), nullptr) << "opened before 0.25 s";
  clock_->advance(platform::dispatch::Duration(0.05));
  runMain();
  ASSERT_NE(screen(), nullptr);
  EXPECT_TRUE(app_->opened_urls().empty());

  auto navigation = RerAvirorWebView::navigationController();
  auto presenting = RerAvirorWebView::presentingController();
  ASSERT_TRUE(navigation && presenting);
  EXPECT_EQ(presenting->presented(), navigation.get());
  EXPECT_EQ(navigation->top(), screen().get());
  EXPECT_EQ(presenting->view().superview(), app_->key_window());
  // The presenting view lets the app show through.
  EXPECT_EQ(presenting->view().background_color, ui::Color::clear());
  EXPECT_FALSE(presenting->view().opaque);

  // The screen as built: pinned web view, Done on the left, the indicator on the right.
  auto web = screen()->webView();
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->superview(), &screen()->view());
  EXPECT_FALSE(screen()->translatesAutoresizingMaskIntoConstraints());
  std::vector<int> attributes;
  for (const auto& constraint : screen()->constraints()) {
    attributes.push_back(constraint.attribute);
    EXPECT_EQ(constraint.toAttribute, constraint.attribute);
    EXPECT_EQ(constraint.multiplier, 1.0);
    EXPECT_EQ(constraint.constant, 0.0);
  }
  EXPECT_EQ(attributes, (std::vector<int>{3, 4, 5, 6}));
  ASSERT_TRUE(screen()->navigation_item().left);
  EXPECT_EQ(screen()->navigation_item().left->system_item, 0);
  ASSERT_TRUE(screen()->navigation_item().right);
  EXPECT_EQ(screen()->navigation_item().right->custom_view, screen()->uiBusy());
  EXPECT_EQ(screen()->uiBusy()->style, 1);
  EXPECT_EQ(screen()->uiBusy()->color, ui::Color::black());
  EXPECT_TRUE(screen()->uiBusy()->hides_when_stopped);

  ASSERT_TRUE(harness_->run_until([&] { return screen()->title == "Page one"; }));
  EXPECT_EQ(navigation->title, "Page one");
  EXPECT_FALSE(screen()->uiBusy()->is_animating());
}

TEST_F(LaunchUrlTest, SecondUrlWhileOnShowReloadsAndDoneLeavesABlankPage) {
  boot();
  RerAvirorHelper::displayWebView(pages_.url("one"));
  settle();
  ASSERT_NE(screen(), nullptr);
  ASSERT_TRUE(harness_->run_until([&] { return screen()->title == "Page one"; }));
  auto web = screen()->webView();

  RerAvirorHelper::displayWebView(pages_.url("two"));
  settle();
  ASSERT_TRUE(harness_->run_until([&] { return screen()->title == "Page two"; }));
  EXPECT_EQ(screen()->webView(), web);
  EXPECT_EQ(RerAvirorWebView::presentingController()->presented(), RerAvirorWebView::navigationController().get());

  // Done.
  screen()->navigation_item().left->tap();
  ASSERT_TRUE(harness_->run_until([&] { return RerAvirorWebView::presentingController()->view().superview() == nullptr; }));
  EXPECT_EQ(RerAvirorWebView::presentingController()->presented(), nullptr);
  ASSERT_TRUE(harness_->run_until([&] { return !web->is_loading(); }));
  EXPECT_EQ(web->title(), "");
  EXPECT_FALSE(web->url() && web->url()->absolute_string().find("/page/") != std::string::npos);

  // The same objects show again.
  RerAvirorHelper::displayWebView(pages_.url("three"));
  settle();
  EXPECT_EQ(RerAvirorWebView::presentingController()->view().superview(), app_->key_window());
  ASSERT_TRUE(harness_->run_until([&] { return screen()->title == "Page three"; }));
}

TEST_F(LaunchUrlTest, StoreLinksOtherSchemesAndTheSwitchOffOpenOutside) {
  boot();
  struct Case {
    std::string url;
    bool inApp;
  };
  const Case cases[] = {
      {"https://apps.store.example.net/app/id123", true},
      {"mailto:someone@example.org", true},
      {"tel:+15550100", true},
      {"https://intranet.example.org/news", false},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    os::UserDefaults::standard().set(kInAppLaunchURLKey, std::optional<foundation::Value>(std::in_place, c.inApp));
    RerAvirorHelper::displayWebView(*foundation::Url::parse(c.url));
    settle();
    expected.push_back(c.url);
    EXPECT_EQ(app_->opened_urls(), expected) << c.url;
  }
  EXPECT_EQ(screen(), nullptr);
}

TEST_F(LaunchUrlTest, PromptTextsAndCancel) {
  boot(true);
  RerAvirorHelper::displayWebView(*foundation::Url::parse("https://intranet.example.org/path?x=1"));
  runMain();
  ASSERT_NE(dialog(), nullptr);
  EXPECT_EQ(dialog()->title, "Open Website?");
  EXPECT_EQ(dialog()->message, "Would you like to open https://intranet.example.org");
  ASSERT_EQ(dialog()->actions().size(), 2u);
  EXPECT_EQ(dialog()->actions()[0].title, "Cancel");
  EXPECT_EQ(dialog()->actions()[1].title, "Open");

  dialog()->tap(0);
  runMain();
  clock_->advance(platform::dispatch::Duration(1));
  runMain();
  settle();
  EXPECT_TRUE(app_->opened_urls().empty());
  EXPECT_EQ(screen(), nullptr);
}

TEST_F(LaunchUrlTest, PromptAnsweredOpenWithTranslatedTexts) {
  boot(true);
  fs::create_directories(harness_->bundle_directory() / "Base.lproj");
  foundation::Dict strings{{"Open Website?", "Webseite öffnen?"},
                           {"Would you like to open mailto://(null)", "Mail schreiben?"},
                           {"Open", "Öffnen"}};
  ASSERT_TRUE(foundation::plist::write_file_atomically(foundation::Value(strings),
                                                       harness_->bundle_directory() / "Base.lproj" /
                                                           "Localizable.strings"));
  RerAvirorHelper::displayWebView(*foundation::Url::parse("mailto:someone@example.org"));
  runMain();
  ASSERT_NE(dialog(), nullptr);
  EXPECT_EQ(dialog()->title, "Webseite öffnen?");
  EXPECT_EQ(dialog()->message, "Mail schreiben?");
  EXPECT_EQ(dialog()->actions()[0].title, "Cancel");
  EXPECT_EQ(dialog()->actions()[1].title, "Öffnen");

  dialog()->tap(1);
  runMain();
  clock_->advance(platform::dispatch::Duration(0.25));
  runMain();
  settle();
  EXPECT_EQ(app_->opened_urls(), std::vector<std::string>{"mailto:someone@example.org"});
}

}  // namespace
