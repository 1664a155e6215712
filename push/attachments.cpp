// Notification attachments and the blocking media download.
#include "push/attachments.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"
#include "push/log.h"
#include "push/payload.h"
#include "push/reraviror.h"
#include "push/utilities.h"

namespace push {

namespace os = platform::os;
namespace dispatch = platform::dispatch;
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 13> kSupportedExtensions = {
    "aiff", "wav", "mp3", "mp4", "jpg", "jpeg", "png", "gif", "mpeg", "mpg", "avi", "m4a", "m4v"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kMimeExtensions = {{
    {"audio/aiff", "aiff"},
    {"audio/x-wav", "wav"},
    {"audio/mpeg", "mp3"},
    {"video/mp4", "mp4"},
    {"image/jpeg", "jpeg"},
    {"image/jpg", "jpg"},
    {"image/png", "png"},
    {"image/gif", "gif"},
    {"video/mpeg", "mpeg"},
    {"video/mpg", "mpg"},
    {"video/avi", "avi"},
    {"sound/m4a", "m4a"},
    {"video/m4v", "m4v"},
}};

bool isSupportedExtension(std::string_view extension) {
  for (std::string_view supported : kSupportedExtensions) {
    if (supported == extension) return true;
  }
  return false;
}

std::vector<std::string> splitAtDots(std::string_view text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = text.find('.', start);
    parts.emplace_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return parts;
    start = dot + 1;
  }
}

foundation::Error posixError(int code, const fs::path& path) {
  return foundation::Error("NSPOSIXErrorDomain", code,
                           {{"NSLocalizedDescription", std::string(std::strerror(code))},
                            {std::string(foundation::key_file_path), path.string()}});
}

void logDownloadError(const std::string& urlText) {
  RerAviror::reraviror_Log(kLogError, "Encountered an error while attempting to download file with URL: " + urlText);
}

void appendCachedMedia(const std::string& fileName) {
  os::UserDefaults& defaults = os::UserDefaults::standard();
  foundation::Array names;
  if (auto stored = defaults.object(kCachedMediaKey); stored && stored->array()) names = *stored->array();
  names.emplace_back(fileName);
  defaults.set(kCachedMediaKey, std::optional<foundation::Value>(std::in_place, std::move(names)));
  defaults.synchronize();
}

}  // namespace

std::optional<std::string> supportedFileExtension(std::string_view fileName) {
  std::vector<std::string> parts = splitAtDots(fileName);
  if (parts.size() < 2 || !isSupportedExtension(parts.back())) return std::nullopt;
  return parts.back();
}

std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType) {
  for (const auto& [mime, extension] : kMimeExtensions) {
    if (mime == mimeType) return std::string(extension);
  }
  return std::nullopt;
}

std::optional<std::string> valueFromQueryParameter(const foundation::Url& url, std::string_view name) {
  auto items = foundation::UrlComponents(url).query_items();
  if (!items) return std::nullopt;
  for (const auto& item : *items) {
    if (item.name == name) return item.value;
  }
  return std::nullopt;
}

// ---- DirectDownloadDelegate ----

DirectDownloadDelegate::DirectDownloadDelegate(fs::path path) : path_(std::move(path)) {
  std::error_code ignored;
  fs::remove(path_, ignored);
  file_ = std::fopen(path_.c_str(), "wb");
  if (!file_) error_ = posixError(errno, path_);
}

DirectDownloadDelegate::~DirectDownloadDelegate() {
  std::lock_guard lock(mutex_);
  closeLocked();
}

void DirectDownloadDelegate::setWaitingRunLoop(dispatch::RunLoop* loop) {
  std::lock_guard lock(mutex_);
  waiting_ = loop;
}

std::shared_ptr<const net::Response> DirectDownloadDelegate::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

std::optional<foundation::Error> DirectDownloadDelegate::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool DirectDownloadDelegate::isDone() const {
  std::lock_guard lock(mutex_);
  return done_;
}

void DirectDownloadDelegate::recordErrorLocked(std::optional<foundation::Error> error) {
  if (error && !error_) error_ = std::move(error);
}

void DirectDownloadDelegate::closeLocked() {
  if (!file_) return;
  std::FILE* file = std::exchange(file_, nullptr);
  if (std::fclose(file) != 0) recordErrorLocked(posixError(errno, path_));
}

void DirectDownloadDelegate::did_receive_response(net::Session&, net::DataTask&, const net::Response& response,
                                                  std::function<void(net::ResponseDisposition)> handler) {
  bool accepted = true;
  {
    std::lock_guard lock(mutex_);
    response_ = std::make_shared<const net::Response>(response);
    if (response.status && (*response.status < 200 || *response.status > 299)) {
      accepted = false;
      recordErrorLocked(foundation::Error(
          std::string(foundation::url_error::domain), foundation::url_error::bad_server_response,
          {{"NSLocalizedDescription", "HTTP status " + std::to_string(*response.status)},
           {std::string(foundation::key_failing_url_string), response.url.absolute_string()}}));
    }
  }
  handler(accepted ? net::ResponseDisposition::allow : net::ResponseDisposition::cancel);
}

void DirectDownloadDelegate::did_receive_data(net::Session&, net::DataTask& task, const net::Bytes& data) {
  bool failed = false;
  {
    std::lock_guard lock(mutex_);
    if (!file_ || error_) return;
    if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) {
      recordErrorLocked(posixError(errno, path_));
      failed = true;
    }
  }
  if (failed) task.cancel();
}

void DirectDownloadDelegate::did_complete(net::Session&, net::Task&, std::optional<foundation::Error> error) {
  finish(std::move(error));
}

void DirectDownloadDelegate::did_become_invalid(net::Session&, std::optional<foundation::Error> error) {
  finish(std::move(error));
}

void DirectDownloadDelegate::finish(std::optional<foundation::Error> error) {
  std::lock_guard lock(mutex_);
  recordErrorLocked(std::move(error));
  closeLocked();
  if (done_) return;
  done_ = true;
  // Under the lock, so the waiting thread cannot see "done" and leave first.
  if (waiting_) waiting_->perform([] {});
}

std::optional<std::string> downloadItemAtURL(const foundation::Url& url, const fs::path& file,
                                             std::optional<foundation::Error>* error) {
  auto delegate = std::make_shared<DirectDownloadDelegate>(file);
  if (auto failure = delegate->error()) {
    if (error) *error = std::move(failure);
    return std::nullopt;
  }
  dispatch::RunLoop& loop = dispatch::RunLoop::current();
  delegate->setWaitingRunLoop(&loop);

  auto session = net::Session::make(net::Configuration::default_config(), delegate);
  auto task = session->data_task(net::Request(url));
  task->resume();
  session->finish_tasks_and_invalidate();
  while (!delegate->isDone()) {
    loop.run_until([&delegate] { return delegate->isDone(); }, std::chrono::seconds(1));
  }

  if (auto failure = delegate->error()) {
    if (error) *error = std::move(failure);
    return std::nullopt;
  }
  auto response = delegate->response();
  return response ? response->mime_type : std::nullopt;
}

namespace RerAvirorHelper {

fs::path mediaFolder() { return os::FileManager::shared().url_for(os::Directory::caches); }

std::optional<std::string> downloadMediaAndSaveInBundle(const std::string& urlText) {
  try {
    std::optional<foundation::Url> url = foundation::Url::parse(urlText);
    if (!url) {
      logDownloadError(urlText);
      return std::nullopt;
    }
    std::optional<std::string> extension;
    if (std::string ext = url->path_extension(); !ext.empty()) extension = std::move(ext);
    if (extension && !isSupportedExtension(*extension)) return std::nullopt;

    std::string fileName = randomStringWithLength(10);
    if (extension) fileName += "." + *extension;
    const fs::path folder = mediaFolder();
    const fs::path filePath = folder / fileName;

    std::optional<foundation::Error> error;
    std::optional<std::string> mimeType = downloadItemAtURL(*url, filePath, &error);
    if (error) {
      logDownloadError(urlText);
      std::error_code ignored;
      fs::remove(filePath, ignored);
      return std::nullopt;
    }

    if (!extension) {
      if (!mimeType || mimeType->empty()) {
        if (auto name = valueFromQueryParameter(*url, "filename")) extension = supportedFileExtension(*name);
      } else {
        extension = fileExtensionForMimeType(*mimeType);
      }
      // The file stays where it is, unlisted.
      if (!extension || !isSupportedExtension(*extension)) return std::nullopt;
      std::string named = fileName + "." + *extension;
      if (!os::FileManager::shared().move_item(filePath, folder / named)) {
        logDownloadError(urlText);
        return std::nullopt;
      }
      fileName = std::move(named);
    }

    appendCachedMedia(fileName);
    return fileName;
  } catch (const std::exception& exception) {
    RerAviror::reraviror_Log(kLogError, "RerAviror encountered an exception while downloading file (" + urlText +
                                            "), exception: " + exception.what());
    return std::nullopt;
  }
}

void addAttachments(const OSNotificationPayload& payload, notify::Content& content) {
  const std::optional<foundation::Dict>& attachments = payload.attachments();
  if (!attachments) return;
  std::vector<notify::Attachment> collected;
  for (const auto& [identifier, value] : *attachments) {
    const std::string* text = value.string();
    if (!text) continue;
    std::string media = trimURLSpacing(*text).value_or("");
    std::optional<fs::path> file;
    auto url = foundation::Url::parse(media);
    if (url && isWWWScheme(*url)) {
      if (auto name = downloadMediaAndSaveInBundle(media)) file = mediaFolder() / *name;
    } else {
      std::vector<std::string> parts = splitAtDots(media);
      if (parts.size() < 2) continue;
      std::string extension = parts.back();
      parts.pop_back();
      std::string name;
      for (std::size_t i = 0; i < parts.size(); ++i) name += (i ? "." : "") + parts[i];
      file = os::Bundle::main().path_for_resource(name, extension);
    }
    // An attachment needs its file: a missing one is a creation error.
    std::error_code ec;
    if (!file || !fs::is_regular_file(*file, ec)) continue;
    collected.push_back(notify::Attachment{identifier, foundation::Url::file(*file), {}});
  }
  content.attachments = std::move(collected);
}

}  // namespace RerAvirorHelper
}  // namespace push
