#include "platform/net/connection.h"

#include <condition_variable>

#include "platform/net/session_internal.h"

namespace platform::net {

ConnectionDelegate::~ConnectionDelegate() = default;

// Routes the internal data task's callbacks to the connection.
struct Connection::Adapter : SessionDelegate {
  std::weak_ptr<Connection> connection;

  bool implements(Callback cb) const override {
    return cb == Callback::data_response || cb == Callback::data_received || cb == Callback::task_complete ||
           cb == Callback::session_invalid;
  }
  void did_receive_response(Session&, DataTask&, const Response& response,
                            std::function<void(ResponseDisposition)> handler) override {
    if (auto c = connection.lock()) {
      c->deliver([response](ConnectionDelegate& d, Connection& self) { d.did_receive_response(self, response); }, false);
    }
    handler(ResponseDisposition::allow);
  }
  void did_receive_data(Session&, DataTask&, const Bytes& data) override {
    if (auto c = connection.lock()) {
      c->deliver([data](ConnectionDelegate& d, Connection& self) { d.did_receive_data(self, data); }, false);
    }
  }
  void did_complete(Session&, Task&, std::optional<foundation::Error> error) override {
    if (auto c = connection.lock()) {
      c->deliver(
          [error](ConnectionDelegate& d, Connection& self) {
            if (error) d.did_fail_with_error(self, *error);
            else d.did_finish_loading(self);
          },
          true);
    }
  }
};

Connection::Connection(Request request, std::shared_ptr<ConnectionDelegate> delegate)
    : request_(std::move(request)), delegate_(std::move(delegate)), loop_(&dispatch::RunLoop::current()) {}

Connection::~Connection() = default;

std::shared_ptr<Connection> Connection::make(Request request, std::shared_ptr<ConnectionDelegate> delegate,
                                             bool start_immediately) {
  auto c = std::shared_ptr<Connection>(new Connection(std::move(request), std::move(delegate)));
  auto adapter = std::make_shared<Adapter>();
  adapter->connection = c;
  c->session_ = Session::make(Configuration::default_config(), adapter);
  c->task_ = c->session_->data_task(c->request_);
  if (start_immediately) c->start();
  return c;
}

void Connection::schedule(dispatch::RunLoop& loop) { loop_ = &loop; }

void Connection::start() {
  if (started_.exchange(true) || cancelled_) return;
  {
    std::lock_guard lk(m_);
    self_ = shared_from_this();
  }
  task_->resume();
}

void Connection::cancel() {
  if (cancelled_.exchange(true)) return;
  task_->cancel();
  std::shared_ptr<Connection> release;
  std::lock_guard lk(m_);
  release = std::move(self_);
}

void Connection::deliver(std::function<void(ConnectionDelegate&, Connection&)> call, bool last) {
  auto self = shared_from_this();
  loop_.load()->perform([self, call = std::move(call), last] {
    if (!self->cancelled_ && self->delegate_) call(*self->delegate_, *self);
    if (last) {
      std::shared_ptr<Connection> release;
      std::lock_guard lk(self->m_);
      release = std::move(self->self_);
    }
  });
}

namespace {

struct SyncState {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  SyncResult result;
};

std::mutex sync_mutex;
std::shared_ptr<Session>& sync_session() {
  static auto* s = new std::shared_ptr<Session>();
  return *s;
}

}  // namespace

namespace detail {
void reset_sync_session() {
  std::lock_guard lk(sync_mutex);
  sync_session().reset();
}
}  // namespace detail

SyncResult send_synchronous(Request request, double timeout) {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lk(sync_mutex);
    if (!sync_session()) sync_session() = Session::make(Configuration::default_config());
    session = sync_session();
  }
  if (timeout > 0) request.timeout = timeout;
  auto state = std::make_shared<SyncState>();
  auto task = session->data_task(request, [state](std::optional<Bytes> data, std::shared_ptr<const Response> response,
                                                  std::optional<foundation::Error> error) {
    {
      std::lock_guard lk(state->m);
      state->result = SyncResult{std::move(data), std::move(response), std::move(error)};
      state->done = true;
    }
    state->cv.notify_all();
  });
  task->resume();
  double wait_s = (timeout > 0 ? timeout : request.timeout) + 1.0;
  std::unique_lock lk(state->m);
  if (!state->cv.wait_for(lk, std::chrono::duration<double>(wait_s), [&] { return state->done; })) {
    lk.unlock();
    task->cancel();
    return SyncResult{std::nullopt, task->response(),
                      detail::url_error(foundation::url_error::timed_out, {}, request.url)};
  }
  return state->result;
}

}  // namespace platform::net
