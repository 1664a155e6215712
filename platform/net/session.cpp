#include "platform/net/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/dispatch/queue.h"
#include "platform/net/session_internal.h"
#include "platform/net/testing_reset.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/runtime/runtime.h"

namespace platform::net {

using foundation::Error;
using foundation::Url;
namespace ue = foundation::url_error;

// ---- configuration ------------------------------------------------------------

Configuration Configuration::default_config() {
  Configuration c;
  c.cookie_storage = CookieStorage::shared();
  return c;
}

Configuration Configuration::ephemeral() {
  Configuration c;
  c.cookie_storage = CookieStorage::make_in_memory();
  return c;
}

Configuration Configuration::background(std::string identifier) {
  Configuration c = default_config();
  c.identifier = std::move(identifier);
  return c;
}

// ---- delegate defaults ----------------------------------------------------------

SessionDelegate::~SessionDelegate() = default;

void SessionDelegate::did_receive_challenge(Session&, const Challenge&, ChallengeHandler handler) {
  handler(AuthDisposition::perform_default, std::nullopt);
}
void SessionDelegate::will_perform_redirection(Session&, Task&, const Response&, Request new_request,
                                               std::function<void(std::optional<Request>)> handler) {
  handler(std::move(new_request));
}
void SessionDelegate::task_did_receive_challenge(Session&, Task&, const Challenge&, ChallengeHandler handler) {
  handler(AuthDisposition::perform_default, std::nullopt);
}
void SessionDelegate::need_new_body_stream(Session&, Task&, std::function<void(std::shared_ptr<foundation::InputStream>)> handler) {
  handler(nullptr);
}
void SessionDelegate::did_receive_response(Session&, DataTask&, const Response&, std::function<void(ResponseDisposition)> handler) {
  handler(ResponseDisposition::allow);
}
void SessionDelegate::will_cache_response(Session&, DataTask&, CachedResponse proposed,
                                          std::function<void(std::optional<CachedResponse>)> handler) {
  handler(std::move(proposed));
}

namespace detail {

namespace {

std::mutex registry_mutex;
std::vector<std::weak_ptr<SessionCore>>& all_cores() {
  static auto* cores = new std::vector<std::weak_ptr<SessionCore>>();
  return *cores;
}
std::shared_ptr<Session>& shared_session() {
  static auto* s = new std::shared_ptr<Session>();
  return *s;
}

void lock_share(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<SessionCore*>(user)->share_locks[static_cast<std::size_t>(data)].lock();
}
void unlock_share(CURL*, curl_lock_data data, void* user) {
  static_cast<SessionCore*>(user)->share_locks[static_cast<std::size_t>(data)].unlock();
}

std::string host_key(const std::optional<Url>& url) {
  if (!url) return {};
  return url->scheme().value_or("") + "://" + url->host().value_or("") + ":" + std::to_string(url->port().value_or(0));
}

}  // namespace

SessionCore::SessionCore(Configuration c, std::shared_ptr<SessionDelegate> d, std::shared_ptr<dispatch::OperationQueue> q)
    : config(std::move(c)), queue(std::move(q)), delegate(std::move(d)) {
  (void)Engine::shared();  // curl is initialised
  share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &lock_share);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &unlock_share);
  curl_share_setopt(share, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

SessionCore::~SessionCore() {
  if (network_observer) os::remove_network_observer(network_observer);
  for (CURL* easy : easy_pool) curl_easy_cleanup(easy);
  curl_share_cleanup(share);
}

CURL* SessionCore::acquire_easy() {
  {
    std::lock_guard lk(easy_m);
    if (!easy_pool.empty()) {
      CURL* easy = easy_pool.back();
      easy_pool.pop_back();
      return easy;
    }
  }
  CURL* easy = curl_easy_init();
  if (!easy) throw std::bad_alloc();
  return easy;
}

void SessionCore::release_easy(CURL* easy) {
  if (!easy) return;
  std::lock_guard lk(easy_m);
  easy_pool.push_back(easy);
}

std::shared_ptr<SessionDelegate> SessionCore::delegate_snapshot() {
  std::lock_guard lk(m);
  return delegate;
}

bool SessionCore::implements(Callback cb) {
  auto d = delegate_snapshot();
  return d && d->implements(cb);
}

DeferredDrain*& worker_deferred_drain() {
  thread_local DeferredDrain* slot = nullptr;
  return slot;
}

void SessionCore::post(std::function<void(Session&, SessionDelegate*)> fn, bool from_worker) {
  auto session = owner.lock();
  if (!session) return;
  {
    std::lock_guard lk(calls_m);
    calls.push_back(std::move(fn));
    if (draining) return;
    draining = true;
  }
  DeferredDrain* deferred = from_worker ? worker_deferred_drain() : nullptr;
  if (deferred && !deferred->core) {
    deferred->core = shared_from_this();
    deferred->session = std::move(session);
    return;
  }
  queue->add([self = shared_from_this(), session = std::move(session)] { self->drain_calls(*session); });
}

void SessionCore::drain_here_or_queue(const std::shared_ptr<Session>& session) {
  auto self = shared_from_this();
  if (queue->try_run_here([&self, &session] { self->drain_calls(*session); })) return;
  queue->add([self, session] { self->drain_calls(*session); });
}

void SessionCore::drain_calls(Session& session) {
  constexpr int kBatch = 64;  // then the queue's other operations get a turn
  for (int n = 0; n < kBatch; ++n) {
    std::function<void(Session&, SessionDelegate*)> fn;
    {
      std::lock_guard lk(calls_m);
      if (calls.empty()) {
        draining = false;
        return;
      }
      fn = std::move(calls.front());
      calls.pop_front();
    }
    auto d = delegate_snapshot();
    fn(session, d.get());
  }
  queue->add([self = shared_from_this(), session = std::static_pointer_cast<Session>(session.shared_from_this())] {
    self->drain_calls(*session);
  });
}

void SessionCore::start(const std::shared_ptr<Task>& task) {
  std::optional<Error> fail;
  {
    std::lock_guard lk(m);
    unstarted.erase(task->identifier());
    started[task->identifier()] = task;
    if (!keep_alive) keep_alive = owner.lock();
    if (validity != Validity::valid && !is_shared) {
      fail = url_error(ue::cancelled, "The session was invalidated.", task->original_request() ? task->original_request()->url : std::nullopt);
    }
  }
  auto& tr = *task->transfer_;
  if (!fail && tr.fail_at_start) fail = tr.fail_at_start;
  bool cancelled;
  {
    std::lock_guard lk(task->m_);
    cancelled = task->cancelled_;
  }
  auto url = task->original_request() ? task->original_request()->url : std::nullopt;
  if (!fail && cancelled) fail = url_error(ue::cancelled, {}, url);
  if (!fail && !os::network_state().reachable) fail = url_error(ue::not_connected_to_internet, {}, url);
  if (fail) {
    complete(task, fail);
    return;
  }
  if (task->kind() == Task::Kind::stream) {
    if (task->cancel_hook_) task->cancel_hook_(std::nullopt);
    return;
  }
  tr.host_key = host_key(url);
  Engine::shared().submit(task);
}

void SessionCore::complete(const std::shared_ptr<Task>& task, std::optional<Error> error, std::optional<Bytes> data,
                           std::optional<Url> location, std::optional<TaskMetrics> metrics, bool from_worker) {
  {
    std::lock_guard lk(task->m_);
    if (task->finished_) return;
    task->finished_ = true;
  }
  auto self = shared_from_this();
  post([self, task, error, data = std::move(data), location, metrics = std::move(metrics)](Session& s, SessionDelegate* d) {
    {
      std::lock_guard lk(task->m_);
      task->state_ = TaskState::completed;
      task->error_ = error;
    }
    auto& tr = *task->transfer_;
    auto response = task->response();
    if (location) {
      if (tr.download_completion) tr.download_completion(location, response, std::nullopt);
      else if (d && d->implements(Callback::download_finished))
        d->did_finish_downloading(s, static_cast<DownloadTask&>(*task), *location);
      std::error_code ec;
      std::filesystem::remove(location->file_path(), ec);
    }
    if (metrics && d && d->implements(Callback::task_metrics)) d->did_finish_collecting_metrics(s, *task, *metrics);
    if (tr.data_completion) {
      tr.data_completion(error ? std::nullopt : std::optional<Bytes>(data.value_or(Bytes{})), response, error);
    } else if (tr.download_completion) {
      if (!location) tr.download_completion(std::nullopt, response, error);
    } else if (d && d->implements(Callback::task_complete)) {
      d->did_complete(s, *task, error);
    }
    self->task_done(task->identifier());
  }, from_worker);
}

void SessionCore::complete_silently(const std::shared_ptr<Task>& task) {
  {
    std::lock_guard lk(task->m_);
    task->finished_ = true;
  }
  auto self = shared_from_this();
  post([self, task](Session&, SessionDelegate*) {
    {
      std::lock_guard lk(task->m_);
      task->state_ = TaskState::completed;
    }
    self->task_done(task->identifier());
  });
}

std::shared_ptr<Task> SessionCore::adopt_download(const std::shared_ptr<Task>& data_task, const Response& response) {
  std::uint64_t id;
  {
    std::lock_guard lk(m);
    id = next_id++;
  }
  auto download = std::make_shared<DownloadTask>(shared_from_this(), id, data_task->current_request());
  download->transfer_ = data_task->transfer_;
  {
    std::lock_guard lk(download->m_);
    download->state_ = TaskState::running;
    download->started_ = true;
    download->response_ = std::make_shared<const Response>(response);
    download->expected_receive_ = response.expected_content_length;
  }
  std::lock_guard lk(m);
  started[id] = download;
  return download;
}

void SessionCore::task_done(std::uint64_t id) {
  std::shared_ptr<Session> release;
  std::unique_lock lk(m);
  started.erase(id);
  if (!started.empty()) return;
  if (background_events_pending) {
    background_events_pending = false;
    lk.unlock();
    post([](Session& s, SessionDelegate* d) {
      if (d && d->implements(Callback::background_events_finished)) d->did_finish_events_for_background_session(s);
    });
    lk.lock();
  }
  maybe_finish_invalidation_locked(lk);
  if (started.empty()) release = std::move(keep_alive);
  lk.unlock();
}

void SessionCore::maybe_finish_invalidation_locked(std::unique_lock<std::mutex>& lk) {
  if (validity != Validity::finishing || !started.empty()) return;
  validity = Validity::invalid;
  auto self = shared_from_this();
  lk.unlock();
  post([self](Session& s, SessionDelegate* d) {
    if (d && d->implements(Callback::session_invalid)) d->did_become_invalid(s, std::nullopt);
    std::shared_ptr<SessionDelegate> released;
    std::lock_guard g(self->m);
    released = std::move(self->delegate);
  });
  lk.lock();
}

void SessionCore::network_changed(bool reachable) {
  if (reachable) return;
  std::vector<std::shared_ptr<Task>> tasks;
  {
    std::lock_guard lk(m);
    for (auto& [id, t] : started) tasks.push_back(t);
  }
  for (auto& t : tasks) {
    t->transfer_->network_lost = true;
    t->cv_.notify_all();
    if (t->kind() == Task::Kind::stream) t->cancel();
  }
}

void reset_for_testing() {
  std::vector<std::shared_ptr<SessionCore>> cores;
  {
    std::lock_guard lk(registry_mutex);
    for (auto& w : all_cores()) {
      if (auto c = w.lock()) cores.push_back(std::move(c));
    }
    all_cores().clear();
    shared_session().reset();
  }
  for (auto& c : cores) {
    std::vector<std::shared_ptr<Task>> tasks;
    {
      std::lock_guard lk(c->m);
      for (auto& [id, t] : c->started) tasks.push_back(t);
    }
    for (auto& t : tasks) t->cancel();
  }
  reset_sync_session();
  Engine::shared().shutdown();
  for (auto& c : cores) {
    if (!c->queue) continue;
    // The main operation queue drains only on the main run loop: waiting for it
    // there would never end. Its operations go with the dispatch reset.
    if (c->queue.get() == &dispatch::OperationQueue::main() && dispatch::is_main_thread()) continue;
    c->queue->wait_until_all_finished();
  }
  // Tasks the shutdown dropped from the queue never complete: let go of them
  // and of the session they keep alive.
  for (auto& c : cores) {
    std::map<std::uint64_t, std::shared_ptr<Task>> dropped;
    std::shared_ptr<Session> session;
    {
      std::lock_guard lk(c->m);
      dropped.swap(c->started);
      session = std::move(c->keep_alive);
    }
  }
}

void register_core(const std::shared_ptr<SessionCore>& core) {
  std::lock_guard lk(registry_mutex);
  auto& cores = all_cores();
  std::erase_if(cores, [](const std::weak_ptr<SessionCore>& w) { return w.expired(); });
  cores.push_back(core);
}

std::shared_ptr<SessionCore> find_background(std::string_view identifier) {
  std::lock_guard lk(registry_mutex);
  for (auto& w : all_cores()) {
    auto c = w.lock();
    if (c && c->config.identifier && *c->config.identifier == identifier && !c->owner.expired()) return c;
  }
  return nullptr;
}

}  // namespace detail

std::size_t tasks_in_flight() {
  std::vector<std::shared_ptr<detail::SessionCore>> cores;
  {
    std::lock_guard lk(detail::registry_mutex);
    for (auto& w : detail::all_cores()) {
      if (auto c = w.lock()) cores.push_back(std::move(c));
    }
  }
  std::vector<std::shared_ptr<Task>> tasks;
  for (auto& c : cores) {
    std::lock_guard lk(c->m);
    for (auto& [id, t] : c->started) tasks.push_back(t);
  }
  // A task leaves `started` once its completion has been delivered.
  return static_cast<std::size_t>(std::count_if(tasks.begin(), tasks.end(), [](const std::shared_ptr<Task>& t) {
    return t->state() != TaskState::suspended;
  }));
}

void reset_for_testing() {
  detail::reset_for_testing();
  reset_cookie_storage_for_testing();
  reset_credential_storage_for_testing();
}

// ---- tasks ----------------------------------------------------------------------

Task::Task(Kind kind, std::shared_ptr<detail::SessionCore> session, std::uint64_t id, std::optional<Request> request)
    : kind_(kind), session_(std::move(session)), identifier_(id), original_(request), current_(std::move(request)),
      transfer_(std::make_shared<detail::Transfer>()) {}

Task::~Task() = default;

TaskState Task::state() const {
  std::lock_guard lk(m_);
  return state_;
}
std::optional<Request> Task::original_request() const {
  std::lock_guard lk(m_);
  return original_;
}
std::optional<Request> Task::current_request() const {
  std::lock_guard lk(m_);
  return current_;
}
std::shared_ptr<const Response> Task::response() const {
  std::lock_guard lk(m_);
  return response_;
}
std::optional<Error> Task::error() const {
  std::lock_guard lk(m_);
  return error_;
}
std::int64_t Task::bytes_received() const {
  std::lock_guard lk(m_);
  return received_;
}
std::int64_t Task::bytes_sent() const {
  std::lock_guard lk(m_);
  return sent_;
}
std::int64_t Task::bytes_expected_to_send() const {
  std::lock_guard lk(m_);
  return expected_send_;
}
std::int64_t Task::bytes_expected_to_receive() const {
  std::lock_guard lk(m_);
  return expected_receive_;
}

void Task::resume() {
  std::unique_lock lk(m_);
  if (finished_ || cancelled_ || state_ == TaskState::running) return;
  state_ = TaskState::running;
  bool first = !started_;
  started_ = true;
  lk.unlock();
  cv_.notify_all();
  if (first) session_->start(shared_from_this());
  else detail::Engine::shared().wake();
}

void Task::suspend() {
  std::lock_guard lk(m_);
  if (finished_ || cancelled_) return;
  if (state_ == TaskState::running) state_ = TaskState::suspended;
}

void Task::cancel() {
  std::unique_lock lk(m_);
  if (finished_ || cancelled_) return;
  cancelled_ = true;
  state_ = TaskState::canceling;
  bool was_started = started_;
  started_ = true;
  auto hook = cancel_hook_;
  lk.unlock();
  cv_.notify_all();
  if (!was_started) {
    session_->start(shared_from_this());
    return;
  }
  if (hook && kind_ == Kind::stream) {
    hook(detail::url_error(ue::cancelled, {}, std::nullopt));
    return;
  }
  detail::Engine::shared().wake();
}

void DownloadTask::cancel_producing_resume_data(std::function<void(std::optional<Bytes>)> handler) {
  bool run_now = false;
  {
    std::lock_guard lk(m_);
    if (finished_ || cancelled_ || !started_) run_now = true;
    else transfer_->resume_data_handler = std::move(handler);
  }
  if (run_now) {
    auto h = std::move(handler);
    session_->post([h](Session&, SessionDelegate*) {
      if (h) h(std::nullopt);
    });
  }
  cancel();
}

// ---- stream tasks --------------------------------------------------------------

struct StreamTask::Impl {
  std::string host;
  int port = 0;
  bool service = false;
  dispatch::Queue queue = dispatch::Queue::serial("platform.net.stream-task");
  std::mutex m;
  int fd = -1;
  std::optional<Error> error;
  bool read_closed = false, write_closed = false, done = false;

  ~Impl() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

std::optional<Error> connect_stream(StreamTask::Impl& impl, double timeout) {
  std::string host = impl.host;
  int port = impl.port;
  auto mapped = os::profile().hosts.find(host + ":" + std::to_string(port));
  if (mapped != os::profile().hosts.end()) {
    auto colon = mapped->second.rfind(':');
    host = mapped->second.substr(0, colon);
    port = std::atoi(mapped->second.substr(colon + 1).c_str());
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res) {
    return detail::url_error(ue::cannot_find_host, {}, std::nullopt);
  }
  std::optional<Error> err = detail::url_error(ue::cannot_connect_to_host, {}, std::nullopt);
  for (auto* ai = res; ai; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) continue;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int soerr = 0;
      socklen_t len = sizeof soerr;
      if (::poll(&p, 1, static_cast<int>(timeout * 1000)) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 &&
          soerr == 0) {
        rc = 0;
      } else if (soerr == 0) {
        err = detail::url_error(ue::timed_out, {}, std::nullopt);
      }
    }
    if (rc == 0) {
      std::lock_guard lk(impl.m);
      impl.fd = fd;
      err.reset();
      break;
    }
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return err;
}

}  // namespace

StreamTask::StreamTask(std::shared_ptr<detail::SessionCore> s, std::uint64_t id, std::string host, int port)
    : Task(Kind::stream, std::move(s), id, std::nullopt), impl_(std::make_shared<Impl>()) {
  impl_->host = std::move(host);
  impl_->port = port;
  // Called at start (nullopt: connect) and at cancel (the error).
  cancel_hook_ = [this](std::optional<Error> err) {
    auto self = std::static_pointer_cast<StreamTask>(shared_from_this());
    auto impl = impl_;
    if (!err) {
      double timeout = session_->config.timeout_for_request;
      impl->queue.async([self, impl, timeout] {
        if (impl->service) {
          impl->error = detail::url_error(ue::unsupported_url, "Service discovery is not available.", std::nullopt);
        } else {
          impl->error = connect_stream(*impl, timeout);
        }
        if (impl->error) {
          impl->done = true;
          self->session_->complete(self, impl->error);
        }
      });
      return;
    }
    impl->queue.async([self, impl, err] {
      {
        std::lock_guard lk(impl->m);
        if (impl->fd >= 0) ::shutdown(impl->fd, SHUT_RDWR);
        if (!impl->error) impl->error = err;
        if (impl->done) return;
        impl->done = true;
      }
      self->session_->complete(self, err);
    });
  };
}

StreamTask::~StreamTask() = default;

void StreamTask::read(std::size_t min, std::size_t max, double timeout,
                      std::function<void(Bytes, bool, std::optional<Error>)> completion) {
  auto self = std::static_pointer_cast<StreamTask>(shared_from_this());
  auto impl = impl_;
  impl->queue.async([self, impl, min, max, timeout, completion = std::move(completion)] {
    Bytes out;
    bool eof = false;
    std::optional<Error> err = impl->error;
    int fd;
    {
      std::lock_guard lk(impl->m);
      fd = impl->fd;
    }
    if (!err && fd < 0) err = detail::url_error(ue::cannot_connect_to_host, {}, std::nullopt);
    auto deadline = detail::Clock::now() + std::chrono::duration_cast<detail::Clock::duration>(std::chrono::duration<double>(timeout));
    while (!err && !eof && out.size() < std::max<std::size_t>(min, 1) && out.size() < max) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - detail::Clock::now()).count();
      if (left <= 0) {
        err = detail::url_error(ue::timed_out, {}, std::nullopt);
        break;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
      std::uint8_t buf[16384];
      auto n = ::recv(fd, buf, std::min(sizeof buf, max - out.size()), 0);
      if (n == 0) eof = true;
      else if (n < 0 && errno != EAGAIN && errno != EINTR) err = detail::url_error(ue::network_connection_lost, {}, std::nullopt);
      else if (n > 0) out.insert(out.end(), buf, buf + n);
    }
    self->session_->post([completion, out = std::move(out), eof, err](Session&, SessionDelegate*) { completion(out, eof, err); });
  });
}

void StreamTask::write(Bytes data, double timeout, std::function<void(std::optional<Error>)> completion) {
  auto self = std::static_pointer_cast<StreamTask>(shared_from_this());
  auto impl = impl_;
  impl->queue.async([self, impl, data = std::move(data), timeout, completion = std::move(completion)] {
    std::optional<Error> err = impl->error;
    int fd;
    {
      std::lock_guard lk(impl->m);
      fd = impl->fd;
    }
    if (!err && fd < 0) err = detail::url_error(ue::cannot_connect_to_host, {}, std::nullopt);
    auto deadline = detail::Clock::now() + std::chrono::duration_cast<detail::Clock::duration>(std::chrono::duration<double>(timeout));
    std::size_t off = 0;
    while (!err && off < data.size()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - detail::Clock::now()).count();
      if (left <= 0) {
        err = detail::url_error(ue::timed_out, {}, std::nullopt);
        break;
      }
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
      auto n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) err = detail::url_error(ue::network_connection_lost, {}, std::nullopt);
      else if (n > 0) off += static_cast<std::size_t>(n);
    }
    self->session_->post([completion, err](Session&, SessionDelegate*) { completion(err); });
  });
}

namespace {
void close_half(const std::shared_ptr<StreamTask>& self, const std::shared_ptr<StreamTask::Impl>& impl, bool read_side,
                const std::shared_ptr<detail::SessionCore>& core) {
  impl->queue.async([self, impl, read_side, core] {
    bool both;
    {
      std::lock_guard lk(impl->m);
      if (impl->fd >= 0) ::shutdown(impl->fd, read_side ? SHUT_RD : SHUT_WR);
      (read_side ? impl->read_closed : impl->write_closed) = true;
      both = impl->read_closed && impl->write_closed && !impl->done;
      if (both) impl->done = true;
    }
    core->post([self, read_side](Session& s, SessionDelegate* d) {
      auto cb = read_side ? Callback::stream_read_closed : Callback::stream_write_closed;
      if (!d || !d->implements(cb)) return;
      if (read_side) d->read_closed(s, *self);
      else d->write_closed(s, *self);
    });
    if (both) core->complete(self, std::nullopt);
  });
}
}  // namespace

void StreamTask::close_read() {
  close_half(std::static_pointer_cast<StreamTask>(shared_from_this()), impl_, true, session_);
}
void StreamTask::close_write() {
  close_half(std::static_pointer_cast<StreamTask>(shared_from_this()), impl_, false, session_);
}

// ---- sessions -------------------------------------------------------------------

Session::Session(rt::Class& cls, std::shared_ptr<detail::SessionCore> core) : rt::Object(cls), core_(std::move(core)) {}

Session::~Session() = default;

std::shared_ptr<Session> Session::make(Configuration configuration, std::shared_ptr<SessionDelegate> delegate,
                                       std::shared_ptr<dispatch::OperationQueue> delegate_queue) {
  register_runtime_classes();
  auto* cls = rt::Runtime::shared().find("NSURLSession");
  if (!delegate_queue) {
    delegate_queue = std::make_shared<dispatch::OperationQueue>("platform.net.session-delegate");
    delegate_queue->set_max_concurrent(1);
  }
  auto core = std::make_shared<detail::SessionCore>(std::move(configuration), std::move(delegate), std::move(delegate_queue));
  auto session = std::make_shared<Session>(*cls, core);
  core->owner = session;
  std::weak_ptr<detail::SessionCore> weak = core;
  core->network_observer = os::add_network_observer([weak](const os::NetworkState& state) {
    if (auto c = weak.lock()) c->network_changed(state.reachable);
  });
  detail::register_core(core);
  return session;
}

std::shared_ptr<Session> Session::shared() {
  static std::mutex shared_mutex;
  std::lock_guard lk(shared_mutex);
  {
    std::lock_guard registry(detail::registry_mutex);
    if (auto& s = detail::shared_session()) return s;
  }
  auto made = make(Configuration::default_config());
  made->core_->is_shared = true;
  std::lock_guard registry(detail::registry_mutex);
  auto& s = detail::shared_session();
  s = made;
  return s;
}

const Configuration& Session::configuration() const { return core_->config; }
SessionDelegate* Session::delegate() const { return core_->delegate_snapshot().get(); }
dispatch::OperationQueue& Session::delegate_queue() { return *core_->queue; }

namespace {
template <class T>
std::shared_ptr<T> new_task(const std::shared_ptr<detail::SessionCore>& core, std::optional<Request> request) {
  std::uint64_t id;
  {
    std::lock_guard lk(core->m);
    id = core->next_id++;
  }
  if (request && request->cache_policy == CachePolicy::use_protocol) request->cache_policy = core->config.request_cache_policy;
  auto task = std::make_shared<T>(core, id, std::move(request));
  std::lock_guard lk(core->m);
  core->unstarted[id] = task;
  return task;
}
}  // namespace

void Session::check_url(Task& task) {
  auto request = task.original_request();
  if (!request || !request->url) task.transfer_->fail_at_start = detail::url_error(ue::bad_url, {}, std::nullopt);
}

std::shared_ptr<DataTask> Session::data_task(Request request, DataCompletion completion) {
  auto task = new_task<DataTask>(core_, request);
  check_url(*task);
  task->transfer_->data_completion = std::move(completion);
  return task;
}

std::shared_ptr<UploadTask> Session::upload_task(Request request, Bytes body, DataCompletion completion) {
  auto task = new_task<UploadTask>(core_, request);
  check_url(*task);
  auto& tr = *task->transfer_;
  tr.body = detail::Transfer::Body::data;
  tr.body_data = std::move(body);
  tr.data_completion = std::move(completion);
  if (core_->config.identifier) {
    tr.fail_at_start = detail::url_error(ue::unknown, "Upload tasks from data are not supported in background sessions.",
                                         request.url);
  }
  return task;
}

std::shared_ptr<UploadTask> Session::upload_task(Request request, const Url& file, DataCompletion completion) {
  auto task = new_task<UploadTask>(core_, request);
  check_url(*task);
  auto& tr = *task->transfer_;
  tr.body = detail::Transfer::Body::file;
  tr.body_file = file.file_path();
  tr.data_completion = std::move(completion);
  return task;
}

std::shared_ptr<UploadTask> Session::upload_task_streamed(Request request) {
  auto task = new_task<UploadTask>(core_, request);
  check_url(*task);
  task->transfer_->body = detail::Transfer::Body::stream_asked;
  return task;
}

std::shared_ptr<DownloadTask> Session::download_task(Request request, DownloadCompletion completion) {
  auto task = new_task<DownloadTask>(core_, request);
  check_url(*task);
  task->transfer_->download_completion = std::move(completion);
  return task;
}

std::shared_ptr<DownloadTask> Session::download_task_with_resume_data(Bytes resume_data, DownloadCompletion completion) {
  std::optional<Url> url;
  auto resume = detail::parse_resume_data(resume_data, &url);
  std::optional<Request> request;
  if (url) request = Request(*url);
  auto task = new_task<DownloadTask>(core_, request);
  auto& tr = *task->transfer_;
  tr.download_completion = std::move(completion);
  if (!resume) {
    tr.fail_at_start = detail::url_error(ue::cannot_decode_raw_data, "The resume data could not be read.", url);
  } else {
    tr.resume = std::move(resume);
  }
  return task;
}

std::shared_ptr<StreamTask> Session::stream_task(std::string host, int port) {
  std::uint64_t id;
  {
    std::lock_guard lk(core_->m);
    id = core_->next_id++;
  }
  auto task = std::make_shared<StreamTask>(core_, id, std::move(host), port);
  std::lock_guard lk(core_->m);
  core_->unstarted[id] = task;
  return task;
}

std::shared_ptr<StreamTask> Session::stream_task_for_service(std::string domain, std::string type, std::string name) {
  auto task = stream_task(name + "." + type + domain, 0);
  task->impl_->service = true;
  return task;
}

void Session::get_tasks(std::function<void(std::vector<std::shared_ptr<DataTask>>, std::vector<std::shared_ptr<UploadTask>>,
                                           std::vector<std::shared_ptr<DownloadTask>>)> handler) {
  auto core = core_;
  core->post([core, handler](Session&, SessionDelegate*) {
    std::vector<std::shared_ptr<DataTask>> data;
    std::vector<std::shared_ptr<UploadTask>> uploads;
    std::vector<std::shared_ptr<DownloadTask>> downloads;
    std::vector<std::shared_ptr<Task>> tasks;
    {
      std::lock_guard lk(core->m);
      for (auto& [id, t] : core->started) tasks.push_back(t);
    }
    for (auto& t : tasks) {
      if (t->state() != TaskState::running) continue;
      switch (t->kind()) {
        case Task::Kind::data: data.push_back(std::static_pointer_cast<DataTask>(t)); break;
        case Task::Kind::upload: uploads.push_back(std::static_pointer_cast<UploadTask>(t)); break;
        case Task::Kind::download: downloads.push_back(std::static_pointer_cast<DownloadTask>(t)); break;
        case Task::Kind::stream: break;
      }
    }
    handler(std::move(data), std::move(uploads), std::move(downloads));
  });
}

void Session::finish_tasks_and_invalidate() {
  if (core_->is_shared) return;
  std::unique_lock lk(core_->m);
  if (core_->validity != detail::SessionCore::Validity::valid) return;
  core_->validity = detail::SessionCore::Validity::finishing;
  if (!core_->keep_alive) core_->keep_alive = core_->owner.lock();
  core_->maybe_finish_invalidation_locked(lk);
  if (core_->started.empty()) {
    auto release = std::move(core_->keep_alive);
    lk.unlock();
  }
}

void Session::invalidate_and_cancel() {
  if (core_->is_shared) return;
  std::vector<std::shared_ptr<Task>> tasks;
  {
    std::lock_guard lk(core_->m);
    for (auto& [id, t] : core_->started) tasks.push_back(t);
    for (auto& [id, w] : core_->unstarted) {
      if (auto t = w.lock()) tasks.push_back(t);
    }
  }
  finish_tasks_and_invalidate();
  for (auto& t : tasks) t->cancel();
}

bool deliver_background_events(std::string_view identifier) {
  auto core = detail::find_background(identifier);
  if (!core) return false;
  std::unique_lock lk(core->m);
  if (!core->started.empty()) {
    core->background_events_pending = true;
    return true;
  }
  lk.unlock();
  core->post([](Session& s, SessionDelegate* d) {
    if (d && d->implements(Callback::background_events_finished)) d->did_finish_events_for_background_session(s);
  });
  return true;
}

void register_runtime_classes() {
  static std::mutex mutex;
  std::lock_guard lk(mutex);
  auto& runtime = rt::Runtime::shared();
  if (!runtime.find("NSURLSession")) {
    rt::ClassBuilder<Session>("NSURLSession", "NSObject").image("CFNetwork").factory([]() -> rt::Id { return nullptr; }).define(runtime);
  }
  if (!runtime.find("NSURLSessionConfiguration")) {
    rt::ClassBuilder<ConfigurationObject>("NSURLSessionConfiguration", "NSObject")
        .image("CFNetwork")
        .factory([](rt::Class& cls) -> rt::Id { return std::make_shared<ConfigurationObject>(cls, Configuration::default_config()); })
        .class_method(rt::ClassSel<rt::Id(std::string)>("backgroundSessionConfigurationWithIdentifier:"),
                      [](rt::Class& cls, std::string identifier) -> rt::Id {
                        return std::make_shared<ConfigurationObject>(cls, Configuration::background(std::move(identifier)));
                      })
        .define(runtime);
  }
}

}  // namespace platform::net
