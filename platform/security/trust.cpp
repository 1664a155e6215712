#include "platform/security/trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <filesystem>

#include "platform/os/profile.h"
#include "platform/security/openssl_util.h"
#include "platform/security/security_internal.h"

namespace platform::security {

namespace {

using detail::StorePtr;

// The system anchors, built once per set of profile anchors: OpenSSL's default
// paths (the hashed directory is read lazily) plus the profile's PEM files.
struct SystemStoreCache {
  std::mutex mutex;
  std::vector<std::filesystem::path> anchor_files;
  X509_STORE* store = nullptr;
};

SystemStoreCache& system_cache() {
  static SystemStoreCache* cache = new SystemStoreCache;
  return *cache;
}

void add_system_anchors(X509_STORE* store) {
  X509_STORE_set_default_paths(store);
  for (const auto& file : os::profile().trust_anchors) X509_STORE_load_file(store, file.c_str());
  ERR_clear_error();   // a missing default file or unreadable anchor file is not an evaluation error
}

StorePtr system_store() {
  auto& cache = system_cache();
  std::lock_guard lock(cache.mutex);
  const auto& files = os::profile().trust_anchors;
  if (!cache.store || cache.anchor_files != files) {
    X509_STORE_free(cache.store);
    cache.store = X509_STORE_new();
    if (!cache.store) return nullptr;
    cache.anchor_files = files;
    add_system_anchors(cache.store);
  }
  if (X509_STORE_up_ref(cache.store) != 1) return nullptr;
  return StorePtr(cache.store);
}

bool is_ip_literal(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::shared_ptr<Certificate> wrap(X509* x509, const std::vector<std::shared_ptr<Certificate>>& known) {
  Bytes der = detail::to_der(x509);
  for (const auto& c : known)
    if (c->der() == der) return c;
  return Certificate::from_der(der);
}

}  // namespace

void detail::reset_trust_caches() {
  auto& cache = system_cache();
  std::lock_guard lock(cache.mutex);
  X509_STORE_free(cache.store);
  cache.store = nullptr;
  cache.anchor_files.clear();
}

std::shared_ptr<Policy> Policy::ssl(bool server, std::optional<std::string> host) {
  return std::shared_ptr<Policy>(new Policy(Kind::ssl, server, std::move(host), 0));
}

std::shared_ptr<Policy> Policy::basic_x509() {
  return std::shared_ptr<Policy>(new Policy(Kind::basic_x509, false, std::nullopt, 0));
}

std::shared_ptr<Policy> Policy::revocation(std::uint64_t options) {
  return std::shared_ptr<Policy>(new Policy(Kind::revocation, false, std::nullopt, options));
}

Status Trust::create(std::vector<std::shared_ptr<Certificate>> chain, std::vector<std::shared_ptr<Policy>> policies,
                     std::shared_ptr<Trust>* out) {
  if (!out || chain.empty()) return status::param;
  for (const auto& c : chain)
    if (!c) return status::param;
  for (const auto& p : policies)
    if (!p) return status::param;
  std::shared_ptr<Trust> trust(new Trust);
  trust->given_ = std::move(chain);
  trust->chain_ = trust->given_;
  trust->policies_ = std::move(policies);
  *out = std::move(trust);
  return status::ok;
}

Status Trust::set_policies(std::vector<std::shared_ptr<Policy>> policies) {
  for (const auto& p : policies)
    if (!p) return status::param;
  std::lock_guard lock(mutex_);
  policies_ = std::move(policies);
  chain_ = given_;
  return status::ok;
}

Status Trust::set_anchor_certificates(std::vector<std::shared_ptr<Certificate>> anchors) {
  for (const auto& c : anchors)
    if (!c) return status::param;
  std::lock_guard lock(mutex_);
  anchors_ = std::move(anchors);
  custom_anchors_ = true;
  anchors_only_ = true;
  chain_ = given_;
  return status::ok;
}

Status Trust::set_anchor_certificates_only(bool only) {
  std::lock_guard lock(mutex_);
  anchors_only_ = only;
  chain_ = given_;
  return status::ok;
}

Status Trust::evaluate(TrustResult* result) {
  if (!result) return status::param;
  std::lock_guard lock(mutex_);

  StorePtr store;
  if (!custom_anchors_) {
    store = system_store();
  } else {
    store.reset(X509_STORE_new());
    if (store) {
      if (!anchors_only_) add_system_anchors(store.get());
      for (const auto& a : anchors_) X509_STORE_add_cert(store.get(), detail::CertificateAccess::native(*a));
    }
  }
  detail::StackPtr untrusted(sk_X509_new_null());
  if (!store || !untrusted) return status::allocate;
  for (std::size_t i = 1; i < given_.size(); ++i) {
    X509* x = detail::CertificateAccess::native(*given_[i]);
    if (X509_up_ref(x) != 1 || !sk_X509_push(untrusted.get(), x)) return status::allocate;
  }

  std::vector<const Policy*> passes;
  bool demands_positive_revocation = false;
  for (const auto& p : policies_) {
    if (p->kind() == Policy::Kind::ssl) passes.push_back(p.get());
    if (p->kind() == Policy::Kind::revocation && (p->revocation_options() & revocation::require_positive_response))
      demands_positive_revocation = true;
  }
  if (passes.empty()) passes.push_back(nullptr);   // basic X.509 rules only

  std::vector<std::shared_ptr<Certificate>> known = given_;
  known.insert(known.end(), anchors_.begin(), anchors_.end());
  bool verified = true;
  for (const Policy* policy : passes) {
    detail::StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), detail::CertificateAccess::native(*given_[0]),
                                    untrusted.get()) != 1)
      return status::allocate;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    bool host_ok = true;
    if (policy) {
      X509_STORE_CTX_set_purpose(ctx.get(), policy->server() ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT);
      if (const auto& host = policy->host()) {
        if (host->empty()) {
          host_ok = false;
        } else if (is_ip_literal(*host)) {
          host_ok = X509_VERIFY_PARAM_set1_ip_asc(param, host->c_str()) == 1;
        } else {
          X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
          host_ok = X509_VERIFY_PARAM_set1_host(param, host->data(), host->size()) == 1;
        }
      }
    }
    const bool ok = host_ok && X509_verify_cert(ctx.get()) == 1;
    if (STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get()); built && sk_X509_num(built) > 0) {
      std::vector<std::shared_ptr<Certificate>> chain;
      for (int i = 0; i < sk_X509_num(built); ++i)
        if (auto c = wrap(sk_X509_value(built, i), known)) chain.push_back(std::move(c));
      chain_ = std::move(chain);
    }
    if (!ok) {
      verified = false;
      break;
    }
  }
  ERR_clear_error();
  *result = verified && !demands_positive_revocation ? TrustResult::unspecified : TrustResult::recoverable_failure;
  return status::ok;
}

std::size_t Trust::certificate_count() const {
  std::lock_guard lock(mutex_);
  return chain_.size();
}

std::shared_ptr<Certificate> Trust::certificate_at(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < chain_.size() ? chain_[index] : nullptr;
}

std::shared_ptr<Key> Trust::copy_public_key() const {
  std::lock_guard lock(mutex_);
  return given_.front()->public_key();
}

}  // namespace platform::security
