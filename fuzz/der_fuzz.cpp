// DER decoders of the security module: certificates and PKCS#1 RSA keys.
#include <cstdint>
#include <span>

#include "platform/security/certificate.h"
#include "platform/security/key.h"

namespace sec = platform::security;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  if (auto certificate = sec::Certificate::from_der(bytes)) {
    (void)certificate->subject_summary();
    if (auto key = certificate->public_key()) (void)key->external_representation();
  }
  for (auto key_class : {sec::KeyClass::public_, sec::KeyClass::private_})
    if (auto key = sec::Key::from_external(key_class, bytes)) (void)key->bits();
  return 0;
}
