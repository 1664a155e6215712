#include "platform/net/credential.h"

namespace platform::net {

namespace {

std::string lower_ascii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

ProtectionSpace key_of(const ProtectionSpace& space) {
  ProtectionSpace k = space;
  k.host = lower_ascii(std::move(k.host));
  k.protocol = lower_ascii(std::move(k.protocol));
  return k;
}

std::mutex g_credentials_m;
std::shared_ptr<CredentialStorage> g_credentials;

}  // namespace

std::shared_ptr<CredentialStorage> CredentialStorage::shared() {
  std::lock_guard lk(g_credentials_m);
  if (!g_credentials) g_credentials = std::make_shared<CredentialStorage>();
  return g_credentials;
}

void reset_credential_storage_for_testing() {
  std::lock_guard lk(g_credentials_m);
  g_credentials.reset();
}

std::optional<Credential> CredentialStorage::default_credential(const ProtectionSpace& space) const {
  std::lock_guard lk(m_);
  auto it = spaces_.find(key_of(space));
  if (it == spaces_.end() || !it->second.default_user) return std::nullopt;
  auto c = it->second.by_user.find(*it->second.default_user);
  if (c == it->second.by_user.end()) return std::nullopt;
  return c->second;
}

std::vector<Credential> CredentialStorage::credentials(const ProtectionSpace& space) const {
  std::lock_guard lk(m_);
  std::vector<Credential> out;
  auto it = spaces_.find(key_of(space));
  if (it == spaces_.end()) return out;
  for (const auto& [user, c] : it->second.by_user) out.push_back(c);
  return out;
}

void CredentialStorage::set(const Credential& credential, const ProtectionSpace& space, bool as_default) {
  if (!credential.user_password || credential.persistence == Credential::none) return;
  const std::string& user = credential.user_password->first;
  std::lock_guard lk(m_);
  Entry& e = spaces_[key_of(space)];
  e.by_user.insert_or_assign(user, credential);
  if (as_default) e.default_user = user;
}

void CredentialStorage::remove(const Credential& credential, const ProtectionSpace& space) {
  if (!credential.user_password) return;
  const std::string& user = credential.user_password->first;
  std::lock_guard lk(m_);
  auto it = spaces_.find(key_of(space));
  if (it == spaces_.end()) return;
  it->second.by_user.erase(user);
  if (it->second.default_user == user) it->second.default_user.reset();
  if (it->second.by_user.empty()) spaces_.erase(it);
}

}  // namespace platform::net
