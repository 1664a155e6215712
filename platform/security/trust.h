#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/key.h"
#include "platform/security/status.h"

namespace platform::security {

// Option bits of a revocation policy, with the original platform's values.
namespace revocation {
inline constexpr std::uint64_t ocsp_method = 1 << 0;
inline constexpr std::uint64_t crl_method = 1 << 1;
inline constexpr std::uint64_t prefer_crl = 1 << 2;
inline constexpr std::uint64_t require_positive_response = 1 << 3;
inline constexpr std::uint64_t network_access_disabled = 1 << 4;
inline constexpr std::uint64_t use_any_available_method = ocsp_method | crl_method;
}  // namespace revocation

// What an evaluation is checked against. Immutable.
class Policy {
 public:
  enum class Kind { ssl, basic_x509, revocation };

  // TLS: the leaf must be fit for a server (server = true) or a client, and,
  // when a host is given, carry it (DNS or IP subject alternative name; the
  // common name counts only when the leaf has no DNS name).
  static std::shared_ptr<Policy> ssl(bool server, std::optional<std::string> host);
  // A chain to a trusted anchor, valid now; no purpose or host.
  static std::shared_ptr<Policy> basic_x509();
  // Revocation checking. There is no online revocation checking (no OCSP, no CRL
  // fetching): a revocation policy whose options include require_positive_response
  // makes every evaluation fail with recoverable_failure, since no positive answer
  // can be had; with any other options it adds nothing to a chain that otherwise
  // verifies.
  static std::shared_ptr<Policy> revocation(std::uint64_t options);

  Kind kind() const { return kind_; }
  bool server() const { return server_; }
  const std::optional<std::string>& host() const { return host_; }
  std::uint64_t revocation_options() const { return options_; }

 private:
  Policy(Kind kind, bool server, std::optional<std::string> host, std::uint64_t options)
      : kind_(kind), server_(server), host_(std::move(host)), options_(options) {}
  Kind kind_;
  bool server_;
  std::optional<std::string> host_;
  std::uint64_t options_;
};

enum class TrustResult : std::uint32_t {
  invalid = 0,
  proceed = 1,
  confirm = 2,
  deny = 3,
  unspecified = 4,
  recoverable_failure = 5,
  fatal_failure = 6,
  other_error = 7,
};

// A certificate chain (leaf first) to be evaluated against policies and anchors.
//
// Anchors: by default the system anchors, which are OpenSSL's default store plus
// the PEM files of the device profile's trust_anchors. set_anchor_certificates
// replaces them with the given certificates (which may be intermediates: a chain
// ending at any anchor is trusted) until set_anchor_certificates_only(false) adds
// the system anchors back.
//
// Validity is checked against the host's real time. Evaluation runs every SSL
// policy (each with its own purpose and host); without one, the basic X.509 rules.
// After evaluate, certificate_count/certificate_at give the chain OpenSSL built
// (leaf to anchor, which may add the anchor the server did not send); before it,
// and after a change of policies or anchors, the chain given.
class Trust {
 public:
  // status::param for an empty chain, a null certificate or policy, or a null out.
  static Status create(std::vector<std::shared_ptr<Certificate>> chain, std::vector<std::shared_ptr<Policy>> policies,
                       std::shared_ptr<Trust>* out);

  Status set_policies(std::vector<std::shared_ptr<Policy>> policies);
  Status set_anchor_certificates(std::vector<std::shared_ptr<Certificate>> anchors);
  Status set_anchor_certificates_only(bool only);

  // status::ok with unspecified (4) for a chain that verifies under every policy,
  // recoverable_failure (5) for any verification failure (untrusted or
  // self-signed root, expired, wrong host or purpose, broken signature);
  // status::param when result is null.
  Status evaluate(TrustResult* result);

  std::size_t certificate_count() const;
  std::shared_ptr<Certificate> certificate_at(std::size_t index) const;   // nullptr past the end
  std::shared_ptr<Key> copy_public_key() const;                          // the leaf's key

 private:
  Trust() = default;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Certificate>> given_;
  std::vector<std::shared_ptr<Certificate>> chain_;   // given_, or the chain the last evaluation built
  std::vector<std::shared_ptr<Policy>> policies_;
  std::vector<std::shared_ptr<Certificate>> anchors_;
  bool custom_anchors_ = false;
  bool anchors_only_ = false;
};

}  // namespace platform::security
