#include <algorithm>
#include <atomic>

#include "platform/dispatch/queue.h"
#include "platform/web/internal.h"

namespace platform::web::detail {

namespace {

constexpr std::size_t kMaxBody = 16u << 20;   // bytes of a page kept for scanning
constexpr int kMaxFramesPerLoad = 32;
constexpr int kMaxFrameDepth = 3;
constexpr std::size_t kKeptNavigations = 64;

using foundation::Error;
using foundation::Url;

Error cancelled_error(const std::optional<Url>& url) {
  foundation::Dict info{{std::string(foundation::key_localized_description), foundation::Value("cancelled")}};
  if (url) info.set(std::string(foundation::key_failing_url_string), foundation::Value(url->absolute_string()));
  return Error(std::string(foundation::url_error::domain), foundation::url_error::cancelled, std::move(info));
}

// A redirect refused by the policy.
Error interrupted_error(const std::optional<Url>& url) {
  foundation::Dict info{{std::string(foundation::key_localized_description), foundation::Value("Frame load interrupted")}};
  if (url) info.set(std::string(foundation::key_failing_url_string), foundation::Value(url->absolute_string()));
  return Error("WebKitErrorDomain", 102, std::move(info));
}

bool scannable(const std::shared_ptr<const net::Response>& response) {
  if (!response || !response->mime_type) return true;
  const auto& type = *response->mime_type;
  return type == "text/html" || type == "application/xhtml+xml";
}

bool fetchable(const Url& url) {
  auto scheme = url.scheme();
  if (!scheme) return false;
  std::string s = *scheme;
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s == "http" || s == "https";
}

void append_capped(std::string& body, const net::Bytes& data) {
  if (body.size() >= kMaxBody) return;
  std::size_t n = std::min(data.size(), kMaxBody - body.size());
  body.append(reinterpret_cast<const char*>(data.data()), n);
}

// Routes the session's callbacks to the loader on the main thread. The
// session's own delegate queue only hands them over, so nothing of the
// session ever waits for the main run loop.
class SessionBridge : public net::SessionDelegate {
 public:
  explicit SessionBridge(std::weak_ptr<Loader> loader) : loader_(std::move(loader)) {}

  bool implements(net::Callback cb) const override {
    return cb == net::Callback::task_redirect || cb == net::Callback::data_response ||
           cb == net::Callback::data_received || cb == net::Callback::task_complete;
  }
  void will_perform_redirection(net::Session&, net::Task& task, const net::Response&, net::Request next,
                                std::function<void(std::optional<net::Request>)> handler) override {
    post(task, [next = std::move(next), handler = std::move(handler)](Loader& l, net::Task& t) mutable {
      l.on_redirect(t, std::move(next), std::move(handler));
    }, [handler](net::Task& t) {
      handler(std::nullopt);
      t.cancel();
    });
  }
  void did_receive_response(net::Session&, net::DataTask& task, const net::Response& response,
                            std::function<void(net::ResponseDisposition)> handler) override {
    post(task, [response, handler](Loader& l, net::Task& t) {
      l.on_response(static_cast<net::DataTask&>(t), response, handler);
    }, [handler](net::Task&) { handler(net::ResponseDisposition::cancel); });
  }
  void did_receive_data(net::Session&, net::DataTask& task, const net::Bytes& data) override {
    post(task, [data](Loader& l, net::Task& t) { l.on_data(static_cast<net::DataTask&>(t), data); }, {});
  }
  void did_complete(net::Session&, net::Task& task, std::optional<Error> error) override {
    post(task, [error](Loader& l, net::Task& t) { l.on_complete(t, error); }, {});
  }

 private:
  // Runs `fn` on the main queue while the loader lives, else `orphan`.
  void post(net::Task& task, std::function<void(Loader&, net::Task&)> fn, std::function<void(net::Task&)> orphan) {
    dispatch::Queue::main().async([loader = loader_, keep = task.shared_from_this(), fn = std::move(fn),
                                   orphan = std::move(orphan)] {
      if (auto l = loader.lock()) return fn(*l, *keep);
      if (orphan) orphan(*keep);
    });
  }

  std::weak_ptr<Loader> loader_;
};

// Calls `fn` once, on the main thread (at once when already there).
template <class... A>
std::function<void(A...)> once_on_main(std::function<void(A...)> fn) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  return [done, fn = std::move(fn)](A... args) {
    if (done->exchange(true)) return;
    if (dispatch::is_main_thread()) return fn(args...);
    dispatch::Queue::main().async([fn, args...] { fn(args...); });
  };
}

}  // namespace

struct Loader::Frame {
  std::uint64_t generation = 0;
  net::Request request;
  int depth = 1;
  std::shared_ptr<net::DataTask> task;
  std::shared_ptr<const net::Response> response;
  std::string body;
  bool policy_cancelled = false;
  bool done = false;
};

struct Loader::Load {
  std::uint64_t generation = 0;
  NavigationAction action;
  net::Request request;  // the current hop
  std::shared_ptr<Navigation> navigation;
  std::optional<std::string> html;
  std::optional<int> history_index;
  bool committed = false;
  bool policy_cancelled = false;
  bool body_done = false;
  std::shared_ptr<net::DataTask> task;
  std::shared_ptr<const net::Response> response;
  std::string body;
  int frames_started = 0;
  int pending_frames = 0;
};

Loader::Loader(Host& host, std::shared_ptr<net::CookieStorage> cookies) : host_(&host) {
  cookies_ = std::move(cookies);
}

Loader::~Loader() {
  if (session_) session_->invalidate_and_cancel();
}

void Loader::detach() {
  host_ = nullptr;
  pending_.reset();
  if (active_) cancel_tasks(active_->generation);
  active_.reset();
  if (session_) session_->invalidate_and_cancel();
  session_.reset();
}

std::shared_ptr<rt::Object> Loader::hold() const {
  return host_ ? host_->view().shared_from_this() : nullptr;
}

std::shared_ptr<net::DataTask> Loader::make_task(const net::Request& request) {
  if (!session_) {
    auto configuration = net::Configuration::default_config();
    configuration.cookie_storage = cookies_;
    configuration.http_additional_headers.set("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
    session_ = net::Session::make(std::move(configuration), std::make_shared<SessionBridge>(weak_from_this()));
  }
  return session_->data_task(request);
}

std::optional<Url> Loader::resolve(std::string_view href) const {
  if (page_url_) {
    if (auto u = Url::parse(href, *page_url_)) return u;
  }
  auto u = Url::parse(href);
  if (!u || !u->scheme()) return std::nullopt;  // nothing to resolve a relative reference against
  return u;
}

void Loader::emit(PageEvent::Kind kind, bool main_frame, const std::string& url, const std::string& error) {
  if (!host_) return;
  const bool titled = main_frame && kind == PageEvent::Kind::finished;
  PageEvent event{kind, url, titled ? document_.title : std::string(), main_frame, error, &host_->view()};
  notify_page(event);
}

// ---- main frame ----

Navigation* Loader::start(NavigationAction action, std::optional<std::string> html, std::optional<int> history_index) {
  if (!host_ || !action.request.url) return nullptr;
  auto load = std::make_shared<Load>();
  load->generation = next_generation_++;
  load->request = action.request;
  load->navigation = std::make_shared<Navigation>(action.request, action.type);
  load->action = std::move(action);
  load->html = std::move(html);
  load->history_index = history_index;
  navigations_.push_back(load->navigation);
  if (navigations_.size() > kKeptNavigations) navigations_.erase(navigations_.begin());
  pending_ = load;
  std::weak_ptr<Loader> weak = weak_from_this();
  dispatch::Queue::main().async([weak, generation = load->generation] {
    if (auto l = weak.lock()) l->decide_main(generation);
  });
  return load->navigation.get();
}

void Loader::decide_main(std::uint64_t generation) {
  if (!host_ || !pending_ || pending_->generation != generation) return;
  auto keep = hold();
  auto load = pending_;  // the action outlives a load() the delegate starts meanwhile
  std::weak_ptr<Loader> weak = weak_from_this();
  host_->decide(load->action, once_on_main(std::function<void(ActionPolicy)>([weak, generation](ActionPolicy policy) {
    auto l = weak.lock();
    if (!l || !l->pending_ || l->pending_->generation != generation) return;
    if (policy == ActionPolicy::allow) {
      l->begin_provisional(generation);
    } else {
      l->pending_.reset();
    }
  })));
}

void Loader::begin_provisional(std::uint64_t generation) {
  auto keep = hold();
  auto load = std::move(pending_);
  if (active_) fail_active(cancelled_error(active_->request.url));
  if (!host_ || pending_) return;  // the host moved on meanwhile
  active_ = load;
  host_->started(load->navigation.get());
  if (active_ != load) return;
  emit(PageEvent::Kind::started, true, load->request.url->absolute_string());
  if (load->html) {
    commit(*load->request.url);
    if (active_ != load) return;
    load->body = std::move(*load->html);
    load->html.reset();
    main_body_done();
    return;
  }
  net::Request request = load->request;
  request.main_document_url = request.url;
  load->task = make_task(request);
  routes_[load->task->identifier()] = Route{generation, nullptr, load->task};
  load->task->resume();
}

void Loader::commit(const Url& url) {
  auto load = active_;
  load->committed = true;
  page_url_ = url;
  page_request_ = load->request;
  page_request_.url = url;
  document_ = {};
  const auto type = load->action.type;
  if (load->history_index && *load->history_index >= 0 && static_cast<std::size_t>(*load->history_index) < history_.size()) {
    index_ = *load->history_index;
    history_[index_].url = url;
  } else if ((type == NavigationType::reload || type == NavigationType::form_resubmitted) && index_ >= 0) {
    history_[index_].url = url;
  } else {
    history_.resize(static_cast<std::size_t>(index_ + 1));
    history_.push_back(HistoryItem{load->action.request, load->html, url});
    index_ = static_cast<int>(history_.size()) - 1;
  }
  host_->committed(load->navigation.get());
  if (active_ == load) emit(PageEvent::Kind::committed, true, url.absolute_string());
}

void Loader::main_body_done() {
  auto load = active_;
  document_ = scannable(load->response) ? scan_html(load->body) : ScannedPage{};
  load->body.clear();
  load->body.shrink_to_fit();
  load->body_done = true;
  start_frames(document_.iframes, *page_url_, 1);
  finish_if_done();
}

void Loader::finish_if_done() {
  auto load = active_;
  if (!load || !load->body_done || load->pending_frames > 0) return;
  active_.reset();
  const std::string url = page_url_ ? page_url_->absolute_string() : std::string();
  if (!host_) return;
  host_->finished(load->navigation.get());
  emit(PageEvent::Kind::finished, true, url);
}

void Loader::fail_active(const Error& error) {
  auto load = std::move(active_);
  if (!load) return;
  cancel_tasks(load->generation);
  const bool provisional = !load->committed;
  const std::string url = load->request.url ? load->request.url->absolute_string() : std::string();
  if (!host_) return;
  host_->failed(load->navigation.get(), error, provisional);
  emit(PageEvent::Kind::failed, true, url, error.localized_description());
}

void Loader::cancel_tasks(std::uint64_t generation) {
  for (auto it = routes_.begin(); it != routes_.end();) {
    if (it->second.generation == generation) {
      if (auto task = it->second.task.lock()) task->cancel();
      it = routes_.erase(it);
    } else {
      ++it;
    }
  }
}

void Loader::stop() {
  pending_.reset();
  if (active_) {
    auto keep = hold();
    fail_active(cancelled_error(active_->request.url));
  }
}

// ---- history ----

bool Loader::can_go(int delta) const {
  long target = static_cast<long>(index_) + delta;
  return index_ >= 0 && target >= 0 && target < static_cast<long>(history_.size());
}

Navigation* Loader::go(int delta) {
  if (!can_go(delta)) return nullptr;
  const int target = index_ + delta;
  const auto& item = history_[target];
  net::Request request = item.request;
  request.url = item.url;
  NavigationAction action{request, NavigationType::back_forward, std::nullopt, FrameInfo{true, request}};
  if (page_url_) action.source_frame = main_frame();
  return start(std::move(action), item.html, target);
}

Navigation* Loader::reload() {
  if (index_ < 0) return nullptr;
  const auto& item = history_[index_];
  net::Request request = item.request;
  request.url = item.url;
  // Reloading the answer to a form post sends the form again.
  const auto type = request.method == "POST" ? NavigationType::form_resubmitted : NavigationType::reload;
  NavigationAction action{request, type, main_frame(), FrameInfo{true, request}};
  return start(std::move(action), item.html);
}

// ---- frames ----

void Loader::start_frames(const std::vector<std::string>& sources, const Url& base, int depth) {
  auto load = active_;
  if (!load || depth > kMaxFrameDepth) return;
  std::vector<std::shared_ptr<Frame>> frames;
  for (const auto& source : sources) {
    if (load->frames_started >= kMaxFramesPerLoad) break;
    auto url = Url::parse(source, base);
    if (!url || !fetchable(*url)) continue;
    auto frame = std::make_shared<Frame>();
    frame->generation = load->generation;
    frame->request = net::Request(*url);
    frame->request.main_document_url = page_url_;
    frame->depth = depth;
    ++load->frames_started;
    ++load->pending_frames;  // all counted before any decision, so none finishes the load early
    frames.push_back(std::move(frame));
  }
  std::weak_ptr<Loader> weak = weak_from_this();
  for (auto& frame : frames) {
    if (!host_ || active_ != load) return;
    NavigationAction action{frame->request, NavigationType::other, main_frame(), FrameInfo{false, frame->request}};
    host_->decide(action, once_on_main(std::function<void(ActionPolicy)>([weak, frame](ActionPolicy policy) {
      auto l = weak.lock();
      if (!l) return;
      auto keep = l->hold();
      if (policy == ActionPolicy::allow) l->start_frame(frame);
      else l->frame_done(frame, std::nullopt);
    })));
  }
}

void Loader::start_frame(std::shared_ptr<Frame> frame) {
  if (!active_ || active_->generation != frame->generation || frame->done) return;
  frame->task = make_task(frame->request);
  routes_[frame->task->identifier()] = Route{frame->generation, frame, frame->task};
  emit(PageEvent::Kind::started, false, frame->request.url->absolute_string());
  frame->task->resume();
}

void Loader::frame_done(const std::shared_ptr<Frame>& frame, std::optional<Error> error) {
  if (frame->done) return;
  frame->done = true;
  auto load = active_;
  if (!load || load->generation != frame->generation) return;
  if (frame->task) {
    if (!error && scannable(frame->response)) {
      auto base = frame->response ? frame->response->url : *frame->request.url;
      start_frames(scan_html(frame->body).iframes, base, frame->depth + 1);
    }
    frame->body.clear();
    emit(error ? PageEvent::Kind::failed : PageEvent::Kind::finished, false, frame->request.url->absolute_string(),
         error ? error->localized_description() : std::string());
  }
  if (active_ != load) return;
  --load->pending_frames;
  finish_if_done();
}

// ---- session callbacks ----

void Loader::on_redirect(net::Task& task, net::Request next, std::function<void(std::optional<net::Request>)> handler) {
  auto it = routes_.find(task.identifier());
  if (!host_ || it == routes_.end() || !next.url) {
    handler(std::nullopt);
    task.cancel();
    return;
  }
  auto keep = hold();
  host_->cookies_changed();
  Route route = it->second;
  NavigationAction action;
  if (route.frame) {
    next.main_document_url = page_url_;
    route.frame->request = next;
    action = NavigationAction{next, NavigationType::other, main_frame(), FrameInfo{false, next}};
  } else {
    if (!active_ || active_->generation != route.generation) {
      handler(std::nullopt);
      task.cancel();
      return;
    }
    next.main_document_url = next.url;
    active_->request = next;
    action = NavigationAction{next, NavigationType::other, std::nullopt, FrameInfo{true, next}};
    if (page_url_) action.source_frame = main_frame();
  }
  auto task_ref = task.shared_from_this();
  std::weak_ptr<Loader> weak = weak_from_this();
  host_->decide(action, once_on_main(std::function<void(ActionPolicy)>(
                            [weak, route, task_ref, next, handler = std::move(handler)](ActionPolicy policy) {
                              if (policy == ActionPolicy::allow) return handler(next);
                              if (auto l = weak.lock()) {
                                if (route.frame) route.frame->policy_cancelled = true;
                                else if (l->active_ && l->active_->generation == route.generation) l->active_->policy_cancelled = true;
                              }
                              handler(std::nullopt);
                              task_ref->cancel();
                            })));
}

void Loader::on_response(net::DataTask& task, const net::Response& response,
                         std::function<void(net::ResponseDisposition)> handler) {
  auto it = routes_.find(task.identifier());
  if (!host_ || it == routes_.end()) return handler(net::ResponseDisposition::cancel);
  auto keep = hold();
  host_->cookies_changed();
  Route route = it->second;
  // A refused redirect ends with its 3xx response: that is no page.
  const bool refused = route.frame ? route.frame->policy_cancelled
                                   : (!active_ || active_->generation != route.generation || active_->policy_cancelled);
  if (refused) return handler(net::ResponseDisposition::cancel);
  auto kept = std::make_shared<const net::Response>(response);
  handler(net::ResponseDisposition::allow);
  if (route.frame) {
    route.frame->response = kept;
    return;
  }
  active_->response = kept;
  if (!active_->committed) commit(response.url);
}

void Loader::on_data(net::DataTask& task, const net::Bytes& data) {
  auto it = routes_.find(task.identifier());
  if (it == routes_.end()) return;
  if (it->second.frame) return append_capped(it->second.frame->body, data);
  if (active_ && active_->generation == it->second.generation) append_capped(active_->body, data);
}

void Loader::on_complete(net::Task& task, std::optional<Error> error) {
  auto it = routes_.find(task.identifier());
  if (!host_ || it == routes_.end()) return;
  Route route = it->second;
  routes_.erase(it);
  auto keep = hold();
  host_->cookies_changed();
  if (route.frame) {
    if (error && route.frame->policy_cancelled) error = interrupted_error(route.frame->request.url);
    return frame_done(route.frame, std::move(error));
  }
  auto load = active_;
  if (!load || load->generation != route.generation) return;
  if (error) {
    if (load->policy_cancelled) error = interrupted_error(load->request.url);
    return fail_active(*error);
  }
  if (!load->committed) {
    commit(load->response ? load->response->url : *load->request.url);
    if (active_ != load) return;
  }
  main_body_done();
}

}  // namespace platform::web::detail
