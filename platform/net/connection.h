#pragma once
// The legacy URL connection, an adapter over a data task, and the blocking send.
#include <atomic>
#include <memory>
#include <optional>

#include "platform/dispatch/run_loop.h"
#include "platform/net/session.h"

namespace platform::net {

class Connection;

class ConnectionDelegate {
 public:
  virtual ~ConnectionDelegate();
  virtual void did_receive_response(Connection&, const Response&) {}
  virtual void did_receive_data(Connection&, const Bytes&) {}
  virtual void did_fail_with_error(Connection&, const foundation::Error&) {}
  virtual void did_finish_loading(Connection&) {}
};

// Delegate calls run on the scheduled run loop: the creating thread's run loop
// unless schedule() names another before start(). A cancelled connection
// sends nothing more. The connection keeps itself alive until it finishes,
// fails or is cancelled.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  static std::shared_ptr<Connection> make(Request request, std::shared_ptr<ConnectionDelegate> delegate,
                                          bool start_immediately = true);
  ~Connection();

  void schedule(dispatch::RunLoop& loop);
  void start();
  void cancel();
  const Request& original_request() const { return request_; }

 private:
  struct Adapter;
  Connection(Request request, std::shared_ptr<ConnectionDelegate> delegate);
  void deliver(std::function<void(ConnectionDelegate&, Connection&)> call, bool last);

  Request request_;
  std::shared_ptr<ConnectionDelegate> delegate_;
  std::atomic<dispatch::RunLoop*> loop_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<DataTask> task_;
  std::shared_ptr<Connection> self_;  // until finished
  std::atomic<bool> started_{false}, cancelled_{false};
  std::mutex m_;
};

struct SyncResult {
  std::optional<Bytes> data;
  std::shared_ptr<const Response> response;
  std::optional<foundation::Error> error;
};

// Sends the request and blocks until it completes, or until `timeout` (plus a
// second of grace) has passed, which cancels it and gives -1001. Needs no turn
// of the main run loop; never call it on the main thread.
SyncResult send_synchronous(Request request, double timeout);

}  // namespace platform::net
