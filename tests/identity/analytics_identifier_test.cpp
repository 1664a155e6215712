// The identifier analytics uploads: after the app's launch and a move to the
// background, the first batch the collector receives carries in each bundle
// the identifier derived from the public key the keychain file holds.
#include <array>
#include <filesystem>
#include <optional>
#include <string>

#include "app/image.h"
#include "platform/foundation/plist.h"
#include "platform/security/digest.h"
#include "testing/harness/harness.h"
#include "tests/analytics/batch_support.h"

namespace {

namespace fd = platform::foundation;

// Web-safe base64 without padding.
std::string identifierBase64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (std::uint8_t byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(buffer >> bits) & 0x3F]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3F]);
  return out;
}

// The public key the identity client stored, read from the device's keychain file.
std::optional<fd::Bytes> storedPublicKey(const std::filesystem::path& device) {
  const auto items = fd::plist::read_file(device / "Keychain" / "keychain.plist");
  if (!items || !items->array()) return std::nullopt;
  for (const auto& item : *items->array()) {
    const fd::Dict* dict = item.dict();
    if (!dict) continue;
    const fd::Bytes* tag = dict->get("atag").data();
    const fd::Bytes* data = dict->get("v_Data").data();
    const std::string prefix = "com.dozada.iid.keypair.public-";
    if (tag && data && fd::to_string(*tag).rfind(prefix, 0) == 0) return *data;
  }
  return std::nullopt;
}

TEST(IdentityAnalyticsIdentifier, TheFirstUploadedBatchCarriesTheIdentifierOfTheStoredKey) {
  testing::Harness h({.fakes = {testing::Fake::analytics, testing::Fake::identity, testing::Fake::push}});
  h.boot_app(app::image());
  ASSERT_TRUE(h.device().background());
  ASSERT_TRUE(h.run_until([&] { return h.analytics().upload_count() >= 1; }));
  const auto uploads = h.analytics().uploads();
  const auto bundles = analytics_test::decode_batch(uploads.front().body);
  ASSERT_TRUE(bundles);
  ASSERT_FALSE(bundles->empty());

  const auto key = storedPublicKey(h.device_directory());
  ASSERT_TRUE(key);
  auto digest = platform::security::sha1(*key);
  digest[0] = static_cast<std::uint8_t>((digest[0] & 0x0F) | 0x70);
  const std::string expected = identifierBase64(std::span<const std::uint8_t>(digest.data(), 8));
  ASSERT_EQ(expected.size(), 11u);
  for (const auto& bundle : *bundles) {
    // Runtime index 29 is the bundle's instance identity field (wire tag 30).
    EXPECT_EQ(wire::NANOGetString(bundle.message.get(), 29).value_or("<none>"), expected);
  }
}

}  // namespace
