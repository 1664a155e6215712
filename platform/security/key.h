#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/security/status.h"

struct evp_pkey_st;  // OpenSSL's EVP_PKEY

namespace platform::security {

namespace detail {
struct KeyAccess;
}

using foundation::Bytes;
using foundation::Dict;

enum class KeyClass { public_, private_ };

// An asymmetric key. Keys made here are RSA; public keys of certificates may
// also be EC (their external form is then the X9.63 point, as i2d_PublicKey gives).
class Key {
 public:
  // RSA key from its PKCS#1 DER: RSAPublicKey for public_, RSAPrivateKey for
  // private_. nullptr for anything else (SPKI, PKCS#8, trailing bytes, garbage).
  static std::shared_ptr<Key> from_external(KeyClass key_class, std::span<const std::uint8_t> pkcs1_der);

  ~Key();
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  // public_: PKCS#1 RSAPublicKey DER (EC: uncompressed point); private_: PKCS#1 RSAPrivateKey DER.
  Bytes external_representation() const;
  KeyClass key_class() const { return key_class_; }
  int bits() const;

  bool operator==(const Key& other) const { return public_der_ == other.public_der_; }

 private:
  friend struct detail::KeyAccess;
  Key(KeyClass key_class, evp_pkey_st* pkey, Bytes public_der);
  KeyClass key_class_;
  evp_pkey_st* pkey_;
  Bytes public_der_;
};

// Generates a key pair. Parameters, by the keychain attribute names of kc:
//   "type"    "42" (RSA; the only type), required
//   "bsiz"    key size in bits: 1024, 2048 (default), 3072 or 4096
//   "perm"    true: both keys are also added to the keychain as "keys" items
//   "private" / "public"  attribute dictionaries of the two items (e.g. "atag", "labl");
//             other top-level parameters (e.g. "labl", "agrp") apply to both, the
//             per-key dictionaries override them.
// status::param for malformed parameters or null outputs; status::allocate when
// OpenSSL cannot make the key; keychain statuses when "perm" adds fail (nothing is
// then added and no key is returned).
Status generate_key_pair(const Dict& parameters, std::shared_ptr<Key>* public_key, std::shared_ptr<Key>* private_key);

}  // namespace platform::security

namespace platform::foundation {
template <>
struct ObjectTraits<security::Key> {
  static constexpr std::string_view class_name = "SecKey";
};
}  // namespace platform::foundation
