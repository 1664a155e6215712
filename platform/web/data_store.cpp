#include "platform/web/data_store.h"

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"
#include "platform/web/internal.h"

namespace platform::web {

namespace {

std::mutex g_default_mutex;
std::shared_ptr<WebsiteDataStore> g_default;

foundation::Value lasting_cookies(const net::CookieStorage& storage) {
  const auto now = foundation::Date::now();
  foundation::Array list;
  for (const auto& cookie : storage.cookies()) {
    if (!cookie.session_only() && !cookie.expired_at(now)) list.emplace_back(cookie.properties());
  }
  return foundation::Value(std::move(list));
}

}  // namespace

WebsiteDataStore::WebsiteDataStore(std::filesystem::path file)
    : cookie_store_(*this), storage_(net::CookieStorage::make_in_memory()), file_(std::move(file)) {
  if (file_.empty()) return;
  auto read = foundation::plist::read_file(file_);
  if (!read || !read->array()) return;  // missing or unreadable: start empty, the next change replaces it
  const auto now = foundation::Date::now();
  for (const auto& item : *read->array()) {
    const auto* properties = item.dict();
    if (!properties) continue;
    auto cookie = net::Cookie::from_properties(*properties);
    if (!cookie || cookie->session_only() || cookie->expired_at(now)) continue;
    storage_->set_cookie(*cookie);
  }
  saved_ = lasting_cookies(*storage_);
}

WebsiteDataStore::~WebsiteDataStore() = default;

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::default_store() {
  std::lock_guard lock(g_default_mutex);
  if (!g_default) {
    std::filesystem::path file;
    auto library = os::FileManager::shared().url_for(os::Directory::library);
    if (!library.empty()) file = library / "WebKit" / "cookies.plist";
    g_default = std::shared_ptr<WebsiteDataStore>(new WebsiteDataStore(std::move(file)));
  }
  return g_default;
}

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::non_persistent() {
  return std::shared_ptr<WebsiteDataStore>(new WebsiteDataStore({}));
}

void WebsiteDataStore::save_if_changed() {
  if (file_.empty()) return;
  std::lock_guard lock(save_mutex_);
  auto now = lasting_cookies(*storage_);
  if (saved_ && *saved_ == now) return;
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  // A failed write leaves saved_ as it was, so the next change tries again.
  if (foundation::plist::write_file_atomically(now, file_)) saved_ = std::move(now);
}

void HttpCookieStore::get_all_cookies(std::function<void(std::vector<net::Cookie>)> completion) {
  if (!completion) return;
  auto owner = owner_.shared_from_this();
  dispatch::Queue::main().async([owner, completion = std::move(completion)] {
    completion(owner->cookie_storage()->cookies());
  });
}

void HttpCookieStore::set_cookie(net::Cookie cookie, std::function<void()> completion) {
  auto owner = owner_.shared_from_this();
  owner->cookie_storage()->set_cookie(cookie);
  owner->save_if_changed();
  dispatch::Queue::main().async([completion = std::move(completion)] {
    if (completion) completion();
  });
}

void HttpCookieStore::delete_cookie(net::Cookie cookie, std::function<void()> completion) {
  auto owner = owner_.shared_from_this();
  owner->cookie_storage()->delete_cookie(cookie);
  owner->save_if_changed();
  dispatch::Queue::main().async([completion = std::move(completion)] {
    if (completion) completion();
  });
}

namespace detail {
void reset_default_store() {
  std::lock_guard lock(g_default_mutex);
  g_default.reset();
}
}  // namespace detail

}  // namespace platform::web
