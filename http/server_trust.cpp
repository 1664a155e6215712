#include "http/server_trust.h"

#include <any>
#include <filesystem>
#include <set>

#include "platform/os/file_manager.h"

namespace Duvarel {

namespace {

std::shared_ptr<security::Policy> sslPolicy(bool checkHost, const std::string& host) {
  return security::Policy::ssl(true, checkHost ? std::optional<std::string>(host) : std::nullopt);
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

bool ServerTrustPolicy::trustIsValid(security::Trust& trust) {
  security::TrustResult result = security::TrustResult::invalid;
  if (trust.evaluate(&result) != security::status::ok) return false;
  return result == security::TrustResult::proceed || result == security::TrustResult::unspecified;
}

std::vector<platform::foundation::Bytes> ServerTrustPolicy::certificateData(const Certificates& certificates) {
  std::vector<platform::foundation::Bytes> out;
  for (const auto& certificate : certificates)
    if (certificate) out.push_back(certificate->der());
  return out;
}

std::vector<platform::foundation::Bytes> ServerTrustPolicy::certificateDataOfTrust(const security::Trust& trust) {
  std::vector<platform::foundation::Bytes> out;
  for (std::size_t i = 0; i < trust.certificate_count(); ++i)
    if (auto certificate = trust.certificate_at(i)) out.push_back(certificate->der());
  return out;
}

std::shared_ptr<security::Key> ServerTrustPolicy::publicKeyOfCertificate(
    const std::shared_ptr<security::Certificate>& certificate) {
  if (!certificate) return nullptr;
  std::shared_ptr<security::Trust> trust;
  if (security::Trust::create({certificate}, {security::Policy::basic_x509()}, &trust) != security::status::ok || !trust)
    return nullptr;
  return trust->copy_public_key();
}

ServerTrustPolicy::Keys ServerTrustPolicy::publicKeysOfTrust(const security::Trust& trust) {
  Keys out;
  for (std::size_t i = 0; i < trust.certificate_count(); ++i)
    if (auto key = publicKeyOfCertificate(trust.certificate_at(i))) out.push_back(std::move(key));
  return out;
}

ServerTrustPolicy::Certificates ServerTrustPolicy::certificatesInBundle(const platform::os::Bundle& bundle) {
  std::set<std::filesystem::path> paths;
  for (const char* type : {".cer", ".CER", ".crt", ".CRT", ".der", ".DER"})
    for (auto& path : bundle.paths_for_resources(type)) paths.insert(std::move(path));
  Certificates out;
  for (const auto& path : paths) {
    const auto bytes = platform::os::FileManager::shared().read(path);
    if (!bytes) continue;
    if (auto certificate = security::Certificate::from_der(*bytes)) out.push_back(std::move(certificate));
  }
  return out;
}

ServerTrustPolicy::Keys ServerTrustPolicy::publicKeysInBundle(const platform::os::Bundle& bundle) {
  Keys out;
  for (const auto& certificate : certificatesInBundle(bundle))
    if (auto key = publicKeyOfCertificate(certificate)) out.push_back(std::move(key));
  return out;
}

bool ServerTrustPolicy::evaluate(security::Trust& trust, const std::string& host) const {
  return std::visit(
      Overloaded{
          [&](const PerformDefaultEvaluation& c) {
            trust.set_policies({sslPolicy(c.checkHost, host)});
            return trustIsValid(trust);
          },
          [&](const PerformRevokedEvaluation& c) {
            trust.set_policies({sslPolicy(c.checkHost, host), security::Policy::revocation(c.revocationOptions)});
            return trustIsValid(trust);
          },
          [&](const PinCertificates& c) {
            if (c.checkChain) {
              trust.set_policies({sslPolicy(c.checkHost, host)});
              trust.set_anchor_certificates(c.pinnedCertificates);
              trust.set_anchor_certificates_only(true);
              return trustIsValid(trust);
            }
            const auto pinned = certificateData(c.pinnedCertificates);
            for (const auto& served : certificateDataOfTrust(trust))
              for (const auto& pin : pinned)
                if (served == pin) return true;
            return false;
          },
          [&](const PinPublicKeys& c) {
            if (c.checkChain) {
              trust.set_policies({sslPolicy(c.checkHost, host)});
              if (!trustIsValid(trust)) return false;
            }
            for (const auto& served : publicKeysOfTrust(trust))
              for (const auto& pin : c.pinnedKeys)
                if (pin && *served == *pin) return true;
            return false;
          },
          [&](const CustomEvaluation& c) { return c.evaluator && c.evaluator(trust, host); },
          [](const DisableEvaluation&) { return true; },
      },
      case_);
}

std::optional<ServerTrustPolicy> ServerTrustPolicyManager::policyForHost(const std::string& host) const {
  auto it = policies_.find(host);
  if (it == policies_.end()) return std::nullopt;
  return it->second;
}

std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const net::Session& session) {
  std::any value = session.associated(AssociatedKeys::serverTrustPolicyManager);
  if (auto* p = std::any_cast<std::shared_ptr<ServerTrustPolicyManager>>(&value)) return *p;
  return nullptr;
}

void attachServerTrustPolicyManager(net::Session& session, std::shared_ptr<ServerTrustPolicyManager> manager) {
  if (manager) session.set_associated(AssociatedKeys::serverTrustPolicyManager, std::any(std::move(manager)));
  else session.set_associated(AssociatedKeys::serverTrustPolicyManager, std::any());
}

std::optional<std::pair<net::AuthDisposition, std::optional<net::Credential>>> evaluateServerTrust(
    const net::Session& session, const net::Challenge& challenge) {
  const std::string& host = challenge.space.host;
  auto manager = serverTrustPolicyManager(session);
  if (!manager) return std::nullopt;
  auto policy = manager->policyForHost(host);
  if (!policy) return std::nullopt;
  if (!challenge.server_trust) return std::nullopt;
  if (policy->evaluate(*challenge.server_trust, host))
    return std::pair{net::AuthDisposition::use_credential, std::optional(net::Credential::for_trust(challenge.server_trust))};
  return std::pair{net::AuthDisposition::cancel, std::optional<net::Credential>()};
}

}  // namespace Duvarel
