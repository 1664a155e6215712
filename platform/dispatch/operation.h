#pragma once
// Operations and operation queues (NSOperation / NSOperationQueue analogue).
//
// * An operation is ready when every dependency has finished (or when it is
//   cancelled: a cancelled operation is started at once and finishes without
//   running main()).
// * A queue starts ready operations in the order they were added, at most
//   max_concurrent at a time (-1 = as many as the pool gives), on its
//   underlying queue (by default the global queue of the operation's quality of
//   service; the main queue for OperationQueue::main()). Nothing starts while
//   the queue is suspended.
// * An asynchronous operation (is_asynchronous() true) keeps its slot after
//   start() returns, until it calls set_finished(true); its dependents start
//   only then. set_executing/set_finished replace the original's KVO.
// * The completion block runs on the thread that finishes the operation, after
//   is_finished() turns true and before dependents and waiters are released.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/detail.h"
#include "platform/dispatch/queue.h"

namespace platform::dispatch {

namespace detail {
struct OperationQueueImpl;
void reset_operation_queues();
}
class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // The default start(): a cancelled operation finishes at once; otherwise
  // executing, main(), and (unless asynchronous) finished.
  virtual void start();
  virtual void main() {}
  virtual bool is_asynchronous() const { return false; }

  void cancel();
  bool is_cancelled() const;
  bool is_executing() const;
  bool is_finished() const;
  bool is_ready() const;

  // Add dependencies before the operation starts.
  void add_dependency(std::shared_ptr<Operation> op);
  void remove_dependency(const std::shared_ptr<Operation>& op);
  std::vector<std::shared_ptr<Operation>> dependencies() const;
  void set_completion_block(std::function<void()> block);
  // Blocks until the operation has finished (waitUntilFinished).
  void wait_until_finished();

  std::string name;
  Qos quality_of_service = Qos::default_;

 protected:
  void set_executing(bool executing);
  void set_finished(bool finished);  // true: completion block, then dependents and the queue are told

 private:
  friend struct detail::OperationQueueImpl;
  friend class OperationQueue;
  void dependency_finished();

  mutable std::mutex m_;
  detail::Parking parking_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::vector<std::shared_ptr<Operation>> deps_;
  std::vector<std::weak_ptr<Operation>> dependents_;
  std::function<void()> completion_;
  std::weak_ptr<detail::OperationQueueImpl> queue_;
  bool released_ = false;  // finished and completion block done
};

class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block);
  void add_execution_block(std::function<void()> block);  // before it starts
  void main() override;

 private:
  std::vector<std::function<void()>> blocks_;
};

class OperationQueue {
 public:
  // Drains on the main run loop (underlying queue Queue::main()), one at a time.
  static OperationQueue& main();
  // The queue whose operation the calling thread runs; main() on the main
  // thread outside any operation; nullptr elsewhere.
  static OperationQueue* current();

  explicit OperationQueue(std::string name = {});
  ~OperationQueue();  // operations already added still run to the end
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const;
  void set_max_concurrent(int n);  // -1 = pool width
  int max_concurrent() const;
  void set_suspended(bool suspended);
  bool is_suspended() const;
  void set_underlying_queue(Queue q);
  void set_quality_of_service(Qos qos);

  void add(std::shared_ptr<Operation> op);
  void add(std::function<void()> block);
  // Runs `block` as an operation of this queue on the calling thread, before
  // returning true, when the queue would start it at once: not suspended, no
  // underlying queue set (its operations run on the pool), a free slot and
  // no ready operation waiting. Otherwise returns false and runs nothing. The
  // block sees current() as this queue and the global queue of its quality of
  // service as the current dispatch queue, as on a pool thread.
  bool try_run_here(std::function<void()> block);
  // set_suspended(false), but a queue of one slot without an underlying queue
  // runs its ready operations on the calling thread, in order, before
  // returning (as try_run_here runs a block); anything not ready then is
  // scheduled as usual. Saves the hand-off to a pool thread per operation.
  void resume_here();
  void add_all(std::vector<std::shared_ptr<Operation>> ops, bool wait_until_finished);
  std::vector<std::shared_ptr<Operation>> operations() const;  // not yet finished, in order
  std::size_t operation_count() const;
  void cancel_all();
  void wait_until_all_finished();

 private:
  friend void detail::reset_operation_queues();
  std::shared_ptr<detail::OperationQueueImpl> impl_;
};

}  // namespace platform::dispatch
