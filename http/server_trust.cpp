#include "http/server_trust.h"

#include <any>

namespace Duvarel {

bool ServerTrustPolicy::evaluate(security::Trust& trust, const std::string& host) const {
  if (auto* custom = std::get_if<CustomEvaluation>(&case_)) return custom->evaluator && custom->evaluator(trust, host);
  return true;  // DisableEvaluation
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
