#include "platform/security/certificate.h"

#include <openssl/x509.h>

#include "platform/security/openssl_util.h"

namespace platform::security {

namespace detail {

X509* CertificateAccess::native(const Certificate& certificate) { return certificate.x509_; }

Bytes to_der(X509* certificate) {
  unsigned char* out = nullptr;
  const int length = i2d_X509(certificate, &out);
  if (length <= 0) return {};
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

}  // namespace detail

Certificate::Certificate(x509_st* x509, Bytes der) : x509_(x509), der_(std::move(der)) {}

Certificate::~Certificate() { X509_free(x509_); }

std::shared_ptr<Certificate> Certificate::from_der(std::span<const std::uint8_t> der) {
  if (der.empty()) return nullptr;
  const unsigned char* p = der.data();
  detail::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x509 || p != der.data() + der.size()) return nullptr;
  return std::shared_ptr<Certificate>(new Certificate(x509.release(), Bytes(der.begin(), der.end())));
}

std::shared_ptr<Key> Certificate::public_key() const {
  EVP_PKEY* pkey = X509_get0_pubkey(x509_);
  if (!pkey || EVP_PKEY_up_ref(pkey) != 1) return nullptr;
  return detail::KeyAccess::make(KeyClass::public_, detail::PkeyPtr(pkey));
}

std::string Certificate::subject_summary() const {
  const X509_NAME* name = X509_get_subject_name(x509_);
  if (!name || X509_NAME_entry_count(name) == 0) return {};
  int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) index = 0;
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = value ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
  if (length < 0) return {};
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

}  // namespace platform::security
