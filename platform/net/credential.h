#pragma once
// Protection spaces, credentials and the in-memory credential storage.
#include <compare>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/security/trust.h"

namespace platform::net {

struct ProtectionSpace {
  static constexpr std::string_view method_server_trust = "NSURLAuthenticationMethodServerTrust";
  static constexpr std::string_view method_http_basic = "NSURLAuthenticationMethodHTTPBasic";
  static constexpr std::string_view method_http_digest = "NSURLAuthenticationMethodHTTPDigest";
  static constexpr std::string_view method_default = "NSURLAuthenticationMethodDefault";

  std::string host;
  int port = 0;
  std::string protocol, realm;
  std::string authentication_method;

  friend auto operator<=>(const ProtectionSpace&, const ProtectionSpace&) = default;
  friend bool operator==(const ProtectionSpace&, const ProtectionSpace&) = default;
};

struct Credential {
  enum Persistence { none, for_session, permanent };

  std::shared_ptr<security::Trust> server_trust;
  std::optional<std::pair<std::string, std::string>> user_password;  // (user, password)
  Persistence persistence = none;

  static Credential for_trust(std::shared_ptr<security::Trust> trust) { return Credential{std::move(trust), {}, for_session}; }
  static Credential for_user(std::string user, std::string password, Persistence persistence) {
    return Credential{nullptr, std::pair{std::move(user), std::move(password)}, persistence};
  }
  const std::string* user() const { return user_password ? &user_password->first : nullptr; }
};

// User/password credentials per protection space, one per user name, held in
// memory for the process (permanent ones too). Credentials without a user or
// with persistence none are not stored. Hosts and protocols compare without
// regard to case. Thread-safe.
class CredentialStorage {
 public:
  static std::shared_ptr<CredentialStorage> shared();
  CredentialStorage() = default;

  std::optional<Credential> default_credential(const ProtectionSpace& space) const;
  // Sorted by user name.
  std::vector<Credential> credentials(const ProtectionSpace& space) const;
  // Replaces the credential of the same user; `as_default` also makes it the
  // space's default.
  void set(const Credential& credential, const ProtectionSpace& space, bool as_default);
  // Removes the credential of that user (and the default when it was that one).
  void remove(const Credential& credential, const ProtectionSpace& space);

 private:
  struct Entry {
    std::map<std::string, Credential> by_user;
    std::optional<std::string> default_user;
  };
  mutable std::mutex m_;
  std::map<ProtectionSpace, Entry> spaces_;
};

// Drops the shared storage. Called by net's reset hook.
void reset_credential_storage_for_testing();

}  // namespace platform::net
