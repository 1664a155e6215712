#include "http/request.h"

#include <cassert>

#include "platform/dispatch/clock.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/utf8_check.h"

namespace Duvarel {

// ---- Request ----------------------------------------------------------------------

Request::Request(std::shared_ptr<net::Session> session, RequestTask requestTask, std::optional<Error> error)
    : session_(std::move(session)), originalTask_(std::move(requestTask.factory)), timing_(std::make_shared<Timing>()) {
  switch (requestTask.kind) {
    case RequestTask::Kind::data: taskDelegate_ = std::make_shared<DataTaskDelegate>(std::move(requestTask.task)); break;
    case RequestTask::Kind::download:
      taskDelegate_ = std::make_shared<DownloadTaskDelegate>(std::move(requestTask.task));
      break;
    case RequestTask::Kind::upload: taskDelegate_ = std::make_shared<UploadTaskDelegate>(std::move(requestTask.task)); break;
    case RequestTask::Kind::stream: taskDelegate_ = std::make_shared<TaskDelegate>(std::move(requestTask.task)); break;
  }
  taskDelegate_->setError(std::move(error));
  taskDelegate_->queue().add([timing = timing_] {
    std::lock_guard lk(timing->m);
    timing->end = dispatch::absolute_time();
  });
}

Request::~Request() = default;

std::shared_ptr<TaskDelegate> Request::taskDelegate() const {
  std::lock_guard lk(taskDelegateLock_);
  return taskDelegate_;
}
void Request::setTaskDelegate(std::shared_ptr<TaskDelegate> delegate) {
  std::lock_guard lk(taskDelegateLock_);
  taskDelegate_ = std::move(delegate);
}

std::shared_ptr<net::Task> Request::task() const {
  auto delegate = taskDelegate();  // taskDelegateLock released before the task lock is taken
  return delegate->task();
}

std::optional<URLRequest> Request::request() const {
  auto t = task();
  if (!t) return std::nullopt;
  return t->original_request();
}

std::shared_ptr<const net::Response> Request::response() const {
  auto t = task();
  if (!t) return nullptr;
  auto r = t->response();
  if (!r || !r->status) return nullptr;
  return r;
}

Request& Request::authenticate(const std::string& user, const std::string& password,
                               net::Credential::Persistence persistence) {
  return authenticate(net::Credential::for_user(user, password, persistence));
}
Request& Request::authenticate(net::Credential credential) {
  taskDelegate()->setCredential(std::move(credential));
  return *this;
}

std::optional<std::pair<std::string, std::string>> Request::authorizationHeader(const std::string& user,
                                                                                const std::string& password) {
  std::string text = user + ":" + password;
  if (!foundation::detail::utf8_valid(text)) return std::nullopt;
  return std::pair<std::string, std::string>{"Authorization", "Basic " + foundation::base64_encode(foundation::to_bytes(text))};
}

void Request::postLifecycle(const std::string& name, const std::shared_ptr<net::Task>& task) {
  foundation::ObjectRef sender = weak_from_this().lock();
  if (!sender) sender = foundation::unowned_ref(this);
  foundation::Dict info{{Notification::Key::task, foundation::Value::object(task)}};
  foundation::NotificationCenter::default_center().post(foundation::Notification(name, std::move(sender), std::move(info)));
}

void Request::resume() {
  auto t = task();
  if (!t) {
    taskDelegate()->queue().set_suspended(false);
    return;
  }
  {
    std::lock_guard lk(timing_->m);
    if (!timing_->start) timing_->start = dispatch::absolute_time();
  }
  t->resume();
  postLifecycle(Notification::Name::Task::didResume, t);
}

void Request::suspend() {
  auto t = task();
  if (!t) return;
  t->suspend();
  postLifecycle(Notification::Name::Task::didSuspend, t);
}

void Request::cancel() {
  auto t = task();
  if (!t) return;
  t->cancel();
  postLifecycle(Notification::Name::Task::didCancel, t);
}

std::optional<double> Request::startTime() const {
  std::lock_guard lk(timing_->m);
  return timing_->start;
}
void Request::setStartTime(std::optional<double> t) {
  std::lock_guard lk(timing_->m);
  timing_->start = t;
}
std::optional<double> Request::endTime() const {
  std::lock_guard lk(timing_->m);
  return timing_->end;
}
void Request::setEndTime(std::optional<double> t) {
  std::lock_guard lk(timing_->m);
  timing_->end = t;
}

void Request::addValidation(std::function<void()> validation) {
  std::lock_guard lk(validationsLock_);
  validations_.push_back(std::move(validation));
}
std::vector<std::function<void()>> Request::validations() const {
  std::lock_guard lk(validationsLock_);
  return validations_;
}

std::string Request::description() const {
  std::vector<std::string> parts;
  if (auto r = request()) {
    parts.push_back(r->method);
    if (r->url) parts.push_back(r->url->absolute_string());
  }
  if (auto resp = response()) parts.push_back("(" + std::to_string(*resp->status) + ")");
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? " " : "") + parts[i];
  return out;
}

namespace {
std::string replaceAll(std::string s, std::string_view from, std::string_view to) {
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
  return s;
}
}  // namespace

std::string Request::curlRepresentation() const {
  std::vector<std::string> parts{"$ curl -v"};
  auto r = request();
  if (!r || !r->url || !r->url->host()) return "$ curl command could not be created";
  const foundation::Url& url = *r->url;
  const std::string host = *url.host();

  if (r->method != "GET") parts.push_back("-X " + r->method);

  // Sessions share the process-wide credential storage.
  net::ProtectionSpace space{host, url.port().value_or(0), url.scheme().value_or(""), host,
                             std::string(net::ProtectionSpace::method_http_basic)};
  auto stored = net::CredentialStorage::shared()->credentials(space);
  auto addCredential = [&](const net::Credential& c) {
    if (c.user_password) parts.push_back("-u " + c.user_password->first + ":" + c.user_password->second);
  };
  if (!stored.empty()) {
    for (const auto& c : stored) addCredential(c);
  } else if (auto c = taskDelegate()->credential()) {
    addCredential(*c);
  }

  const net::Configuration& config = session_->configuration();
  if (config.should_set_cookies && config.cookie_storage) {
    auto cookies = config.cookie_storage->cookies_for(url);
    if (!cookies.empty()) {
      std::string text;
      for (const auto& c : cookies) text += c.name + "=" + c.value + ";";
      text.pop_back();
      parts.push_back("-b \"" + text + "\"");
    }
  }

  std::vector<std::pair<std::string, std::string>> headers;
  auto merge = [&](const net::Headers& from) {
    for (const auto& f : from) {
      if (f.name == "Cookie") continue;
      auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return h.first == f.name; });
      if (it != headers.end()) it->second = f.value;
      else headers.emplace_back(f.name, f.value);
    }
  };
  merge(config.http_additional_headers);
  merge(r->headers);
  for (const auto& [field, value] : headers) parts.push_back("-H \"" + field + ": " + replaceAll(value, "\"", "\\\"") + "\"");

  if (r->body) {
    std::string text = foundation::to_string(*r->body);
    if (foundation::detail::utf8_valid(text)) {
      text = replaceAll(text, "\\\"", "\\\\\"");
      text = replaceAll(text, "\"", "\\\"");
      parts.push_back("-d \"" + text + "\"");
    }
  }

  parts.push_back("\"" + url.absolute_string() + "\"");
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? " \\\n\t" : "") + parts[i];
  return out;
}

// ---- task factories -------------------------------------------------------------

namespace {
Expected<URLRequest> adapted(const URLRequest& request, const std::shared_ptr<RequestAdapter>& adapter) {
  if (!adapter) return request;
  Expected<URLRequest> r = adapter->adapt(request);
  if (!r) return Error(AdaptError(r.error()));
  return r;
}

template <class Make>
std::shared_ptr<net::Task> makeOn(const dispatch::Queue& queue, Make make) {
  assert(!queue.is_current() && "a task factory called on the manager's own queue deadlocks");
  std::shared_ptr<net::Task> task;
  queue.sync([&] { task = make(); });
  return task;
}
}  // namespace

Expected<std::shared_ptr<net::Task>> DataRequest::Requestable::task(net::Session& session,
                                                                    const std::shared_ptr<RequestAdapter>& adapter,
                                                                    const dispatch::Queue& queue) const {
  auto r = adapted(urlRequest, adapter);
  if (!r) return r.error();
  return makeOn(queue, [&] { return session.data_task(*r); });
}

Expected<std::shared_ptr<net::Task>> DownloadRequest::Downloadable::task(net::Session& session,
                                                                        const std::shared_ptr<RequestAdapter>& adapter,
                                                                        const dispatch::Queue& queue) const {
  if (const Bytes* resume = data()) return makeOn(queue, [&] { return session.download_task_with_resume_data(*resume); });
  auto r = adapted(*urlRequest(), adapter);
  if (!r) return r.error();
  return makeOn(queue, [&] { return session.download_task(*r); });
}

const URLRequest& UploadRequest::Uploadable::urlRequest() const {
  return std::visit([](const auto& v) -> const URLRequest& { return v.urlRequest; }, value);
}

Expected<std::shared_ptr<net::Task>> UploadRequest::Uploadable::task(net::Session& session,
                                                                    const std::shared_ptr<RequestAdapter>& adapter,
                                                                    const dispatch::Queue& queue) const {
  auto r = adapted(urlRequest(), adapter);
  if (!r) return r.error();
  if (auto* d = std::get_if<Data>(&value)) return makeOn(queue, [&] { return session.upload_task(*r, d->data); });
  if (auto* f = std::get_if<File>(&value)) return makeOn(queue, [&] { return session.upload_task(*r, f->file); });
  return makeOn(queue, [&] { return session.upload_task_streamed(*r); });
}

Expected<std::shared_ptr<net::Task>> StreamRequest::Streamable::task(net::Session& session,
                                                                    const std::shared_ptr<RequestAdapter>&,
                                                                    const dispatch::Queue& queue) const {
  if (auto* hp = std::get_if<HostPort>(&value))
    return makeOn(queue, [&] { return session.stream_task(hp->hostName, hp->port); });
  const auto& service = std::get<NetService>(value);
  return makeOn(queue, [&] { return session.stream_task_for_service(service.domain, service.type, service.name); });
}

// ---- DataRequest ------------------------------------------------------------------

// A data request whose task became a download task holds a download delegate:
// the data operations then do nothing.
std::shared_ptr<DataTaskDelegate> DataRequest::dataDelegate() const {
  return std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegate());
}

std::optional<URLRequest> DataRequest::request() const {
  if (auto r = Request::request()) return r;
  if (auto* requestable = dynamic_cast<const Requestable*>(originalTask().get())) return requestable->urlRequest;
  return std::nullopt;
}

std::shared_ptr<Progress> DataRequest::progress() const {
  if (auto delegate = dataDelegate()) return delegate->progress();
  return std::make_shared<Progress>(0);
}

DataRequest& DataRequest::streamData(std::function<void(const Bytes&)> closure) {
  if (auto delegate = dataDelegate()) delegate->setDataStream(std::move(closure));
  return *this;
}

DataRequest& DataRequest::observeDownloadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue) {
  if (auto delegate = dataDelegate())
    delegate->setProgressHandler(ProgressHandler{std::move(closure), queue.value_or(dispatch::Queue::main())});
  return *this;
}

// ---- DownloadRequest --------------------------------------------------------------

std::shared_ptr<DownloadTaskDelegate> DownloadRequest::downloadDelegate() const {
  return std::static_pointer_cast<DownloadTaskDelegate>(taskDelegate());
}

std::optional<URLRequest> DownloadRequest::request() const {
  if (auto r = Request::request()) return r;
  if (auto* downloadable = dynamic_cast<const Downloadable*>(originalTask().get())) {
    if (auto* r = downloadable->urlRequest()) return *r;
  }
  return std::nullopt;
}

void DownloadRequest::cancel() {
  auto delegate = downloadDelegate();
  auto t = delegate->task();
  if (!t) return;
  if (auto download = std::dynamic_pointer_cast<net::DownloadTask>(t)) {
    download->cancel_producing_resume_data([delegate](std::optional<Bytes> data) { delegate->setResumeData(std::move(data)); });
  } else {
    t->cancel();
  }
  postLifecycle(Notification::Name::Task::didCancel, t);
}

std::optional<Bytes> DownloadRequest::resumeData() const { return downloadDelegate()->resumeData(); }
std::shared_ptr<Progress> DownloadRequest::progress() const { return downloadDelegate()->progress(); }

DownloadRequest& DownloadRequest::observeDownloadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue) {
  downloadDelegate()->setProgressHandler(ProgressHandler{std::move(closure), queue.value_or(dispatch::Queue::main())});
  return *this;
}

namespace {
// A single path component: no "/" or NUL, not "." or "..", else "Unknown".
std::string safeBaseName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return "Unknown";
  return std::string(name);
}
}  // namespace

DownloadDestination DownloadRequest::suggestedDownloadDestination(platform::os::Directory directory,
                                                                  SearchPathDomain domain) {
  return [directory, domain](const foundation::Url& temporaryURL, const net::Response& response) {
    std::vector<foundation::Url> urls;
    if ((static_cast<unsigned>(domain) & static_cast<unsigned>(SearchPathDomain::user)) != 0) {
      auto path = platform::os::FileManager::shared().url_for(directory);
      if (!path.empty()) urls.push_back(foundation::Url::file(path, true));
    }
    if (urls.empty()) return std::pair{temporaryURL, DownloadOptions()};
    auto name = safeBaseName(response.suggested_filename.value_or(""));
    return std::pair{urls.front().appending_path_component(name), DownloadOptions()};
  };
}

// ---- UploadRequest ----------------------------------------------------------------

std::optional<URLRequest> UploadRequest::request() const {
  if (auto r = DataRequest::request()) return r;
  if (auto* uploadable = dynamic_cast<const Uploadable*>(originalTask().get())) return uploadable->urlRequest();
  return std::nullopt;
}

std::shared_ptr<Progress> UploadRequest::uploadProgress() const {
  if (auto delegate = std::dynamic_pointer_cast<UploadTaskDelegate>(taskDelegate())) return delegate->uploadProgress();
  return std::make_shared<Progress>(0);
}

UploadRequest& UploadRequest::observeUploadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue) {
  if (auto delegate = std::dynamic_pointer_cast<UploadTaskDelegate>(taskDelegate()))
    delegate->setUploadProgressHandler(ProgressHandler{std::move(closure), queue.value_or(dispatch::Queue::main())});
  return *this;
}

}  // namespace Duvarel
