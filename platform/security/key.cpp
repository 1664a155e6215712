#include "platform/security/key.h"

#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>

#include "platform/security/keychain.h"
#include "platform/security/keychain_store.h"
#include "platform/security/openssl_util.h"

namespace platform::security {

namespace {

Bytes encode_public(EVP_PKEY* pkey) {
  unsigned char* out = nullptr;
  const int length = i2d_PublicKey(pkey, &out);
  if (length <= 0) return {};
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

Bytes encode_private(EVP_PKEY* pkey) {
  OSSL_ENCODER_CTX* ctx = OSSL_ENCODER_CTX_new_for_pkey(pkey, EVP_PKEY_KEYPAIR, "DER", "type-specific", nullptr);
  if (!ctx) return {};
  unsigned char* out = nullptr;
  std::size_t length = 0;
  Bytes der;
  if (OSSL_ENCODER_CTX_get_num_encoders(ctx) > 0 && OSSL_ENCODER_to_data(ctx, &out, &length) == 1) {
    der.assign(out, out + length);
    OPENSSL_free(out);
  }
  OSSL_ENCODER_CTX_free(ctx);
  return der;
}

}  // namespace

namespace detail {

std::shared_ptr<Key> KeyAccess::make(KeyClass key_class, PkeyPtr pkey) {
  if (!pkey) return nullptr;
  Bytes public_der = encode_public(pkey.get());
  if (public_der.empty()) return nullptr;
  return std::shared_ptr<Key>(new Key(key_class, pkey.release(), std::move(public_der)));
}

bool KeyAccess::is_rsa(const Key& key) { return EVP_PKEY_is_a(key.pkey_, "RSA") == 1; }

}  // namespace detail

Key::Key(KeyClass key_class, evp_pkey_st* pkey, Bytes public_der)
    : key_class_(key_class), pkey_(pkey), public_der_(std::move(public_der)) {}

Key::~Key() { EVP_PKEY_free(pkey_); }

std::shared_ptr<Key> Key::from_external(KeyClass key_class, std::span<const std::uint8_t> pkcs1_der) {
  if (pkcs1_der.empty()) return nullptr;
  EVP_PKEY* raw = nullptr;
  const int selection = key_class == KeyClass::public_ ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR;
  OSSL_DECODER_CTX* ctx = OSSL_DECODER_CTX_new_for_pkey(&raw, "DER", "type-specific", "RSA", selection, nullptr, nullptr);
  if (!ctx) return nullptr;
  const unsigned char* data = pkcs1_der.data();
  std::size_t remaining = pkcs1_der.size();
  const bool decoded = OSSL_DECODER_from_data(ctx, &data, &remaining) == 1;
  OSSL_DECODER_CTX_free(ctx);
  detail::PkeyPtr pkey(raw);
  if (!decoded || !pkey || remaining != 0) return nullptr;
  auto key = detail::KeyAccess::make(key_class, std::move(pkey));
  // DER is canonical: a genuine PKCS#1 structure of this class encodes back to the same bytes.
  if (!key || key->external_representation() != Bytes(pkcs1_der.begin(), pkcs1_der.end())) return nullptr;
  return key;
}

Bytes Key::external_representation() const {
  return key_class_ == KeyClass::public_ ? public_der_ : encode_private(pkey_);
}

int Key::bits() const { return EVP_PKEY_get_bits(pkey_); }

Status generate_key_pair(const Dict& parameters, std::shared_ptr<Key>* public_key, std::shared_ptr<Key>* private_key) {
  if (!public_key || !private_key) return status::param;
  const foundation::Value* type = parameters.find(kc::key_type);
  if (!type || !type->string() || *type->string() != kc::key_type_rsa) return status::param;
  std::int64_t bits = 2048;
  if (const foundation::Value* size = parameters.find(kc::key_size)) {
    if (!size->is_integer() && !size->is_real()) return status::param;
    bits = size->as_int().value_or(0);
    if (bits != 1024 && bits != 2048 && bits != 3072 && bits != 4096) return status::param;
  }
  bool permanent = false;
  if (const foundation::Value* perm = parameters.find(kc::is_permanent)) {
    if (!perm->is_number()) return status::param;
    permanent = perm->as_bool().value_or(false);
  }
  const Dict empty;
  const Dict* private_attrs = &empty;
  const Dict* public_attrs = &empty;
  if (const foundation::Value* v = parameters.find(kc::private_key_attrs)) {
    if (!v->dict()) return status::param;
    private_attrs = v->dict();
  }
  if (const foundation::Value* v = parameters.find(kc::public_key_attrs)) {
    if (!v->dict()) return status::param;
    public_attrs = v->dict();
  }

  detail::PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
  if (!pkey) return status::allocate;
  auto priv = detail::KeyAccess::make(KeyClass::private_, std::move(pkey));
  // The public key holds no private material: it is rebuilt from its own external form.
  auto pub = priv ? Key::from_external(KeyClass::public_, detail::KeyAccess::public_der(*priv)) : nullptr;
  if (!priv || !pub) return status::allocate;

  if (permanent) {
    auto item_for = [&](const std::shared_ptr<Key>& key, const Dict& own) {
      Dict item;
      for (const auto& [name, value] : parameters) {
        if (name == kc::private_key_attrs || name == kc::public_key_attrs) continue;
        item.set(name, value);
      }
      for (const auto& [name, value] : own) item.set(name, value);
      item.set(std::string(kc::class_), std::string(kc::class_key));
      item.set(std::string(kc::value_ref), foundation::Value::object(key));
      return item;
    };
    const Status added = detail::keychain_add_items({item_for(priv, *private_attrs), item_for(pub, *public_attrs)});
    if (added != status::ok) return added;
  }
  *public_key = std::move(pub);
  *private_key = std::move(priv);
  return status::ok;
}

}  // namespace platform::security
