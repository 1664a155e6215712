#pragma once
// Notification attachments: media downloaded into the caches folder or taken
// from the app bundle, the blocking downloader with its session delegate, the
// extension and MIME-type rules and the list of downloaded files.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"
#include "platform/notify/types.h"

namespace push {

namespace foundation = platform::foundation;
namespace net = platform::net;
namespace notify = platform::notify;

class OSNotificationPayload;

// Standard user defaults: the names of the downloaded files, in download order.
inline constexpr std::string_view kCachedMediaKey = "CACHED_MEDIA";

// The name's extension when it is one of the 13 supported ones (exact case).
std::optional<std::string> supportedFileExtension(std::string_view fileName);
// The extension of an exact MIME type of the 13-row table.
std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType);
// The value of the URL's first query item of exactly that name.
std::optional<std::string> valueFromQueryParameter(const foundation::Url& url, std::string_view name);

// Writes one data task's body to a file. The first failure is kept: a later
// report (the session's invalidation with none) never replaces it. An answer
// outside 2xx is a failed transfer. The file is closed exactly once.
class DirectDownloadDelegate : public net::SessionDelegate {
 public:
  // Replaces any file at `path` with an empty one, open for writing.
  explicit DirectDownloadDelegate(std::filesystem::path path);
  ~DirectDownloadDelegate() override;

  // Wakes `loop` once when the transfer is done.
  void setWaitingRunLoop(platform::dispatch::RunLoop* loop);

  std::shared_ptr<const net::Response> response() const;
  std::optional<foundation::Error> error() const;
  bool isDone() const;

  void did_receive_response(net::Session&, net::DataTask&, const net::Response& response,
                            std::function<void(net::ResponseDisposition)> handler) override;
  void did_receive_data(net::Session&, net::DataTask&, const net::Bytes& data) override;
  void did_complete(net::Session&, net::Task&, std::optional<foundation::Error> error) override;
  void did_become_invalid(net::Session&, std::optional<foundation::Error> error) override;

 private:
  void recordErrorLocked(std::optional<foundation::Error> error);
  void finish(std::optional<foundation::Error> error);
  void closeLocked();

  mutable std::mutex mutex_;
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  std::shared_ptr<const net::Response> response_;
  std::optional<foundation::Error> error_;
  bool done_ = false;
  platform::dispatch::RunLoop* waiting_ = nullptr;
};

// Downloads the URL's body into `file`, blocking the calling thread, which
// runs its run loop in one-second slices until the transfer is over. The
// response's MIME type (nullopt without one); on failure nullopt with `error` set.
std::optional<std::string> downloadItemAtURL(const foundation::Url& url, const std::filesystem::path& file,
                                             std::optional<foundation::Error>* error);

namespace RerAvirorHelper {

// The caches folder that holds downloaded media.
std::filesystem::path mediaFolder();

// Sets the content's attachments from the payload's: web addresses are
// downloaded, other texts are bundle resources ("name.ext"). An entry that
// fails is dropped. No attachments in the payload: the content is untouched.
void addAttachments(const OSNotificationPayload& payload, notify::Content& content);

// Downloads the media into the media folder under a random name with its
// extension and lists it under "CACHED_MEDIA"; the file name, or nullopt.
std::optional<std::string> downloadMediaAndSaveInBundle(const std::string& urlText);

}  // namespace RerAvirorHelper
}  // namespace push
