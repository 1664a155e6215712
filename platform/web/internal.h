#pragma once
// The page engine shared by WebView and LegacyWebView.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/session.h"
#include "platform/web/observer.h"
#include "platform/web/web_view.h"

namespace platform::web::detail {

void notify_page(const PageEvent& event);
void reset_observers();
void reset_default_store();

// The script rules both views share; nullopt when nothing answers.
std::optional<foundation::Value> evaluate(ui::View* view, const std::string& title, std::string_view script);

// What a view does with the engine's events.
class Host {
 public:
  virtual ~Host() = default;
  virtual ui::View& view() = 0;
  // Must answer exactly once (later answers are ignored by the engine).
  virtual void decide(const NavigationAction& action, std::function<void(ActionPolicy)> handler) = 0;
  virtual void started(Navigation*) {}
  virtual void committed(Navigation*) {}
  virtual void finished(Navigation*) {}
  virtual void failed(Navigation*, const foundation::Error&, bool provisional) = 0;
  // After each response, redirect and completion: cookies may have changed.
  virtual void cookies_changed() {}
};

class Loader : public std::enable_shared_from_this<Loader> {
 public:
  // `host` must outlive the loader's use (the view detaches it in its destructor).
  Loader(Host& host, std::shared_ptr<net::CookieStorage> cookies);
  ~Loader();
  void detach();

  // Queues a main-frame navigation: the decision is asked on a later main-queue
  // turn. A navigation still waiting for its decision is dropped.
  Navigation* start(NavigationAction action, std::optional<std::string> html = std::nullopt,
                    std::optional<int> history_index = std::nullopt);
  Navigation* reload();
  Navigation* go(int delta);
  void stop();

  bool can_go(int delta) const;
  bool is_loading() const { return pending_ || active_; }
  const std::optional<foundation::Url>& url() const { return page_url_; }
  const net::Request& page_request() const { return page_request_; }
  const ScannedPage& document() const { return document_; }
  FrameInfo main_frame() const { return FrameInfo{true, page_request_}; }
  // `href` resolved against the page; nullopt when it is no URL (or relative
  // with no page to resolve against).
  std::optional<foundation::Url> resolve(std::string_view href) const;

  // Session callbacks (main thread).
  void on_redirect(net::Task& task, net::Request next, std::function<void(std::optional<net::Request>)> handler);
  void on_response(net::DataTask& task, const net::Response& response, std::function<void(net::ResponseDisposition)> handler);
  void on_data(net::DataTask& task, const net::Bytes& data);
  void on_complete(net::Task& task, std::optional<foundation::Error> error);

 private:
  struct Load;
  struct Frame;
  struct HistoryItem {
    net::Request request;
    std::optional<std::string> html;
    foundation::Url url;
  };
  struct Route {
    std::uint64_t generation;
    std::shared_ptr<Frame> frame;  // null: the main frame
    std::weak_ptr<net::Task> task;
  };

  void decide_main(std::uint64_t generation);
  void begin_provisional(std::uint64_t generation);
  void commit(const foundation::Url& url);
  void main_body_done();
  void start_frames(const std::vector<std::string>& sources, const foundation::Url& base, int depth);
  void start_frame(std::shared_ptr<Frame> frame);
  void frame_done(const std::shared_ptr<Frame>& frame, std::optional<foundation::Error> error);
  void finish_if_done();
  void fail_active(const foundation::Error& error);
  void cancel_tasks(std::uint64_t generation);
  // Keeps the view alive while the engine calls out.
  std::shared_ptr<rt::Object> hold() const;
  std::shared_ptr<net::DataTask> make_task(const net::Request& request);
  void emit(PageEvent::Kind kind, bool main_frame, const std::string& url, const std::string& error = {});

  Host* host_;
  std::shared_ptr<net::CookieStorage> cookies_;
  std::shared_ptr<net::Session> session_;  // made with the first fetch
  std::uint64_t next_generation_ = 1;
  std::shared_ptr<Load> pending_;  // waiting for its first decision
  std::shared_ptr<Load> active_;   // provisional, committed or loading frames
  std::map<std::uint64_t, Route> routes_;  // task identifier -> what it loads
  std::vector<std::shared_ptr<Navigation>> navigations_;

  std::optional<foundation::Url> page_url_;
  net::Request page_request_;
  ScannedPage document_;
  std::vector<HistoryItem> history_;
  int index_ = -1;
};

}  // namespace platform::web::detail
