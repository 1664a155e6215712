#pragma once
// URL sessions: configurations, tasks, the delegate model and the session.
//
// Threading: tasks run on the engine's workers (up to 16, each with a reused
// curl easy handle); every delegate call and every convenience completion runs
// on the session's delegate queue, one at a time, in the order
// response -> data... -> metrics -> complete. Handlers handed to the delegate
// may be called later and from any thread; the transfer waits for them (a
// challenge or response answer that never comes ends the task with -1001 at
// its timeout). A handler called a second time is ignored.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"
#include "platform/net/cookie.h"
#include "platform/net/credential.h"
#include "platform/net/http.h"
#include "platform/runtime/object.h"
#include "platform/security/trust.h"

namespace platform::net {

class Session;
class SessionDelegate;
namespace detail {
struct Transfer;
struct Run;
struct SessionCore;
class Engine;
}  // namespace detail

struct Configuration {
  static Configuration default_config();
  static Configuration ephemeral();   // its own in-memory cookie storage
  static Configuration background(std::string identifier);

  std::optional<std::string> identifier;
  Headers http_additional_headers;
  double timeout_for_request = 60;          // idle timeout of a transfer
  double timeout_for_resource = 7 * 86400;  // total time of a task
  CachePolicy request_cache_policy = CachePolicy::use_protocol;
  bool has_url_cache = true;  // no cache is kept; decides only whether will-cache is offered
  std::shared_ptr<CookieStorage> cookie_storage;
  bool should_set_cookies = true;
  CookieAcceptPolicy cookie_accept_policy = CookieAcceptPolicy::only_from_main_document_domain;
  bool allows_cellular_access = true;
  bool sends_launch_events = true;
  int max_connections_per_host = 4;
};

enum class TaskState { running = 0, suspended = 1, canceling = 2, completed = 3 };
enum class AuthDisposition { use_credential = 0, perform_default = 1, cancel = 2, reject_protection_space = 3 };
enum class ResponseDisposition { cancel = 0, allow = 1, become_download = 2, become_stream = 3 };

inline constexpr std::string_view auth_method_server_trust = "NSURLAuthenticationMethodServerTrust";
inline constexpr std::string_view auth_method_basic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr std::string_view auth_method_digest = "NSURLAuthenticationMethodHTTPDigest";

struct Challenge {
  ProtectionSpace space;
  std::shared_ptr<security::Trust> server_trust;
  int previous_failure_count = 0;
  std::shared_ptr<const Response> failure_response;
};

struct TaskMetrics {
  struct Transaction {
    Request request;
    std::shared_ptr<const Response> response;
    foundation::Date fetch_start;
    // Offsets in seconds from fetch_start, as curl measured them; nullopt when
    // the phase did not happen (a reused connection has no connect phase).
    std::optional<double> domain_lookup_end, connect_end, secure_connection_end, request_start, response_start;
    double response_end = 0;
    bool reused_connection = false;
    std::string network_protocol_name;  // "http/1.1", "h2"
  };
  foundation::Date start;
  double duration = 0;
  std::size_t redirect_count = 0;
  std::vector<Transaction> transactions;
};

struct CachedResponse {
  std::shared_ptr<const Response> response;
  Bytes data;
};

class Task : public std::enable_shared_from_this<Task> {
 public:
  enum class Kind { data, upload, download, stream };
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  Kind kind() const { return kind_; }
  std::uint64_t identifier() const { return identifier_; }
  TaskState state() const;
  std::optional<Request> original_request() const;
  std::optional<Request> current_request() const;
  std::shared_ptr<const Response> response() const;
  std::optional<foundation::Error> error() const;
  std::int64_t bytes_received() const;
  std::int64_t bytes_sent() const;
  std::int64_t bytes_expected_to_send() const;
  std::int64_t bytes_expected_to_receive() const;
  std::string task_description;

  void resume();
  void suspend();
  void cancel();

 protected:
  Task(Kind kind, std::shared_ptr<detail::SessionCore> session, std::uint64_t id, std::optional<Request> request);

 private:
  friend struct detail::Run;
  friend class detail::Engine;
  friend class Session;
  friend struct detail::SessionCore;
  friend class StreamTask;
  friend class DownloadTask;

  const Kind kind_;
  std::shared_ptr<detail::SessionCore> session_;
  const std::uint64_t identifier_;

  mutable std::mutex m_;
  std::condition_variable cv_;
  TaskState state_ = TaskState::suspended;
  bool started_ = false;    // handed to the engine (or failed at resume)
  bool cancelled_ = false;
  bool finished_ = false;   // completion delivered or queued
  std::optional<Request> original_, current_;
  std::shared_ptr<const Response> response_;
  std::optional<foundation::Error> error_;
  std::int64_t received_ = 0, sent_ = 0, expected_send_ = -1, expected_receive_ = -1;
  std::function<void(std::optional<foundation::Error>)> cancel_hook_;  // engine-side wake-up
  // Set by the session when the task was made: what to run.
  std::shared_ptr<detail::Transfer> transfer_;
};

class DataTask : public Task {
 public:
  DataTask(std::shared_ptr<detail::SessionCore> s, std::uint64_t id, std::optional<Request> r, Kind k = Kind::data)
      : Task(k, std::move(s), id, std::move(r)) {}
};

class UploadTask : public DataTask {
 public:
  UploadTask(std::shared_ptr<detail::SessionCore> s, std::uint64_t id, std::optional<Request> r)
      : DataTask(std::move(s), id, std::move(r), Kind::upload) {}
};

class DownloadTask : public Task {
 public:
  DownloadTask(std::shared_ptr<detail::SessionCore> s, std::uint64_t id, std::optional<Request> r)
      : Task(Kind::download, std::move(s), id, std::move(r)) {}
  // Cancels; the handler gets resume data when the download can be resumed
  // (bytes received and an ETag or Last-Modified), else nullopt. It runs on
  // the delegate queue before the task's completion.
  void cancel_producing_resume_data(std::function<void(std::optional<Bytes>)> handler);
};

// A plain TCP connection to host:port. Completions run on the delegate queue.
class StreamTask : public Task {
 public:
  StreamTask(std::shared_ptr<detail::SessionCore> s, std::uint64_t id, std::string host, int port);
  ~StreamTask() override;
  // Reads at least `min` bytes (fewer at the end of the stream), at most `max`.
  void read(std::size_t min, std::size_t max, double timeout,
            std::function<void(Bytes, bool at_eof, std::optional<foundation::Error>)> completion);
  void write(Bytes data, double timeout, std::function<void(std::optional<foundation::Error>)> completion);
  void close_read();
  void close_write();

  struct Impl;

 private:
  friend class Session;
  std::shared_ptr<Impl> impl_;
};

enum class Callback {
  session_invalid, session_challenge, background_events_finished, task_redirect, task_challenge, task_body_stream,
  task_sent_body, task_metrics, task_complete, data_response, data_became_download, data_received, data_will_cache,
  download_finished, download_wrote, download_resumed, stream_read_closed, stream_write_closed, stream_better_route,
  stream_became_streams
};

using ChallengeHandler = std::function<void(AuthDisposition, std::optional<Credential>)>;

// Every callback is optional: implements(cb) is asked before each call, and a
// declined callback gets the default (challenge -> default handling, redirect
// -> follow, response -> allow, body stream -> the task fails, will-cache ->
// as offered).
class SessionDelegate {
 public:
  virtual ~SessionDelegate();
  virtual bool implements(Callback) const { return true; }

  virtual void did_become_invalid(Session&, std::optional<foundation::Error>) {}
  virtual void did_receive_challenge(Session&, const Challenge&, ChallengeHandler handler);
  virtual void did_finish_events_for_background_session(Session&) {}

  virtual void will_perform_redirection(Session&, Task&, const Response&, Request new_request,
                                        std::function<void(std::optional<Request>)> handler);
  virtual void task_did_receive_challenge(Session&, Task&, const Challenge&, ChallengeHandler handler);
  virtual void need_new_body_stream(Session&, Task&, std::function<void(std::shared_ptr<foundation::InputStream>)> handler);
  virtual void did_send_body_data(Session&, Task&, std::int64_t, std::int64_t, std::int64_t) {}
  virtual void did_finish_collecting_metrics(Session&, Task&, const TaskMetrics&) {}
  virtual void did_complete(Session&, Task&, std::optional<foundation::Error>) {}

  virtual void did_receive_response(Session&, DataTask&, const Response&, std::function<void(ResponseDisposition)> handler);
  virtual void did_become_download_task(Session&, DataTask&, DownloadTask&) {}
  virtual void did_receive_data(Session&, DataTask&, const Bytes&) {}
  virtual void will_cache_response(Session&, DataTask&, CachedResponse proposed,
                                   std::function<void(std::optional<CachedResponse>)> handler);

  virtual void did_finish_downloading(Session&, DownloadTask&, const foundation::Url& /*location*/) {}
  virtual void did_write_data(Session&, DownloadTask&, std::int64_t, std::int64_t, std::int64_t) {}
  virtual void did_resume_at_offset(Session&, DownloadTask&, std::int64_t, std::int64_t) {}

  virtual void read_closed(Session&, StreamTask&) {}
  virtual void write_closed(Session&, StreamTask&) {}
  virtual void better_route_discovered(Session&, StreamTask&) {}
};

class Session : public rt::Object {
 public:
  using DataCompletion =
      std::function<void(std::optional<Bytes>, std::shared_ptr<const Response>, std::optional<foundation::Error>)>;
  using DownloadCompletion = std::function<void(std::optional<foundation::Url>, std::shared_ptr<const Response>,
                                                std::optional<foundation::Error>)>;

  // The process-wide session: default configuration, no delegate; never invalidated.
  static std::shared_ptr<Session> shared();
  // The delegate is held until the session is invalidated. No queue: a new serial queue.
  static std::shared_ptr<Session> make(Configuration configuration, std::shared_ptr<SessionDelegate> delegate = nullptr,
                                       std::shared_ptr<dispatch::OperationQueue> delegate_queue = nullptr);

  Session(rt::Class& cls, std::shared_ptr<detail::SessionCore> core);
  ~Session() override;

  const Configuration& configuration() const;
  SessionDelegate* delegate() const;
  dispatch::OperationQueue& delegate_queue();
  std::string session_description;

  std::shared_ptr<DataTask> data_task(Request request, DataCompletion completion = {});
  std::shared_ptr<UploadTask> upload_task(Request request, Bytes body, DataCompletion completion = {});
  std::shared_ptr<UploadTask> upload_task(Request request, const foundation::Url& file, DataCompletion completion = {});
  // The body comes from need_new_body_stream; without a Content-Length header it is sent chunked.
  std::shared_ptr<UploadTask> upload_task_streamed(Request request);
  std::shared_ptr<DownloadTask> download_task(Request request, DownloadCompletion completion = {});
  std::shared_ptr<DownloadTask> download_task_with_resume_data(Bytes resume_data, DownloadCompletion completion = {});
  std::shared_ptr<StreamTask> stream_task(std::string host, int port);
  // A stream task to a service-discovery target: fails at resume (no service discovery).
  std::shared_ptr<StreamTask> stream_task_for_service(std::string domain, std::string type, std::string name);

  // Tasks in the running state, on the delegate queue.
  void get_tasks(std::function<void(std::vector<std::shared_ptr<DataTask>>, std::vector<std::shared_ptr<UploadTask>>,
                                    std::vector<std::shared_ptr<DownloadTask>>)> handler);
  void finish_tasks_and_invalidate();
  void invalidate_and_cancel();

  const std::shared_ptr<detail::SessionCore>& core() const { return core_; }

 private:
  static void check_url(Task& task);
  std::shared_ptr<detail::SessionCore> core_;
};

// OS side: the system relaunched the app for a background session's events.
// did_finish_events_for_background_session is sent once that session has no
// running task (at once when it has none). False when no live session has the identifier.
bool deliver_background_events(std::string_view identifier);

// Started tasks of every live session that are running, being cancelled, or
// completed with their completion handler or delegate call still to run (a
// suspended task is not counted): the network work in flight (any thread).
std::size_t tasks_in_flight();

// Registers "NSURLSession" and "NSURLSessionConfiguration" (with the class
// method backgroundSessionConfigurationWithIdentifier:) in the shared runtime;
// idempotent.
void register_runtime_classes();

// A runtime object carrying a configuration (what the class method returns).
class ConfigurationObject : public rt::Object {
 public:
  ConfigurationObject(rt::Class& cls, Configuration c) : rt::Object(cls), configuration(std::move(c)) {}
  Configuration configuration;
};

}  // namespace platform::net
