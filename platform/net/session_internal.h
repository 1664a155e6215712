#pragma once
// Internals shared by the session, the engine and the connection adapter.
#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net/session.h"

namespace platform::net::detail {

using Clock = std::chrono::steady_clock;

foundation::Error url_error(std::int64_t code, std::string description, const std::optional<foundation::Url>& url);

// A one-shot answer from a handler that may run on any thread, at any time,
// more than once (later calls are ignored).
template <class T>
struct Answer {
  std::mutex m;
  std::condition_variable cv;
  std::optional<T> value;
  bool set(T v) {
    {
      std::lock_guard lk(m);
      if (value) return false;
      value = std::move(v);
    }
    cv.notify_all();
    return true;
  }
};

// What a task runs: its body, its convenience completion, resume information.
struct Transfer {
  enum class Body { none, data, file, stream_first, stream_asked };
  Body body = Body::none;
  Bytes body_data;
  std::filesystem::path body_file;
  Session::DataCompletion data_completion;
  Session::DownloadCompletion download_completion;
  bool has_completion() const { return static_cast<bool>(data_completion) || static_cast<bool>(download_completion); }

  // Download resume.
  struct Resume {
    std::int64_t offset = 0;
    std::filesystem::path file;
    std::string etag, last_modified;
  };
  std::optional<Resume> resume;
  std::optional<foundation::Error> fail_at_start;  // the task fails at resume with this error

  // Cancel producing resume data.
  std::function<void(std::optional<Bytes>)> resume_data_handler;

  std::atomic<bool> network_lost{false};
  std::string host_key;
};

struct SessionCore : std::enable_shared_from_this<SessionCore> {
  SessionCore(Configuration c, std::shared_ptr<SessionDelegate> d, std::shared_ptr<dispatch::OperationQueue> q);
  ~SessionCore();

  Configuration config;
  std::shared_ptr<dispatch::OperationQueue> queue;
  std::weak_ptr<Session> owner;
  bool is_shared = false;

  // One curl share per session for TLS sessions and DNS, never shared with
  // another session. Connections are not shared between threads (curl does not
  // support one connection cache in concurrent transfers): each easy handle
  // keeps its own, and the session lends its handles to the workers, most
  // recently used first, so keep-alive connections stay with the session.
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> share_locks;
  std::mutex easy_m;
  std::vector<CURL*> easy_pool;
  CURL* acquire_easy();
  void release_easy(CURL* easy);

  std::mutex m;
  std::shared_ptr<SessionDelegate> delegate;
  std::shared_ptr<Session> keep_alive;  // while started tasks are outstanding
  std::map<std::uint64_t, std::shared_ptr<Task>> started;     // until their completion has run
  std::map<std::uint64_t, std::weak_ptr<Task>> unstarted;
  std::uint64_t next_id = 1;
  enum class Validity { valid, finishing, invalid } validity = Validity::valid;
  bool background_events_pending = false;
  std::uint64_t network_observer = 0;
  std::map<std::string, int> running_per_host;  // guarded by the engine's mutex

  std::shared_ptr<SessionDelegate> delegate_snapshot();
  bool implements(Callback cb);
  // Runs fn on the delegate queue with the session and its delegate (null when none).
  // `from_worker`: posted by an engine worker as the last call of its
  // transfer; when no drain is under way the worker drains the calls itself
  // once it has put the transfer away, on the delegate queue when that is idle
  // (see Engine::worker), saving two thread hand-offs per task.
  void post(std::function<void(Session&, SessionDelegate*)> fn, bool from_worker = false);
  // Delegate calls waiting for the queue: one operation at a time runs them
  // in order, so they never overlap and a busy session needs no hop per call.
  std::mutex calls_m;
  std::deque<std::function<void(Session&, SessionDelegate*)>> calls;
  bool draining = false;
  void drain_calls(Session& session);
  // Runs a drain on this thread when the delegate queue lets it start at
  // once, else adds it to the queue.
  void drain_here_or_queue(const std::shared_ptr<Session>& session);

  std::uint64_t make_id(const std::shared_ptr<Task>& task);
  // A task was resumed for the first time.
  void start(const std::shared_ptr<Task>& task);
  // Queues the completion of a task (after its other callbacks).
  void complete(const std::shared_ptr<Task>& task, std::optional<foundation::Error> error,
                std::optional<Bytes> data = std::nullopt, std::optional<foundation::Url> location = std::nullopt,
                std::optional<TaskMetrics> metrics = std::nullopt, bool from_worker = false);
  // On the delegate queue, after a started task's completion ran.
  void task_done(std::uint64_t id);
  // A data task became a download: the new task, registered and running.
  std::shared_ptr<Task> adopt_download(const std::shared_ptr<Task>& data_task, const Response& response);
  // Ends a task without callbacks (the data task that became a download).
  void complete_silently(const std::shared_ptr<Task>& task);
  void maybe_finish_invalidation_locked(std::unique_lock<std::mutex>& lk);
  void network_changed(bool reachable);
};

// The worker pool: up to 16 threads, each running a task on an easy handle
// borrowed from the task's session. A task
// goes straight to the worker that went idle last; an idle worker keeps
// looking for work for a short while before it sleeps, so back-to-back
// requests need no wake-up.
class Engine {
 public:
  static Engine& shared();
  void submit(std::shared_ptr<Task> task);
  // Pending tasks may have become runnable (resumed or cancelled).
  void wake();
  void shutdown();  // joins the workers (tests)

 private:
  struct Worker {
    std::condition_variable cv;
    std::shared_ptr<Task> task;      // handed over while idle
    std::atomic<bool> handed{false};  // task is set (read without the lock while spinning)
    bool spinning = false;            // looking for work before it sleeps (guarded by the engine's mutex)
  };

  Engine();
  void worker();
  std::shared_ptr<Task> take_locked();
  // Hands runnable pending tasks to idle workers, those still looking first.
  void dispatch_locked();

  std::mutex m_;
  std::deque<std::shared_ptr<Task>> pending_;
  std::vector<std::thread> threads_;
  std::vector<Worker*> idle_;  // most recently idle last
  int starting_ = 0;           // spawned, not yet looking for work
  int spinners_ = 0;           // idle workers still looking before they sleep
  bool stopping_ = false;
  // A task started from a completion its worker is delivering is left for
  // that worker (same thread, same connection); `deferred_since_` (steady
  // clock ticks, 0: none) lets a looking worker take it when the handler
  // keeps running, and one looking worker keeps looking until `watch_until_`.
  std::atomic<std::int64_t> deferred_since_{0};
  int deferring_ = 0;  // workers in a completion handler that left a task for themselves
  std::atomic<std::int64_t> watch_until_{0};
  std::atomic<bool> watcher_{false};  // one looking worker at most stays on for `watch_until_`
};

// A drain of delegate calls an engine worker owes after its transfer.
struct DeferredDrain {
  std::shared_ptr<SessionCore> core;
  std::shared_ptr<Session> session;
};
// The calling worker's slot while it runs a transfer, else null.
DeferredDrain*& worker_deferred_drain();

// Runs one task on an easy handle to its end (completion queued).
void run_transfer(CURL* easy, const std::shared_ptr<Task>& task);

// One line of a response head as curl hands it over (line end included or not).
struct HeaderLine {
  enum class Kind { status, end, field, other };
  Kind kind = Kind::other;
  int status = 0;                // Kind::status: the code, 0 when unreadable
  std::string_view name, value;  // Kind::field, trimmed
};
HeaderLine parse_header_line(std::string_view line);

// The scheme and realm of the first challenge of a WWW-/Proxy-Authenticate value.
struct AuthOffer {
  std::string scheme;  // "basic" or "digest"
  std::string realm;
};
std::optional<AuthOffer> parse_auth_offer(std::string_view value);

std::filesystem::path download_directory();
std::optional<Transfer::Resume> parse_resume_data(const Bytes& data, std::optional<foundation::Url>* url);

void reset_for_testing();
void reset_sync_session();

}  // namespace platform::net::detail
