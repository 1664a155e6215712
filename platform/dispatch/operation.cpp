#include "platform/dispatch/operation.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "platform/dispatch/detail.h"

namespace platform::dispatch {
namespace detail {

namespace {
thread_local OperationQueue* tl_current_queue = nullptr;
}

struct OperationQueueImpl : std::enable_shared_from_this<OperationQueueImpl> {
  mutable std::mutex m;
  Parking parking;
  std::string name;
  int max = -1;
  bool suspended = false;
  bool running_here = false;  // resume_here() starts the ready operations itself
  std::optional<Queue> underlying;
  std::optional<Qos> qos;
  std::vector<std::shared_ptr<Operation>> ops;  // added, not yet finished
  std::unordered_set<const Operation*> started;
  int running = 0;
  OperationQueue* facade = nullptr;
  // Set while operations are pending, so a queue released by its owner still
  // runs them to the end.
  std::shared_ptr<OperationQueueImpl> self_keep;

  void schedule() {
    std::vector<std::pair<std::shared_ptr<Operation>, Queue>> to_start;
    {
      std::lock_guard lk(m);
      if (suspended || running_here) return;
      for (const auto& op : ops) {
        if (max > 0 && running >= max) break;
        if (started.count(op.get()) || !op->is_ready()) continue;
        started.insert(op.get());
        ++running;
        Qos q = qos ? *qos : op->quality_of_service;
        to_start.emplace_back(op, underlying ? *underlying : Queue::global(q));
      }
    }
    for (auto& [op, q] : to_start) {
      std::weak_ptr<OperationQueueImpl> weak = weak_from_this();
      q.async([weak, op = op] {
        OperationQueue* owner = nullptr;
        if (auto self = weak.lock()) {
          std::lock_guard lk(self->m);
          owner = self->facade;
        }
        OperationQueue* prev = tl_current_queue;
        tl_current_queue = owner;
        op->start();
        tl_current_queue = prev;
      });
    }
  }

  void finished(const Operation* op) {
    std::shared_ptr<OperationQueueImpl> released;  // dropped after the lock
    {
      std::lock_guard lk(m);
      auto it = std::find_if(ops.begin(), ops.end(), [op](const auto& p) { return p.get() == op; });
      if (it == ops.end()) return;
      if (started.erase(op)) --running;
      ops.erase(it);
      if (ops.empty()) released = std::move(self_keep);
      parking.notify_all();
    }
    schedule();
  }

  void clear() {
    std::lock_guard lk(m);
    for (auto& op : ops) op->cancelled_.store(true);
    ops.clear();
    started.clear();
    self_keep.reset();
    running = 0;
    suspended = false;
    running_here = false;
    parking.notify_all();
  }
};

}  // namespace detail

// ---- Operation ------------------------------------------------------------------------
Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
  if (finished_.load()) return;
  if (cancelled_.load()) {
    set_finished(true);
    return;
  }
  set_executing(true);
  main();
  if (!is_asynchronous()) {
    set_executing(false);
    set_finished(true);
  }
}

void Operation::cancel() {
  if (cancelled_.exchange(true)) return;
  std::shared_ptr<detail::OperationQueueImpl> q;
  {
    std::lock_guard lk(m_);
    q = queue_.lock();
  }
  if (q) q->schedule();  // a cancelled operation is ready at once
}

bool Operation::is_cancelled() const { return cancelled_.load(); }
bool Operation::is_executing() const { return executing_.load(); }
bool Operation::is_finished() const { return finished_.load(); }

bool Operation::is_ready() const {
  if (cancelled_.load()) return true;
  std::lock_guard lk(m_);
  return std::all_of(deps_.begin(), deps_.end(), [](const auto& d) { return d->is_finished(); });
}

void Operation::add_dependency(std::shared_ptr<Operation> op) {
  if (!op || op.get() == this) return;
  {
    std::lock_guard lk(m_);
    if (std::find(deps_.begin(), deps_.end(), op) != deps_.end()) return;
    deps_.push_back(op);
  }
  std::lock_guard lk(op->m_);
  op->dependents_.push_back(weak_from_this());
}

void Operation::remove_dependency(const std::shared_ptr<Operation>& op) {
  std::shared_ptr<detail::OperationQueueImpl> q;
  {
    std::lock_guard lk(m_);
    std::erase(deps_, op);
    q = queue_.lock();
  }
  if (q) q->schedule();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard lk(m_);
  return deps_;
}

void Operation::set_completion_block(std::function<void()> block) {
  std::lock_guard lk(m_);
  completion_ = std::move(block);
}

void Operation::wait_until_finished() {
  std::unique_lock lk(m_);
  parking_.wait(lk, [this] { return released_; });
}

void Operation::set_executing(bool executing) { executing_.store(executing); }

void Operation::set_finished(bool finished) {
  if (!finished || finished_.exchange(true)) return;
  executing_.store(false);
  // Keep this operation alive while dependents and the queue are told.
  std::shared_ptr<Operation> keep = weak_from_this().lock();
  std::function<void()> completion;
  {
    std::lock_guard lk(m_);
    completion = std::move(completion_);
    completion_ = nullptr;
  }
  if (completion) completion();
  std::vector<std::weak_ptr<Operation>> dependents;
  std::shared_ptr<detail::OperationQueueImpl> q;
  {
    std::lock_guard lk(m_);
    released_ = true;
    dependents = dependents_;
    q = queue_.lock();
    parking_.notify_all();
  }
  if (q) q->finished(this);
  for (auto& w : dependents) {
    if (auto d = w.lock()) d->dependency_finished();
  }
}

void Operation::dependency_finished() {
  std::shared_ptr<detail::OperationQueueImpl> q;
  {
    std::lock_guard lk(m_);
    q = queue_.lock();
  }
  if (q) q->schedule();
}

// ---- BlockOperation -------------------------------------------------------------------
BlockOperation::BlockOperation(std::function<void()> block) { blocks_.push_back(std::move(block)); }

void BlockOperation::add_execution_block(std::function<void()> block) { blocks_.push_back(std::move(block)); }

void BlockOperation::main() {
  for (auto& b : blocks_) {
    if (b) b();
  }
}

// ---- OperationQueue -------------------------------------------------------------------
OperationQueue& OperationQueue::main() {
  static OperationQueue* q = [] {
    auto* oq = new OperationQueue("NSOperationQueue Main Queue");  // never destroyed
    oq->set_underlying_queue(Queue::main());
    oq->set_max_concurrent(1);
    return oq;
  }();
  return *q;
}

OperationQueue* OperationQueue::current() {
  if (detail::tl_current_queue) return detail::tl_current_queue;
  return is_main_thread() ? &main() : nullptr;
}

OperationQueue::OperationQueue(std::string name) : impl_(std::make_shared<detail::OperationQueueImpl>()) {
  impl_->name = std::move(name);
  impl_->facade = this;
}

OperationQueue::~OperationQueue() {
  std::lock_guard lk(impl_->m);
  impl_->facade = nullptr;
}

const std::string& OperationQueue::name() const { return impl_->name; }

void OperationQueue::set_max_concurrent(int n) {
  {
    std::lock_guard lk(impl_->m);
    impl_->max = n == 0 ? 1 : n;
  }
  impl_->schedule();
}

int OperationQueue::max_concurrent() const {
  std::lock_guard lk(impl_->m);
  return impl_->max;
}

void OperationQueue::set_suspended(bool suspended) {
  {
    std::lock_guard lk(impl_->m);
    impl_->suspended = suspended;
  }
  if (!suspended) impl_->schedule();
}

bool OperationQueue::is_suspended() const {
  std::lock_guard lk(impl_->m);
  return impl_->suspended;
}

void OperationQueue::set_underlying_queue(Queue q) {
  std::lock_guard lk(impl_->m);
  impl_->underlying = std::move(q);
}

void OperationQueue::set_quality_of_service(Qos qos) {
  std::lock_guard lk(impl_->m);
  impl_->qos = qos;
}

void OperationQueue::add(std::shared_ptr<Operation> op) {
  if (!op || op->is_finished()) return;
  {
    std::lock_guard lk(op->m_);
    if (!op->queue_.expired()) return;  // already in a queue (the original throws)
    op->queue_ = impl_;
  }
  {
    std::lock_guard lk(impl_->m);
    if (impl_->ops.empty()) impl_->self_keep = impl_;
    impl_->ops.push_back(std::move(op));
  }
  impl_->schedule();
}

void OperationQueue::add(std::function<void()> block) { add(std::make_shared<BlockOperation>(std::move(block))); }

namespace {
// Starts `op` of `queue` on the calling thread, as a pool thread of its QoS would.
void start_here(OperationQueue* queue, Qos qos, Operation& op) {
  Queue::global(qos).sync([queue, &op] {
    OperationQueue* prev = detail::tl_current_queue;
    detail::tl_current_queue = queue;
    struct Restore {
      OperationQueue* prev;
      ~Restore() { detail::tl_current_queue = prev; }
    } restore{prev};
    op.start();
  });
}
}  // namespace

void OperationQueue::resume_here() {
  {
    std::lock_guard lk(impl_->m);
    impl_->suspended = false;
    if (impl_->underlying || impl_->max != 1 || impl_->running > 0 || impl_->running_here) {
      // Not a queue this thread may run: as set_suspended(false).
    } else {
      impl_->running_here = true;
    }
  }
  for (;;) {
    std::shared_ptr<Operation> op;
    Qos qos = Qos::default_;
    {
      std::lock_guard lk(impl_->m);
      if (!impl_->running_here) break;
      auto& q = *impl_;
      if (!q.suspended && q.running == 0) {
        for (const auto& candidate : q.ops) {
          if (q.started.count(candidate.get()) || !candidate->is_ready()) continue;
          op = candidate;
          break;
        }
      }
      if (!op) {
        q.running_here = false;
        break;
      }
      q.started.insert(op.get());
      ++q.running;
      qos = q.qos ? *q.qos : op->quality_of_service;
    }
    start_here(this, qos, *op);
  }
  impl_->schedule();
}

bool OperationQueue::try_run_here(std::function<void()> block) {
  auto op = std::make_shared<BlockOperation>(std::move(block));
  op->queue_ = impl_;  // not yet shared with any other thread
  Qos qos;
  {
    std::lock_guard lk(impl_->m);
    auto& q = *impl_;
    if (q.suspended || q.underlying || (q.max > 0 && q.running >= q.max)) return false;
    for (const auto& waiting : q.ops) {
      if (!q.started.count(waiting.get()) && waiting->is_ready()) return false;
    }
    if (q.ops.empty()) q.self_keep = impl_;
    q.ops.push_back(op);
    q.started.insert(op.get());
    ++q.running;
    qos = q.qos ? *q.qos : op->quality_of_service;
  }
  start_here(this, qos, *op);
  return true;
}

void OperationQueue::add_all(std::vector<std::shared_ptr<Operation>> ops, bool wait_until_finished) {
  for (auto& op : ops) add(op);
  if (wait_until_finished) {
    for (auto& op : ops) {
      if (op) op->wait_until_finished();
    }
  }
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lk(impl_->m);
  return impl_->ops;
}

std::size_t OperationQueue::operation_count() const {
  std::lock_guard lk(impl_->m);
  return impl_->ops.size();
}

void OperationQueue::cancel_all() {
  for (auto& op : operations()) op->cancel();
}

void OperationQueue::wait_until_all_finished() {
  std::unique_lock lk(impl_->m);
  impl_->parking.wait(lk, [this] { return impl_->ops.empty(); });
}

namespace detail {
// Operations of the main queue are dropped; their main-queue blocks go with
// the main run loop's pending work.
void reset_operation_queues() { OperationQueue::main().impl_->clear(); }
}  // namespace detail

}  // namespace platform::dispatch
