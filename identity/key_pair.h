#pragma once
// FIRInstanceIDKeyPair: the installation's RSA key pair, kept in the keychain
// as two "keys" items under a private and a public tag, and the app instance
// identifier derived from its public key. Class operations are keychain calls
// (serialised by the keychain); a pair object is immutable apart from its
// data fields. Any thread.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "identity/errors.h"
#include "platform/foundation/value.h"

namespace platform::security {
class Key;
}

namespace identity {

inline constexpr std::string_view kFIRInstanceIDKeyPairLabel = "Davidize InstanceID Key Pair";
inline constexpr std::string_view kFIRInstanceIDKeyPairPrivateKeyLabel = "Davidize InstanceID Key Pair Private Key";
inline constexpr std::string_view kFIRInstanceIDKeyPairPublicKeyLabel = "Davidize InstanceID Key Pair Public Key";

class FIRInstanceIDKeyPair {
 public:
  FIRInstanceIDKeyPair(std::shared_ptr<platform::security::Key> privateKey,
                       std::shared_ptr<platform::security::Key> publicKey, platform::foundation::Bytes publicKeyData,
                       std::optional<platform::foundation::Bytes> privateKeyData);

  bool isValid() const { return privateKey_ && publicKey_; }
  const std::shared_ptr<platform::security::Key>& privateKey() const { return privateKey_; }
  const std::shared_ptr<platform::security::Key>& publicKey() const { return publicKey_; }
  const platform::foundation::Bytes& publicKeyData() const { return publicKeyData_; }
  const std::optional<platform::foundation::Bytes>& privateKeyData() const { return privateKeyData_; }
  void setPublicKeyData(platform::foundation::Bytes data) { publicKeyData_ = std::move(data); }
  void setPrivateKeyData(std::optional<platform::foundation::Bytes> data) { privateKeyData_ = std::move(data); }

  // RSA 2048, both keys permanent under the tags, then made always-this-device-only.
  static std::shared_ptr<FIRInstanceIDKeyPair> generateRSA2048KeyPairWithPrivateTag(std::string_view privateTag,
                                                                                    std::string_view publicTag,
                                                                                    FIRInstanceIDErrorOut error);
  static std::shared_ptr<FIRInstanceIDKeyPair> keyPairForPrivateKeyTag(std::string_view privateTag,
                                                                       std::string_view publicTag,
                                                                       FIRInstanceIDErrorOut error);
  static platform::foundation::Dict queryDictWithTag(std::string_view tag, bool addReturnAttr, bool withTypeData);
  static std::optional<platform::foundation::Bytes> keyDataWithTag(std::string_view tag);
  static std::shared_ptr<platform::security::Key> cachedKeyRefWithTag(std::string_view tag);
  // Replaces whatever the tag holds by the key; true when the add succeeded.
  static bool updateKeyRef(const std::shared_ptr<platform::security::Key>& keyRef, std::string_view tag);
  // False only when both deletions fail with a status other than item-not-found.
  static bool deleteKeyPairWithPrivateTag(std::string_view privateTag, std::string_view publicTag,
                                          FIRInstanceIDErrorOut error);
  static bool hasMigratedKeyPairWithLegacyPublicKeyTag(std::string_view legacyPublicKeyTag,
                                                       std::string_view newPublicKeyTag);
  // The 11-character identifier; nullopt without a public key.
  static std::optional<std::string> appIdentityWithKeyPair(const FIRInstanceIDKeyPair* keyPair);

 private:
  std::shared_ptr<platform::security::Key> privateKey_;
  std::shared_ptr<platform::security::Key> publicKey_;
  platform::foundation::Bytes publicKeyData_;
  std::optional<platform::foundation::Bytes> privateKeyData_;
};

// The identifier of a PKCS #1 RSAPublicKey DER: SHA-1, high nibble of the
// first byte set to 0111, first 8 bytes in unpadded URL-safe base 64.
std::string FIRInstanceIDAppIdentityFromPublicKeyData(std::span<const std::uint8_t> publicKeyData);

}  // namespace identity
