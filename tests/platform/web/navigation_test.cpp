// The navigation engine against the intranet site over TLS: policy order,
// frames, redirects, new windows, failures, history and stopping.

#include "fixture.h"

namespace platform::web::test {
namespace {

using Events = std::vector<std::string>;

class NavigationTest : public WebTest {};

TEST_F(NavigationTest, ActionDecideStartCommitFinish) {
  boot();
  auto view = make_view();
  std::vector<std::string> observed;
  add_page_observer([&](const PageEvent& e) {
    EXPECT_EQ(e.view, view.get());
    observed.push_back(std::to_string(static_cast<int>(e.kind)) + (e.main_frame ? " main " : " frame ") + e.url + " " + e.title);
  });
  Navigation* navigation = view->load(request("/"));
  ASSERT_NE(navigation, nullptr);
  EXPECT_TRUE(view->is_loading());
  EXPECT_TRUE(recorder_->events.empty()) << "the decision comes on a later turn";
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /", "start", "commit /", "finish"}));
  ASSERT_EQ(recorder_->navigations.size(), 1u);
  EXPECT_EQ(recorder_->navigations[0], navigation);
  EXPECT_FALSE(view->is_loading());
  EXPECT_EQ(view->title(), "Intranet");
  EXPECT_EQ(view->url()->absolute_string(), "https://intranet.example.org/");
  EXPECT_EQ(view->document().links.size(), 9u);
  EXPECT_EQ(observed, (Events{"0 main https://intranet.example.org/ ", "1 main https://intranet.example.org/ ",
                              "2 main https://intranet.example.org/ Intranet"}));
  auto req = site_->requests("GET", "/");
  ASSERT_EQ(req.size(), 1u);
  EXPECT_NE(req[0].header("accept").find("text/html"), std::string::npos);
}

TEST_F(NavigationTest, EachIframeIsDecidedAsANonMainFrameAndFinishWaitsForAll) {
  boot();
  auto view = make_view();
  int frames_finished_at_finish = -1, frames_finished = 0;
  add_page_observer([&](const PageEvent& e) {
    if (!e.main_frame && e.kind == PageEvent::Kind::finished) ++frames_finished;
    if (e.main_frame && e.kind == PageEvent::Kind::finished) frames_finished_at_finish = frames_finished;
  });
  ASSERT_TRUE(load_and_wait(*view, "/frames"));
  settle();
  EXPECT_EQ(recorder_->events, (Events{"decide main other /frames", "start", "commit /frames", "decide frame other /frame/1",
                                       "decide frame other /frame/2", "decide frame other /frame/3", "finish"}));
  for (const auto& a : recorder_->actions) {
    if (a.target_frame->is_main_frame) continue;
    ASSERT_TRUE(a.source_frame.has_value());
    EXPECT_TRUE(a.source_frame->is_main_frame);
    EXPECT_EQ(a.source_frame->request.url->path(), "/frames");
  }
  EXPECT_EQ(frames_finished_at_finish, 3);
  for (const char* p : {"/frame/1", "/frame/2", "/frame/3"}) EXPECT_EQ(site_->count("GET", p), 1u) << p;
  EXPECT_EQ(view->title(), "Frames");
}

TEST_F(NavigationTest, RefusedFrameIsNotFetchedAndNestedFramesStopAtTheDepthLimit) {
  // A frame page that frames itself: loads stop after three levels.
  site_->on("GET", "/self", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_content("<title>Self</title><iframe src=\"/self\"></iframe><iframe src=\"/refused\"></iframe>", "text/html");
  });
  boot();
  recorder_->policy = [](const NavigationAction& a) {
    return a.request.url->path() == "/refused" ? ActionPolicy::cancel : ActionPolicy::allow;
  };
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/self"));
  settle();
  EXPECT_EQ(recorder_->finished, 1);
  EXPECT_EQ(site_->count("GET", "/refused"), 0u);
  EXPECT_EQ(site_->count("GET", "/self"), 4u);  // the page and three levels of frames
}

TEST_F(NavigationTest, RedirectIsDecidedAgain) {
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/login?user=demo"));
  EXPECT_EQ(recorder_->events,
            (Events{"decide main other /login?user=demo", "start", "decide main other /", "commit /", "finish"}));
  EXPECT_EQ(view->url()->absolute_string(), "https://intranet.example.org/");
  auto home = site_->requests("GET", "/");
  ASSERT_EQ(home.size(), 1u);
  EXPECT_EQ(home[0].cookie("PHPSESSID"), site_->session_id());
}

TEST_F(NavigationTest, RedirectRefusedByPolicyFailsProvisionally) {
  boot();
  recorder_->policy = [](const NavigationAction& a) {
    return a.request.url->path() == "/" ? ActionPolicy::cancel : ActionPolicy::allow;
  };
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/login?user=demo"));
  EXPECT_EQ(recorder_->events,
            (Events{"decide main other /login?user=demo", "start", "decide main other /", "fail-provisional 102"}));
  EXPECT_EQ(site_->count("GET", "/"), 0u);
  EXPECT_FALSE(view->url().has_value());
  EXPECT_FALSE(view->is_loading());
}

TEST_F(NavigationTest, CancelPolicyLoadsNothing) {
  boot();
  recorder_->policy = [](const NavigationAction&) { return ActionPolicy::cancel; };
  auto view = make_view();
  view->load(request("/menu"));
  ASSERT_TRUE(pump([&] { return !recorder_->events.empty(); }));
  settle();
  EXPECT_EQ(recorder_->events, (Events{"decide main other /menu"}));
  EXPECT_FALSE(view->is_loading());
  EXPECT_EQ(site_->count(), 0u);
}

TEST_F(NavigationTest, DelegateLoadingAnotherPageWhileDeciding) {
  boot();
  auto view = make_view();
  recorder_->policy = [&](const NavigationAction& a) {
    if (a.request.url->path() != "/menu") return ActionPolicy::allow;
    view->load(request("/news"));
    return a.request.url->path() == "/menu" ? ActionPolicy::cancel : ActionPolicy::allow;  // the action is still valid
  };
  view->load(request("/menu"));
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /menu", "decide main other /news", "start", "commit /news", "finish"}));
  EXPECT_EQ(site_->count("GET", "/menu"), 0u);
}

TEST_F(NavigationTest, DecisionAnsweredLaterAndTwiceCountsOnce) {
  boot();
  std::function<void(ActionPolicy)> saved;
  struct Late : NavigationDelegate {
    std::function<void(ActionPolicy)>* saved;
    int starts = 0;
    void decide_policy(WebView&, const NavigationAction&, std::function<void(ActionPolicy)> h) override { *saved = h; }
    void did_start_provisional(WebView&, Navigation*) override { ++starts; }
  };
  auto late = std::make_shared<Late>();
  late->saved = &saved;
  auto view = make_view();
  view->set_navigation_delegate(late);
  view->load(request("/menu"));
  ASSERT_TRUE(pump([&] { return bool(saved); }));
  settle(std::chrono::milliseconds(100));
  EXPECT_EQ(site_->count(), 0u);
  // Answered from another thread, then again.
  std::thread([&] { saved(ActionPolicy::allow); }).join();
  saved(ActionPolicy::cancel);
  ASSERT_TRUE(pump([&] { return !view->is_loading(); }));
  EXPECT_EQ(late->starts, 1);
  EXPECT_EQ(view->title(), "menu");
}

TEST_F(NavigationTest, BlankTargetAsksForANewWindowWithoutTargetFrame) {
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/"));
  std::shared_ptr<WebView> popup;
  auto popup_recorder = std::make_shared<Recorder>();
  recorder_->on_create = [&](WebView&, const NavigationAction&) {
    popup = WebView::make({}, view->configuration());
    popup->set_navigation_delegate(popup_recorder);
    return popup;
  };
  recorder_->clear();
  view->page_tap_link("/about");
  ASSERT_TRUE(pump([&] { return popup_recorder->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide new-window link /about", "create"}));
  ASSERT_EQ(recorder_->created_for.size(), 1u);
  EXPECT_FALSE(recorder_->created_for[0].target_frame.has_value());
  EXPECT_EQ(recorder_->created_for[0].type, NavigationType::link_activated);
  EXPECT_EQ(popup_recorder->events, (Events{"decide main other /about", "start", "commit /about", "finish"}));
  EXPECT_EQ(popup->title(), "about");
  EXPECT_EQ(view->url()->path(), "/") << "the opener stays where it was";
  EXPECT_EQ(site_->count("GET", "/about"), 1u);
}

TEST_F(NavigationTest, BlankTargetDroppedWhenNoViewIsReturnedOrPolicyCancels) {
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/"));
  recorder_->clear();
  view->page_tap_link("/about");
  ASSERT_TRUE(pump([&] { return recorder_->events.size() == 2; }));
  recorder_->policy = [](const NavigationAction&) { return ActionPolicy::cancel; };
  view->page_tap_link("/about");
  settle();
  EXPECT_EQ(recorder_->events, (Events{"decide new-window link /about", "create", "decide new-window link /about"}));
  EXPECT_EQ(site_->count("GET", "/about"), 0u);
  EXPECT_FALSE(view->is_loading());
}

TEST_F(NavigationTest, PlainLinkTapIsALinkActivationInTheSameView) {
  boot();
  auto view = make_view();
  view->page_tap_link("/menu");  // no page yet: nothing to resolve against
  settle(std::chrono::milliseconds(100));
  EXPECT_TRUE(recorder_->events.empty());
  ASSERT_TRUE(load_and_wait(*view, "/"));
  recorder_->clear();
  view->page_tap_link("news/42");
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main link /news/42", "start", "commit /news/42", "finish"}));
  ASSERT_TRUE(recorder_->actions[0].source_frame.has_value());
  EXPECT_EQ(recorder_->actions[0].source_frame->request.url->path(), "/");
  EXPECT_EQ(view->title(), "News 42");
}

TEST_F(NavigationTest, ConnectionRefusedFailsBeforeCommit) {
  boot();
  site_->stop();
  auto view = make_view();
  std::vector<PageEvent::Kind> kinds;
  add_page_observer([&](const PageEvent& e) { kinds.push_back(e.kind); });
  ASSERT_TRUE(load_and_wait(*view, "/"));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /", "start", "fail-provisional -1004"}));
  EXPECT_EQ(recorder_->error->domain, "NSURLErrorDomain");
  EXPECT_EQ(kinds, (std::vector<PageEvent::Kind>{PageEvent::Kind::started, PageEvent::Kind::failed}));
  EXPECT_FALSE(view->is_loading());
}

TEST_F(NavigationTest, DroppedConnectionMidBodyFailsAfterCommit) {
  site_->on("GET", "/cut", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_content_provider(100000, "text/html", [](std::size_t, std::size_t, ::testing::fakes::DataSink& sink) {
      sink.write("<title>Cut</title>", 18);
      return false;  // closes the connection with the body unfinished
    });
  });
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/cut"));
  ASSERT_EQ(recorder_->events.size(), 4u) << ::testing::PrintToString(recorder_->events);
  EXPECT_EQ(recorder_->events[2], "commit /cut");
  EXPECT_EQ(recorder_->events[3].rfind("fail -", 0), 0u) << recorder_->events[3];
  EXPECT_EQ(recorder_->failed, 1);
  EXPECT_EQ(recorder_->finished, 0);
}

TEST_F(NavigationTest, HttpErrorStatusCommitsAndFinishes) {
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/missing"));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /missing", "start", "commit /missing", "finish"}));
}

TEST_F(NavigationTest, BackForwardAndReload) {
  boot();
  auto view = make_view();
  EXPECT_EQ(view->reload(), nullptr);
  EXPECT_EQ(view->go_back(), nullptr);
  ASSERT_TRUE(load_and_wait(*view, "/"));
  EXPECT_FALSE(view->can_go_back());
  recorder_->clear();
  view->page_tap_link("/menu");
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_TRUE(view->can_go_back());
  EXPECT_FALSE(view->can_go_forward());

  recorder_->clear();
  ASSERT_NE(view->go_back(), nullptr);
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main back_forward /", "start", "commit /", "finish"}));
  EXPECT_FALSE(view->can_go_back());
  EXPECT_TRUE(view->can_go_forward());

  recorder_->clear();
  view->go_forward();
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events.front(), "decide main back_forward /menu");
  EXPECT_EQ(view->url()->path(), "/menu");

  recorder_->clear();
  view->reload();
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main reload /menu", "start", "commit /menu", "finish"}));
  EXPECT_TRUE(view->can_go_back());
  EXPECT_FALSE(view->can_go_forward()) << "a reload adds no entry";
  EXPECT_EQ(site_->count("GET", "/menu"), 3u);

  // A new load from the middle of the list drops the forward entries.
  view->go_back();
  ASSERT_TRUE(pump([&] { return view->url()->path() == "/" && !view->is_loading(); }));
  ASSERT_TRUE(load_and_wait(*view, "/about"));
  EXPECT_FALSE(view->can_go_forward());
  EXPECT_TRUE(view->can_go_back());
}

TEST_F(NavigationTest, StopLoadingCancelsTheFetch) {
  site_->on("GET", "/slow", site_->held(std::chrono::seconds(10)));
  boot();
  auto view = make_view();
  view->load(request("/slow"));
  // The fetch starts from the main run loop, so the wait turns it.
  ASSERT_TRUE(pump([&] { return site_->count("GET", "/slow") == 1; }));
  view->stop_loading();
  EXPECT_FALSE(view->is_loading());
  EXPECT_EQ(recorder_->events, (Events{"decide main other /slow", "start", "fail-provisional -999"}));
  settle();
  EXPECT_EQ(recorder_->events.size(), 3u);
}

TEST_F(NavigationTest, NewLoadSupersedesThePreviousOne) {
  site_->on("GET", "/slow", site_->held(std::chrono::seconds(10)));
  boot();
  auto view = make_view();
  view->load(request("/menu"));
  view->load(request("/news"));  // the first never reaches its decision
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /news", "start", "commit /news", "finish"}));

  recorder_->clear();
  view->load(request("/slow"));
  ASSERT_TRUE(pump([&] { return site_->count("GET", "/slow") == 1; }));
  view->load(request("/about"));
  ASSERT_TRUE(pump([&] { return recorder_->finished == 1; }));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /slow", "start", "decide main other /about",
                                       "fail-provisional -999", "start", "commit /about", "finish"}));
}

TEST_F(NavigationTest, LoadHtmlFetchesNothing) {
  boot();
  auto view = make_view();
  recorder_->clear();
  view->load_html("<title>Local</title><a href=\"/menu\">m</a>", *Url::parse("https://intranet.example.org/base/"));
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(recorder_->events, (Events{"decide main other /base", "start", "commit /base", "finish"}));
  EXPECT_EQ(view->title(), "Local");
  EXPECT_EQ(site_->count(), 0u);

  recorder_->clear();
  view->load_html("");
  ASSERT_TRUE(pump([&] { return recorder_->done(); }));
  EXPECT_EQ(view->url()->absolute_string(), "about:blank");
  EXPECT_EQ(view->title(), "");
  EXPECT_EQ(view->load(net::Request()), nullptr);
}

TEST_F(NavigationTest, DestroyingTheViewMidLoadIsQuiet) {
  site_->on("GET", "/slow", site_->held(std::chrono::seconds(10)));
  boot();
  {
    auto view = WebView::make();
    view->set_navigation_delegate(recorder_);
    view->load(request("/slow"));
    ASSERT_TRUE(pump([&] { return site_->count("GET", "/slow") == 1; }));
  }
  settle();
  EXPECT_EQ(recorder_->events, (Events{"decide main other /slow", "start"}));
}

}  // namespace
}  // namespace platform::web::test
