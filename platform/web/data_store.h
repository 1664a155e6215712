#pragma once
// Website data: process pools, data stores and their cookie stores.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <filesystem>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/net/cookie.h"

namespace platform::web {

// Holds nothing: pages share no script state here.
class ProcessPool {};

class WebsiteDataStore;

// The cookie store of a data store. Completions run on the main thread, on
// the next turn of the main queue, never inline.
class HttpCookieStore {
 public:
  void get_all_cookies(std::function<void(std::vector<net::Cookie>)> completion);
  void set_cookie(net::Cookie cookie, std::function<void()> completion = {});
  void delete_cookie(net::Cookie cookie, std::function<void()> completion = {});

 private:
  friend class WebsiteDataStore;
  explicit HttpCookieStore(WebsiteDataStore& owner) : owner_(owner) {}
  WebsiteDataStore& owner_;
};

class WebsiteDataStore : public std::enable_shared_from_this<WebsiteDataStore> {
 public:
  // The persistent store: its lasting cookies live in
  // <container>/Library/WebKit/cookies.plist (read on first use, written
  // atomically after changes; session cookies are never written). Before boot
  // there is no container and the store stays in memory.
  static std::shared_ptr<WebsiteDataStore> default_store();
  // A new store kept in memory only.
  static std::shared_ptr<WebsiteDataStore> non_persistent();

  HttpCookieStore& http_cookie_store() { return cookie_store_; }
  bool is_persistent() const { return !file_.empty(); }
  // The storage the web views' sessions read and write.
  const std::shared_ptr<net::CookieStorage>& cookie_storage() const { return storage_; }
  // Writes the cookie file when the lasting cookies changed since the last write.
  void save_if_changed();

  ~WebsiteDataStore();
  WebsiteDataStore(const WebsiteDataStore&) = delete;
  WebsiteDataStore& operator=(const WebsiteDataStore&) = delete;

 private:
  explicit WebsiteDataStore(std::filesystem::path file);

  HttpCookieStore cookie_store_;
  std::shared_ptr<net::CookieStorage> storage_;
  std::filesystem::path file_;  // empty: in memory
  std::mutex save_mutex_;
  std::optional<foundation::Value> saved_;  // what the file holds
};

}  // namespace platform::web
