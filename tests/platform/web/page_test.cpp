// Script evaluation, page-side events and the legacy web view.

#include "fixture.h"
#include "platform/net/cookie.h"
#include "platform/web/legacy_web_view.h"

namespace platform::web::test {
namespace {

using Events = std::vector<std::string>;

class PageTest : public WebTest {
 protected:
  struct Result {
    std::optional<foundation::Value> value;
    std::optional<Error> error;
  };
  Result evaluate(WebView& view, const std::string& script) {
    std::optional<Result> got;
    view.evaluate_javascript(script, [&](std::optional<foundation::Value> v, std::optional<Error> e) {
      EXPECT_TRUE(dispatch::is_main_thread());
      got = Result{std::move(v), std::move(e)};
    });
    EXPECT_FALSE(got.has_value()) << "the completion waits for the next main-queue turn";
    EXPECT_TRUE(pump([&] { return got.has_value(); }));
    return got.value_or(Result{});
  }
};

TEST_F(PageTest, EvaluateJavascriptTable) {
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/news/7"));
  struct Case {
    const char* script;
    std::optional<std::string> value;  // nullopt: fails
  };
  const Case without_evaluator[] = {
      {"document.title", "News 7"},
      {"  document.title ; ", "News 7"},
      {"typeof divavozovidOnError", "undefined"},
      {"typeof(window.onerror)", "undefined"},
      {"typeof", std::nullopt},
      {"typeof 1+1", std::nullopt},
      {"1 + 1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : without_evaluator) {
    SCOPED_TRACE(c.script);
    auto r = evaluate(*view, c.script);
    if (c.value) {
      ASSERT_TRUE(r.value.has_value());
      EXPECT_EQ(*r.value, foundation::Value(*c.value));
      EXPECT_FALSE(r.error.has_value());
    } else {
      EXPECT_FALSE(r.value.has_value());
      ASSERT_TRUE(r.error.has_value());
      EXPECT_EQ(r.error->domain, "WKErrorDomain");
      EXPECT_EQ(r.error->localized_description(), "JavaScript is unavailable");
    }
  }

  // An installed evaluator answers what it knows, typeof included; nullopt declines.
  std::vector<std::string> asked;
  set_script_evaluator([&](ui::View* v, std::string_view script) -> std::optional<foundation::Value> {
    EXPECT_EQ(v, view.get());
    asked.emplace_back(script);
    if (script == "typeof hooked") return foundation::Value("function");
    if (script == "1 + 1") return foundation::Value(2);
    return std::nullopt;
  });
  EXPECT_EQ(*evaluate(*view, "1 + 1").value, foundation::Value(2));
  EXPECT_EQ(*evaluate(*view, "typeof hooked").value, foundation::Value("function"));
  EXPECT_EQ(*evaluate(*view, "typeof other").value, foundation::Value("undefined"));
  EXPECT_TRUE(evaluate(*view, "x()").error.has_value());
  EXPECT_EQ(*evaluate(*view, "document.title").value, foundation::Value("News 7"));
  EXPECT_EQ(asked, (Events{"1 + 1", "typeof hooked", "typeof other", "x()"}));
}

TEST_F(PageTest, AlertAndConfirmGoThroughTheUiDelegateWithTheMainFrame) {
  boot();
  struct Panels : UIDelegate {
    std::vector<std::string> seen;
    std::vector<FrameInfo> frames;
    std::function<void()> alert_done;
    std::function<void(bool)> confirm_done;
    void run_alert_panel(WebView&, std::string message, FrameInfo frame, std::function<void()> completion) override {
      seen.push_back("alert " + message);
      frames.push_back(frame);
      alert_done = completion;
    }
    void run_confirm_panel(WebView&, std::string message, FrameInfo frame, std::function<void(bool)> completion) override {
      seen.push_back("confirm " + message);
      frames.push_back(frame);
      confirm_done = completion;
    }
  };
  auto panels = std::make_shared<Panels>();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/menu"));
  view->set_ui_delegate(panels);

  int alerts_done = 0;
  view->page_js_alert("Hello", [&] { ++alerts_done; });
  ASSERT_EQ(panels->seen, (Events{"alert Hello"}));
  EXPECT_TRUE(panels->frames[0].is_main_frame);
  EXPECT_EQ(panels->frames[0].request.url->absolute_string(), "https://intranet.example.org/menu");
  EXPECT_EQ(alerts_done, 0);
  panels->alert_done();
  panels->alert_done();
  EXPECT_EQ(alerts_done, 1) << "a second completion is ignored";

  std::vector<bool> answers;
  view->page_js_confirm("Sure?", [&](bool ok) { answers.push_back(ok); });
  std::thread([&] { panels->confirm_done(false); }).join();
  ASSERT_TRUE(pump([&] { return !answers.empty(); }));
  EXPECT_EQ(answers, std::vector<bool>{false});

  // Without a UI delegate: the alert completes at once, the confirm answers false.
  view->set_ui_delegate({});
  view->page_js_alert("x", [&] { ++alerts_done; });
  view->page_js_confirm("y", [&](bool ok) { answers.push_back(ok); });
  EXPECT_EQ(alerts_done, 2);
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
}

TEST_F(PageTest, ScriptMessagesReachTheHandlerOfTheirName) {
  boot();
  struct Handler : ScriptMessageHandler {
    std::vector<ScriptMessage> got;
    void did_receive(const ScriptMessage& m) override { got.push_back(m); }
  };
  auto handler = std::make_shared<Handler>();
  Configuration configuration;
  configuration.user_content = std::make_shared<UserContentController>();
  EXPECT_TRUE(configuration.user_content->add_script_message_handler(handler, "divavozovid"));
  EXPECT_FALSE(configuration.user_content->add_script_message_handler(std::make_shared<Handler>(), "divavozovid"));
  configuration.user_content->add_user_script({"window.x = 1;", UserScript::InjectionTime::document_end, true});
  auto view = make_view(configuration);
  EXPECT_EQ(view->configuration().user_content->user_scripts().size(), 1u);

  foundation::Value body(foundation::Dict{{"msg", foundation::Value("boom")}, {"line", foundation::Value(3)}});
  view->page_script_message("divavozovid", body);
  view->page_script_message("other", foundation::Value("dropped"));
  ASSERT_EQ(handler->got.size(), 1u);
  EXPECT_EQ(handler->got[0].name, "divavozovid");
  EXPECT_EQ(handler->got[0].body, body);
}

TEST_F(PageTest, SubmitFormCloseWindowAndLinkTaps) {
  site_->on("GET", "/form", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_content("<title>Form</title><form method=\"post\" action=\"/save\"></form><form action=\"find\"></form>",
                    "text/html");
  });
  site_->on("POST", "/save", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_content("<title>Saved</title>", "text/html");
  });
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/form"));

  recorder_->clear();
  view->page_submit_form("/save");
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main form /save", "start", "commit /save", "finish"}));
  EXPECT_EQ(recorder_->actions[0].request.method, "POST");
  EXPECT_EQ(site_->count("POST", "/save"), 1u);
  EXPECT_EQ(view->title(), "Saved");

  recorder_->clear();
  view->reload();
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events.front(), "decide main resubmit /save");
  EXPECT_EQ(site_->count("POST", "/save"), 2u);
  EXPECT_FALSE(view->can_go_forward());

  view->go_back();
  ASSERT_TRUE(pump([&] { return view->title() == "Form" && !view->is_loading(); }));
  recorder_->clear();
  view->page_submit_form("find");
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->actions[0].request.method, "GET");
  EXPECT_EQ(recorder_->actions[0].type, NavigationType::form_submitted);
  EXPECT_EQ(site_->count("GET", "/find"), 1u);

  recorder_->clear();
  view->page_close_window();
  EXPECT_EQ(recorder_->events, (Events{"close"}));
}

class LegacyRecorder : public LegacyWebViewDelegate {
 public:
  bool allow = true;
  std::vector<std::string> events;
  bool should_start(LegacyWebView&, const net::Request& r, LegacyNavigationType t) override {
    EXPECT_TRUE(dispatch::is_main_thread());
    events.push_back("should-start " + std::to_string(static_cast<int>(t)) + " " + path_of(r));
    return allow;
  }
  void did_start(LegacyWebView&) override { events.push_back("start"); }
  void did_finish(LegacyWebView& v) override { events.push_back("finish " + v.evaluate_script("document.title")); }
  void did_fail(LegacyWebView&, Error e) override { events.push_back("fail " + std::to_string(e.code)); }
  bool done() const { return !events.empty() && (events.back().rfind("finish", 0) == 0 || events.back().rfind("fail", 0) == 0); }
};

TEST_F(PageTest, LegacyViewOnTheSameEngine) {
  boot();
  auto delegate = std::make_shared<LegacyRecorder>();
  auto view = LegacyWebView::make({0, 0, 320, 480});
  view->set_delegate(delegate);
  view->load(request("/login?user=demo"));
  ASSERT_TRUE(pump([&] { return delegate->done(); }));
  EXPECT_EQ(delegate->events, (Events{"should-start 5 /login?user=demo", "start", "should-start 5 /", "finish Intranet"}));
  EXPECT_EQ(view->evaluate_script("document.title"), "Intranet");
  EXPECT_EQ(view->evaluate_script("typeof divavozovidOnError"), "undefined");
  EXPECT_EQ(view->evaluate_script("(function(){return 'loaded'})()"), "");
  set_script_evaluator([](ui::View*, std::string_view) { return std::optional<foundation::Value>(foundation::Value(42)); });
  EXPECT_EQ(view->evaluate_script("6*7"), "42");
  set_script_evaluator({});
  // The legacy view keeps its cookies in the shared storage.
  auto shared = net::CookieStorage::shared()->cookies();
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(shared[0].value, site_->session_id());

  delegate->events.clear();
  view->page_tap_link("/about");  // target="_blank" loads here as well
  ASSERT_TRUE(pump([&] { return delegate->done(); }));
  EXPECT_EQ(delegate->events, (Events{"should-start 0 /about", "start", "finish about"}));
  EXPECT_TRUE(view->can_go_back());

  delegate->events.clear();
  delegate->allow = false;
  view->go_back();
  settle();
  EXPECT_EQ(delegate->events, (Events{"should-start 2 /"}));
  EXPECT_EQ(view->url()->path(), "/about");

  delegate->allow = true;
  delegate->events.clear();
  view->load_html("", std::nullopt);
  ASSERT_TRUE(pump([&] { return delegate->done(); }));
  EXPECT_EQ(view->url()->absolute_string(), "about:blank");
  EXPECT_EQ(view->evaluate_script("document.title"), "");

  site_->stop();
  delegate->events.clear();
  view->reload();  // about:blank reloads without a fetch
  ASSERT_TRUE(pump([&] { return delegate->done(); }));
  delegate->events.clear();
  view->load(request("/"));
  ASSERT_TRUE(pump([&] { return delegate->done(); }));
  EXPECT_EQ(delegate->events, (Events{"should-start 5 /", "start", "fail -1004"}));
}

}  // namespace
}  // namespace platform::web::test
