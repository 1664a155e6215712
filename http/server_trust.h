#pragma once
// Server trust policies by host, consulted on server-trust challenges. The
// manager is attached to a URL session as an associated object.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/net/session.h"
#include "platform/security/trust.h"

namespace Duvarel {

namespace net = platform::net;
namespace security = platform::security;

class ServerTrustPolicy {
 public:
  // A caller's function from the trust and the host to a verdict.
  struct CustomEvaluation {
    std::function<bool(security::Trust&, const std::string&)> evaluator;
  };
  // Accepts every trust.
  struct DisableEvaluation {};
  using Case = std::variant<CustomEvaluation, DisableEvaluation>;

  static ServerTrustPolicy customEvaluation(std::function<bool(security::Trust&, const std::string&)> evaluator) {
    return ServerTrustPolicy(CustomEvaluation{std::move(evaluator)});
  }
  static ServerTrustPolicy disableEvaluation() { return ServerTrustPolicy(DisableEvaluation{}); }

  explicit ServerTrustPolicy(Case c) : case_(std::move(c)) {}
  const Case& value() const { return case_; }

  // True when the trust may be accepted for the host.
  bool evaluate(security::Trust& trust, const std::string& host) const;

 private:
  Case case_;
};

class ServerTrustPolicyManager {
 public:
  explicit ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies) : policies_(std::move(policies)) {}
  virtual ~ServerTrustPolicyManager() = default;

  // The policy stored under exactly this host text.
  virtual std::optional<ServerTrustPolicy> policyForHost(const std::string& host) const;

  const std::map<std::string, ServerTrustPolicy>& policies() const { return policies_; }

 private:
  const std::map<std::string, ServerTrustPolicy> policies_;
};

namespace AssociatedKeys {
// Key of the policy manager attached to a session.
inline constexpr char managerKey = 0;
inline const void* const serverTrustPolicyManager = &managerKey;
}  // namespace AssociatedKeys

// The policy manager attached to the session; nullptr when none (or a value of another type).
std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager(const net::Session& session);
// Attaches the manager (nullptr removes it).
void attachServerTrustPolicyManager(net::Session& session, std::shared_ptr<ServerTrustPolicyManager> manager);

// The default answer to a server-trust challenge under the session's policies:
// nullopt when there is no manager, no policy for the host or no trust
// (perform default handling); otherwise use-credential or cancel.
std::optional<std::pair<net::AuthDisposition, std::optional<net::Credential>>> evaluateServerTrust(
    const net::Session& session, const net::Challenge& challenge);

}  // namespace Duvarel
