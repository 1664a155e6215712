#pragma once
// Test certificates made in memory with OpenSSL: an EC P-256 root CA, an
// optional intermediate CA, and leaves for given host names. Nothing is read
// from or checked into the repository; write_root_pem() gives a file for a
// device profile's trust_anchors.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace testing::fakes {

using Der = std::vector<std::uint8_t>;

// A certificate with its private key, and the chain that leads to it.
class IssuedCertificate {
 public:
  IssuedCertificate(X509* certificate, EVP_PKEY* key, std::vector<X509*> issuers);   // takes ownership of all
  ~IssuedCertificate();
  IssuedCertificate(IssuedCertificate&&) noexcept;
  IssuedCertificate& operator=(IssuedCertificate&&) noexcept;
  IssuedCertificate(const IssuedCertificate&) = delete;
  IssuedCertificate& operator=(const IssuedCertificate&) = delete;

  // Owned by this object; valid while it lives (callers that keep them up_ref).
  X509* certificate() const { return certificate_; }
  EVP_PKEY* private_key() const { return key_; }
  // The issuing certificates, nearest first (intermediate, root); empty when self-signed.
  const std::vector<X509*>& issuers() const { return issuers_; }

  Der der() const;
  std::string pem() const;
  std::string key_pem() const;              // PKCS#8
  // DER of the certificate, then each issuer: leaf, [intermediate], root.
  std::vector<Der> chain_der() const;

 private:
  void release();
  X509* certificate_ = nullptr;
  EVP_PKEY* key_ = nullptr;
  std::vector<X509*> issuers_;
};

class TlsAuthority {
 public:
  struct Options {
    std::string root_name = "Fake Root CA";
    bool intermediate = false;             // leaves are then issued by an intermediate CA
    std::string intermediate_name = "Fake Intermediate CA";
  };

  TlsAuthority();
  explicit TlsAuthority(Options options);
  ~TlsAuthority();
  TlsAuthority(const TlsAuthority&) = delete;
  TlsAuthority& operator=(const TlsAuthority&) = delete;

  // A server leaf for the hosts (DNS names or IP literals as subject alternative
  // names; the first is also the common name), valid from an hour ago for 30 days.
  IssuedCertificate issue_leaf(const std::vector<std::string>& hosts) const;
  // Like issue_leaf, but valid from 30 days ago until yesterday.
  IssuedCertificate expired_leaf(const std::vector<std::string>& hosts) const;
  // A leaf for "wrong-host.invalid" only: valid, but for no host a test uses.
  IssuedCertificate wrong_host_leaf() const;
  // A leaf for the hosts signed by its own key, outside this authority.
  IssuedCertificate self_signed_leaf(const std::vector<std::string>& hosts) const;

  // Owned by the authority.
  X509* root() const { return root_.get(); }
  EVP_PKEY* root_key() const { return root_key_.get(); }
  X509* intermediate() const { return intermediate_.get(); }   // nullptr without one
  EVP_PKEY* intermediate_key() const { return intermediate_key_.get(); }

  Der root_der() const;
  std::string root_pem() const;
  Der intermediate_der() const;          // empty without one
  std::string intermediate_pem() const;  // empty without one
  // Writes root_pem() to `path`, creating its folder. False on I/O failure.
  bool write_root_pem(const std::filesystem::path& path) const;

 private:
  struct X509Free { void operator()(X509* p) const { X509_free(p); } };
  struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
  IssuedCertificate leaf(const std::vector<std::string>& hosts, long not_before_s, long not_after_s,
                         bool self_signed) const;

  std::unique_ptr<X509, X509Free> root_, intermediate_;
  std::unique_ptr<EVP_PKEY, PkeyFree> root_key_, intermediate_key_;
};

// DER and PEM of any certificate.
Der to_der(X509* certificate);
std::string to_pem(X509* certificate);

}  // namespace testing::fakes
