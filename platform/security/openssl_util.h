#pragma once
// Internal: OpenSSL ownership helpers and access to the native objects behind
// the public types. Not part of the module's interface.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <span>

#include "platform/security/certificate.h"
#include "platform/security/key.h"

namespace platform::security::detail {

struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct StoreFree { void operator()(X509_STORE* p) const { X509_STORE_free(p); } };
struct StoreCtxFree { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct StackFree { void operator()(STACK_OF(X509)* p) const { sk_X509_pop_free(p, X509_free); } };
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

struct KeyAccess {
  // Wraps `pkey` (ownership moves to the key). nullptr when the public form cannot be encoded.
  static std::shared_ptr<Key> make(KeyClass key_class, PkeyPtr pkey);
  static EVP_PKEY* native(const Key& key) { return key.pkey_; }
  static const Bytes& public_der(const Key& key) { return key.public_der_; }
  static bool is_rsa(const Key& key);
};

struct CertificateAccess {
  static X509* native(const Certificate& certificate);
};

// DER of an X509; empty on failure.
Bytes to_der(X509* certificate);

}  // namespace platform::security::detail
