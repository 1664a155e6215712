#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/security/key.h"

struct x509_st;  // OpenSSL's X509

namespace platform::security {

namespace detail {
struct CertificateAccess;
}

// An X.509 certificate, immutable.
class Certificate {
 public:
  // nullptr unless the bytes are exactly one DER certificate (no PEM, no trailing bytes).
  static std::shared_ptr<Certificate> from_der(std::span<const std::uint8_t> der);

  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  const Bytes& der() const { return der_; }
  // The subject's public key (class public_); nullptr when OpenSSL cannot decode it.
  std::shared_ptr<Key> public_key() const;
  // The subject's common name, else the value of its first attribute, else "".
  std::string subject_summary() const;

 private:
  friend struct detail::CertificateAccess;
  Certificate(x509_st* x509, Bytes der);
  x509_st* x509_;
  Bytes der_;
};

}  // namespace platform::security

namespace platform::foundation {
template <>
struct ObjectTraits<security::Certificate> {
  static constexpr std::string_view class_name = "SecCertificate";
};
}  // namespace platform::foundation
