#pragma once
// Server trust policies by host, consulted on server-trust challenges. The
// manager is attached to a URL session as an associated object.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/net/session.h"
#include "platform/os/bundle.h"
#include "platform/security/certificate.h"
#include "platform/security/key.h"
#include "platform/security/trust.h"

namespace Duvarel {

namespace net = platform::net;
namespace security = platform::security;

class ServerTrustPolicy {
 public:
  using Certificates = std::vector<std::shared_ptr<security::Certificate>>;
  using Keys = std::vector<std::shared_ptr<security::Key>>;

  // The platform's evaluation under the SSL policy (naming the host when checkHost).
  struct PerformDefaultEvaluation {
    bool checkHost;
  };
  // The SSL policy, then a revocation policy with the given option bits.
  struct PerformRevokedEvaluation {
    bool checkHost;
    std::uint64_t revocationOptions;
  };
  // With checkChain: the chain must evaluate to one of the pinned certificates
  // as its only anchors. Without: any certificate of the chain byte-equal to a
  // pinned one suffices, and nothing is evaluated.
  struct PinCertificates {
    Certificates pinnedCertificates;
    bool checkChain;
    bool checkHost;
  };
  // Any key of the chain equal to a pinned key; with checkChain the chain must evaluate first.
  struct PinPublicKeys {
    Keys pinnedKeys;
    bool checkChain;
    bool checkHost;
  };
  // A caller's function from the trust and the host to a verdict.
  struct CustomEvaluation {
    std::function<bool(security::Trust&, const std::string&)> evaluator;
  };
  // Accepts every trust.
  struct DisableEvaluation {};
  using Case = std::variant<PerformDefaultEvaluation, PerformRevokedEvaluation, PinCertificates, PinPublicKeys,
                            CustomEvaluation, DisableEvaluation>;

  static ServerTrustPolicy performDefaultEvaluation(bool checkHost) {
    return ServerTrustPolicy(PerformDefaultEvaluation{checkHost});
  }
  static ServerTrustPolicy performRevokedEvaluation(bool checkHost, std::uint64_t revocationOptions) {
    return ServerTrustPolicy(PerformRevokedEvaluation{checkHost, revocationOptions});
  }
  static ServerTrustPolicy pinCertificates(Certificates pinnedCertificates, bool checkChain, bool checkHost) {
    return ServerTrustPolicy(PinCertificates{std::move(pinnedCertificates), checkChain, checkHost});
  }
  static ServerTrustPolicy pinPublicKeys(Keys pinnedKeys, bool checkChain, bool checkHost) {
    return ServerTrustPolicy(PinPublicKeys{std::move(pinnedKeys), checkChain, checkHost});
  }
  static ServerTrustPolicy customEvaluation(std::function<bool(security::Trust&, const std::string&)> evaluator) {
    return ServerTrustPolicy(CustomEvaluation{std::move(evaluator)});
  }
  static ServerTrustPolicy disableEvaluation() { return ServerTrustPolicy(DisableEvaluation{}); }

  explicit ServerTrustPolicy(Case c) : case_(std::move(c)) {}
  const Case& value() const { return case_; }

  // True when the trust may be accepted for the host. Sets the trust's
  // policies and anchors as the case requires.
  bool evaluate(security::Trust& trust, const std::string& host) const;

  // The DER certificates among the bundle's resources (".cer", ".CER", ".crt",
  // ".CRT", ".der", ".DER" at the top and at the top of each localization),
  // each path once; unreadable files and other bytes are skipped.
  static Certificates certificatesInBundle(const platform::os::Bundle& bundle = platform::os::Bundle::main());
  static Keys publicKeysInBundle(const platform::os::Bundle& bundle = platform::os::Bundle::main());

  // Status 0 and a result of proceed or unspecified.
  static bool trustIsValid(security::Trust& trust);
  static std::vector<platform::foundation::Bytes> certificateData(const Certificates& certificates);
  static std::vector<platform::foundation::Bytes> certificateDataOfTrust(const security::Trust& trust);
  static Keys publicKeysOfTrust(const security::Trust& trust);
  // The key of a basic X.509 trust of the one certificate; nullptr when none.
  static std::shared_ptr<security::Key> publicKeyOfCertificate(const std::shared_ptr<security::Certificate>& certificate);

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
