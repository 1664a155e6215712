// The RSA key pair in the keychain and the app instance identifier.
#include "identity/key_pair.h"

#include "identity/logger.h"
#include "identity/string_encoding.h"
#include "platform/security/key.h"
#include "platform/security/keychain.h"

namespace identity {

namespace fd = platform::foundation;
namespace sec = platform::security;
namespace kc = platform::security::kc;

namespace {

fd::Value tagValue(std::string_view tag) { return fd::Value(fd::to_bytes(tag)); }

fd::Dict keyAttributes(std::string_view tag, std::string_view label) {
  fd::Dict attributes;
  attributes.set(std::string(kc::application_tag), tagValue(tag));
  attributes.set(std::string(kc::label), fd::Value(label));
  attributes.set(std::string(kc::is_permanent), fd::Value(true));
  return attributes;
}

sec::Status makeAlwaysThisDeviceOnly(std::string_view tag) {
  fd::Dict changes;
  changes.set(std::string(kc::accessible), fd::Value(kc::accessible_always_this_device_only));
  return sec::item_update(FIRInstanceIDKeyPair::queryDictWithTag(tag, false, false), changes);
}

}  // namespace

FIRInstanceIDKeyPair::FIRInstanceIDKeyPair(std::shared_ptr<sec::Key> privateKey, std::shared_ptr<sec::Key> publicKey,
                                           fd::Bytes publicKeyData, std::optional<fd::Bytes> privateKeyData)
    : privateKey_(std::move(privateKey)),
      publicKey_(std::move(publicKey)),
      publicKeyData_(std::move(publicKeyData)),
      privateKeyData_(std::move(privateKeyData)) {}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(
    std::string_view privateTag, std::string_view publicTag, FIRInstanceIDErrorOut error) {
  fd::Dict parameters;
  parameters.set(std::string(kc::key_type), fd::Value(kc::key_type_rsa));
  parameters.set(std::string(kc::key_size), fd::Value(2048));
  parameters.set(std::string(kc::label), fd::Value(kFIRInstanceIDKeyPairLabel));
  parameters.set(std::string(kc::is_permanent), fd::Value(true));
  parameters.set(std::string(kc::private_key_attrs), fd::Value(keyAttributes(privateTag, kFIRInstanceIDKeyPairPrivateKeyLabel)));
  parameters.set(std::string(kc::public_key_attrs), fd::Value(keyAttributes(publicTag, kFIRInstanceIDKeyPairPublicKeyLabel)));
  std::shared_ptr<sec::Key> publicKey, privateKey;
  const sec::Status status = sec::generate_key_pair(parameters, &publicKey, &privateKey);
  if (status != sec::status::ok || !publicKey || !privateKey) {
    FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(status));
    return nullptr;
  }
  const sec::Status publicStatus = makeAlwaysThisDeviceOnly(publicTag);
  const sec::Status privateStatus = makeAlwaysThisDeviceOnly(privateTag);
  if (publicStatus != sec::status::ok || privateStatus != sec::status::ok) {
    IID_LOG_WARNING(9003,
                    "Could not update attributes of the key pair to be accessible after first unlock. Public Key "
                    "update status: %d, Private Keyupdate status: %d",
                    publicStatus, privateStatus);
  }
  auto publicData = keyDataWithTag(publicTag);
  return std::make_shared<FIRInstanceIDKeyPair>(std::move(privateKey), std::move(publicKey),
                                                publicData.value_or(fd::Bytes{}), keyDataWithTag(privateTag));
}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPair::keyPairForPrivateKeyTag(std::string_view privateTag,
                                                                                     std::string_view publicTag,
                                                                                     FIRInstanceIDErrorOut error) {
  if (privateTag.empty() || publicTag.empty()) {
    FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeInvalidKeyPairTags));
    return nullptr;
  }
  auto privateKey = cachedKeyRefWithTag(privateTag);
  auto publicKey = cachedKeyRefWithTag(publicTag);
  if (!privateKey || !publicKey) {
    FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeMissingKeyPair));
    IID_LOG_DEBUG(9000, "Cannot retrieve keypair with tag %s", std::string(privateTag).c_str());
    return nullptr;
  }
  auto publicData = keyDataWithTag(publicTag);
  return std::make_shared<FIRInstanceIDKeyPair>(std::move(privateKey), std::move(publicKey),
                                                publicData.value_or(fd::Bytes{}), keyDataWithTag(privateTag));
}

fd::Dict FIRInstanceIDKeyPair::queryDictWithTag(std::string_view tag, bool addReturnAttr, bool withTypeData) {
  fd::Dict query;
  query.set(std::string(kc::class_), fd::Value(kc::class_key));
  query.set(std::string(kc::application_tag), tagValue(tag));
  query.set(std::string(kc::key_type), fd::Value(kc::key_type_rsa));
  if (addReturnAttr) {
    query.set(std::string(withTypeData ? kc::return_data : kc::return_ref), fd::Value(true));
  }
  return query;
}

std::optional<fd::Bytes> FIRInstanceIDKeyPair::keyDataWithTag(std::string_view tag) {
  if (tag.empty()) return std::nullopt;
  fd::Value result;
  if (sec::item_copy_matching(queryDictWithTag(tag, true, true), &result) != sec::status::ok || !result.data()) {
    return std::nullopt;
  }
  return *result.data();
}

std::shared_ptr<sec::Key> FIRInstanceIDKeyPair::cachedKeyRefWithTag(std::string_view tag) {
  if (tag.empty()) return nullptr;
  fd::Value result;
  if (sec::item_copy_matching(queryDictWithTag(tag, true, false), &result) != sec::status::ok) return nullptr;
  return result.object<sec::Key>();
}

bool FIRInstanceIDKeyPair::updateKeyRef(const std::shared_ptr<sec::Key>& keyRef, std::string_view tag) {
  if (!keyRef || tag.empty()) return false;
  sec::item_delete(queryDictWithTag(tag, false, false));
  fd::Dict attributes;
  attributes.set(std::string(kc::class_), fd::Value(kc::class_key));
  attributes.set(std::string(kc::application_tag), tagValue(tag));
  attributes.set(std::string(kc::value_ref), fd::Value::object(keyRef));
  return sec::item_add(attributes) == sec::status::ok;
}

bool FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag(std::string_view privateTag, std::string_view publicTag,
                                                       FIRInstanceIDErrorOut error) {
  const sec::Status privateStatus = sec::item_delete(queryDictWithTag(privateTag, false, false));
  const sec::Status publicStatus = sec::item_delete(queryDictWithTag(publicTag, false, false));
  const auto failed = [](sec::Status s) { return s != sec::status::ok && s != sec::status::item_not_found; };
  if (failed(privateStatus) && failed(publicStatus)) {
    FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeMissingKeyPair));
    IID_LOG_ERROR(9001, "Error removing keypair status: %d", privateStatus);
    return false;
  }
  return true;
}

bool FIRInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag(std::string_view legacyPublicKeyTag,
                                                                    std::string_view newPublicKeyTag) {
  const auto legacy = keyDataWithTag(legacyPublicKeyTag);
  const auto current = keyDataWithTag(newPublicKeyTag);
  return legacy && current && *legacy == *current;
}

std::string FIRInstanceIDAppIdentityFromPublicKeyData(std::span<const std::uint8_t> publicKeyData) {
  auto digest = FIRInstanceIDSHA1Digest(publicKeyData);
  digest[0] = static_cast<std::uint8_t>((digest[0] & 0x0F) | 0x70);
  return FIRInstanceIDEncodeWebSafeBase64NoPadding(std::span<const std::uint8_t>(digest.data(), 8));
}

std::optional<std::string> FIRInstanceIDKeyPair::appIdentityWithKeyPair(const FIRInstanceIDKeyPair* keyPair) {
  if (!keyPair || !keyPair->publicKey()) {
    IID_LOG_ERROR(9002, "Unable to create a valid asymmetric crypto key");
    return std::nullopt;
  }
  return FIRInstanceIDAppIdentityFromPublicKeyData(keyPair->publicKeyData());
}

}  // namespace identity
