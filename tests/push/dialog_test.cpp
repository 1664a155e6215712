#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/testing/capture.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "push/dialog.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "testing/harness/harness.h"

namespace {

namespace ui = platform::ui;
namespace rt = platform::rt;
using namespace push;

class Delegate : public ui::Responder {
 public:
  explicit Delegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, platform::foundation::Dict) { return true; }
};

platform::sim::AppImage image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushDialogTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<Delegate>("PushDialogTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &Delegate::did_finish)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) { return std::make_shared<ui::ViewController>(); },
                                    .scenes = {}});
  };
  return image;
}

class DialogTest : public ::testing::Test {
 protected:
  void boot(const std::string& systemVersion) {
    clock_ = platform::testing::ManualClock::install();
    harness_ = std::make_unique<testing::Harness>(
        testing::HarnessOptions{.profile = {{"system_version", systemVersion}}});
    app_ = &harness_->boot_app(image());
    ASSERT_NE(app_->key_window(), nullptr);
  }
  void TearDown() override {
    RerAviror::setLogLevel(kLogWarn, kLogNone);
    harness_.reset();
  }

  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }
  void advance(double seconds) {
    clock_->advance(platform::dispatch::Duration(seconds));
    runMain();
  }
  // The alert controller on show, or nullptr.
  ui::AlertController* shown() {
    return dynamic_cast<ui::AlertController*>(app_->key_window()->root_view_controller()->presented());
  }
  void present(const std::string& title, std::optional<std::string> action = "OK", bool withCompletion = true) {
    OSDialogCompletion completion;
    if (withCompletion) {
      completion = [this, title](bool accepted) {
        answers_.push_back(title + (accepted ? ":yes" : ":no"));
        shownAtCompletion_.push_back(shown() != nullptr || !app_->visible_alert_views().empty());
      };
    }
    RerAvirorDialogController::sharedInstance()->presentDialogWithTitle(title, "text of " + title, std::move(action),
                                                                       "Cancel", completion);
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::vector<std::string> answers_;
  std::vector<bool> shownAtCompletion_;
};

TEST_F(DialogTest, OneAtATimeInOrderEachAnswerAQuarterSecondLater) {
  boot("13.5");
  present("A");
  present("B");
  runMain();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "A");
  EXPECT_EQ(shown()->message, "text of A");
  EXPECT_EQ(shown()->preferred_style, 1);
  ASSERT_EQ(shown()->actions().size(), 2u);
  EXPECT_EQ(shown()->actions()[0].title, "Cancel");
  EXPECT_EQ(shown()->actions()[0].style, 1);
  EXPECT_EQ(shown()->actions()[1].title, "OK");
  EXPECT_EQ(shown()->actions()[1].style, 0);

  shown()->tap(1);
  runMain();
  advance(0.24);
  EXPECT_TRUE(answers_.empty());
  EXPECT_EQ(shown(), nullptr);
  advance(0.01);
  EXPECT_EQ(answers_, std::vector<std::string>{"A:yes"});
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "B");

  shown()->tap(0);
  runMain();
  advance(0.25);
  EXPECT_EQ(answers_, (std::vector<std::string>{"A:yes", "B:no"}));
  EXPECT_EQ(shownAtCompletion_, (std::vector<bool>{false, false}));  // each completion before the next dialog
  EXPECT_EQ(shown(), nullptr);
}

TEST_F(DialogTest, NoActionMeansCancelOnlyAndNoCompletionIsFine) {
  boot("13.5");
  present("silent", "OK", false);
  present("cancel only", std::nullopt);
  runMain();
  ASSERT_NE(shown(), nullptr);
  shown()->tap(1);
  runMain();
  advance(0.25);
  EXPECT_TRUE(answers_.empty());
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "cancel only");
  ASSERT_EQ(shown()->actions().size(), 1u);
  EXPECT_EQ(shown()->actions()[0].title, "Cancel");
  shown()->tap(0);
  runMain();
  advance(0.25);
  EXPECT_EQ(answers_, std::vector<std::string>{"cancel only:no"});
}

TEST_F(DialogTest, AlertViewBelowEightIndexZeroIsNo) {
  boot("7.1");
  present("A");
  present("B");
  runMain();
  ASSERT_EQ(app_->visible_alert_views().size(), 1u);
  auto a = app_->visible_alert_views()[0];
  EXPECT_EQ(a->title, "A");
  ASSERT_EQ(a->number_of_buttons(), 2);
  EXPECT_EQ(a->cancel_button_index(), 0);
  EXPECT_EQ(a->button_title(1), "OK");
  a->tap(0);
  runMain();
  advance(0.25);
  ASSERT_EQ(app_->visible_alert_views().size(), 1u);
  app_->visible_alert_views()[0]->tap(1);
  runMain();
  advance(0.25);
  EXPECT_EQ(answers_, (std::vector<std::string>{"A:no", "B:yes"}));
}

TEST_F(DialogTest, AnUnansweredDialogHoldsBackTheQueue) {
  boot("13.5");
  present("A");
  present("B");
  runMain();
  advance(3600);
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "A");
  EXPECT_TRUE(answers_.empty());
}

TEST_F(DialogTest, VisualLevelShowsLogLinesAsDialogs) {
  boot("13.5");
  RerAviror::setLogLevel(kLogVerbose, kLogWarn);
  RerAviror::reraviror_Log(kLogWarn, "careful");
  RerAviror::reraviror_Log(kLogInfo, "just so");
  runMain();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "WARNING: ");
  EXPECT_EQ(shown()->message, "careful");
  ASSERT_EQ(shown()->actions().size(), 1u);
  EXPECT_EQ(shown()->actions()[0].title, "Close");
  shown()->tap(0);
  runMain();
  advance(0.25);
  EXPECT_EQ(shown(), nullptr);  // the info line stays on the console only
  const auto lines = harness_->capture().log_lines();
  EXPECT_EQ(lines, (std::vector<std::string>{"WARNING: careful", "INFO: just so"}));
}

// ---- the console side of the sink ----

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RerAviror::setLogLevel(kLogWarn, kLogNone);
    platform::testing::reset();
  }
  platform::testing::CaptureSinks capture_;
};

TEST_F(LogTest, DefaultThresholdsAndPrefixes) {
  for (std::uint32_t level = 1; level <= 6; ++level) RerAviror::reraviror_Log(level, "m");
  EXPECT_EQ(capture_.log_lines(), (std::vector<std::string>{"FATAL: m", "ERROR: m", "WARNING: m"}));
  capture_.clear();
  RerAviror::setLogLevel(kLogVerbose, kLogNone);
  for (std::uint32_t level = 1; level <= 6; ++level) RerAviror::reraviror_Log(level, "m");
  EXPECT_EQ(capture_.log_lines(), (std::vector<std::string>{"FATAL: m", "ERROR: m", "WARNING: m", "INFO: m",
                                                            "DEBUG: m", "VERBOSE: m"}));
  capture_.clear();
  RerAviror::setLogLevel(kLogError, kLogNone);
  RerAviror::reraviror_Log(kLogWarn, "m");
  EXPECT_TRUE(capture_.log_lines().empty());
}

TEST_F(LogTest, LevelsOutsideTheTableHaveNoPrefix) {
  RerAviror::setLogLevel(1000, kLogNone);
  RerAviror::reraviror_Log(0, "zero");
  RerAviror::reraviror_Log(7, "seven");
  RerAviror::reraviror_Log(999, "many");
  EXPECT_EQ(capture_.log_lines(), (std::vector<std::string>{"zero", "seven", "many"}));
}

}  // namespace
