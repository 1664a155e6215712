// Key pairs in the real keychain, the app instance identifier and the alphabet encoder.
#include "identity/key_pair.h"
#include "identity/string_encoding.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/security/key.h"
#include "platform/security/keychain.h"
#include "platform/security/random.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
namespace sec = platform::security;
namespace kc = platform::security::kc;

// A PKCS #1 RSAPublicKey DER (RSA 1024) and its identifier, computed with:
//   openssl genrsa -out k.pem 1024
//   openssl rsa -in k.pem -RSAPublicKey_out -outform DER -out pub.der
//   H=$(openssl dgst -sha1 -binary pub.der | head -c 8 | xxd -p)    # faac504bf40c1a58
//   echo -n "7${H:1}" | xxd -r -p | basenc --base64url | tr -d '='  # eqxQS_QMGlg
constexpr const char* kPublicKeyDER =
    "30818902818100cee4c0307c4f119b13497b7a73835166191f124d4891d7da6c50ce4d9582aafc3fa47e3171fb24db740a5a4ac623b5dcfa"
    "0ef0e6a71f5f6b8930a2ee6e2c346a685b3218d722f53c4204029ea5e9e1cd5342c381675fe8ef6ef5ee7be71f6b303174cdf4362f80ecf9"
    "48a448ea62abc5f91603cf6f4f4c6f63b3059a0f95db0f0203010001";
constexpr const char* kPublicKeyIdentity = "eqxQS_QMGlg";

fd::Bytes bytes(std::string_view text) { return fd::to_bytes(text); }

TEST(IdentityAppIdentity, KnownAnswerAndShape) {
  const auto der = *fd::parse_hex(kPublicKeyDER);
  auto key = sec::Key::from_external(sec::KeyClass::public_, der);
  ASSERT_TRUE(key);
  FIRInstanceIDKeyPair pair(key, key, der, std::nullopt);
  EXPECT_EQ(FIRInstanceIDKeyPair::appIdentityWithKeyPair(&pair), std::optional<std::string>(kPublicKeyIdentity));

  for (int i = 0; i < 1000; ++i) {
    fd::Bytes data(static_cast<std::size_t>(sec::random_uniform(300)));
    ASSERT_EQ(sec::random_bytes(data), sec::status::ok);
    const auto id = FIRInstanceIDAppIdentityFromPublicKeyData(data);
    ASSERT_EQ(id.size(), 11u);
    ASSERT_TRUE(id[0] >= 'c' && id[0] <= 'f') << id;
  }
  // No public key: no identifier.
  FIRInstanceIDKeyPair empty(nullptr, nullptr, der, std::nullopt);
  EXPECT_FALSE(empty.isValid());
  EXPECT_EQ(FIRInstanceIDKeyPair::appIdentityWithKeyPair(&empty), std::nullopt);
  EXPECT_EQ(FIRInstanceIDKeyPair::appIdentityWithKeyPair(nullptr), std::nullopt);
}

TEST(IdentityStringEncoding, EncoderTables) {
  struct Case {
    std::string alphabet;
    std::string input;
    std::string padded;
  };
  const std::string base64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const std::vector<Case> cases = {
      {base64, "", ""},          {base64, "f", "Zg=="},         {base64, "fo", "Zm8="},
      {base64, "foo", "Zm9v"},   {base64, "foob", "Zm9vYg=="},  {base64, "fooba", "Zm9vYmE="},
      {base64, "foobar", "Zm9vYmFy"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", "f", "MY======"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", "foob", "MZXW6YQ="},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", "foobar", "MZXW6YTBOI======"},
      {"0123456789ABCDEF", "foobar", "666F6F626172"},
      {"01", "\x05", "00000101"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.alphabet + " " + c.input);
    auto encoding = FIRInstanceIDStringEncoding::stringEncodingWithString(c.alphabet);
    ASSERT_TRUE(encoding);
    encoding->setPaddingChar('=');
    encoding->setDoPad(true);
    EXPECT_EQ(encoding->encode(bytes(c.input)), c.padded);
    encoding->setDoPad(false);
    std::string unpadded = c.padded;
    unpadded.erase(unpadded.find_last_not_of('=') + 1);
    EXPECT_EQ(encoding->encode(bytes(c.input)), unpadded);
    EXPECT_EQ(encoding->decode(c.padded), bytes(c.input));
    EXPECT_EQ(encoding->decode(unpadded), bytes(c.input));
  }
  const fd::Bytes high{0xfb, 0xff};
  EXPECT_EQ(FIRInstanceIDEncodeWebSafeBase64NoPadding(high), "-_8");
  EXPECT_EQ(FIRInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding()->encode(high), "-_8=");

  for (const char* bad : {"abc", "aab", "abcdefga", "", "a", "\xc3\xa9" "abcdef"}) {
    EXPECT_EQ(FIRInstanceIDStringEncoding::stringEncodingWithString(bad), nullptr) << bad;
  }
  std::string big(256, 'a');
  for (int i = 0; i < 256; ++i) big[static_cast<std::size_t>(i)] = static_cast<char>(i);
  EXPECT_EQ(FIRInstanceIDStringEncoding::stringEncodingWithString(big), nullptr);
  EXPECT_EQ(FIRInstanceIDStringEncoding::stringEncodingWithString("ab")->description(), "<Base2 StringEncoder: <6162>>");
}

TEST(IdentityStringEncoding, DecodingRules) {
  auto encoding = FIRInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
  EXPECT_EQ(encoding->decode("Zg"), bytes("f"));            // two characters carry one byte
  EXPECT_EQ(encoding->decode("Zg=a"), std::nullopt);        // a character after padding
  EXPECT_EQ(encoding->decode("Zh"), std::nullopt);          // non-zero leftover bits
  EXPECT_EQ(encoding->decode("Z+"), std::nullopt);          // outside the alphabet
  EXPECT_EQ(encoding->decode("Zg\xc3\xa9"), std::nullopt);  // not ASCII
  EXPECT_EQ(encoding->decode(""), fd::Bytes{});
  EXPECT_EQ(encoding->decode("-_8"), (fd::Bytes{0xfb, 0xff}));
}

class IdentityKeyPairTest : public IdentityHarnessTest {
 protected:
  void SetUp() override { boot(); }
  static fd::Array keyItems() {
    auto parsed = fd::plist::read_file(platform::os::keychain_file());
    fd::Array items;
    if (!parsed || !parsed->array()) return items;
    for (const auto& item : *parsed->array()) {
      if (item[kc::class_] == fd::Value(kc::class_key)) items.push_back(item);
    }
    return items;
  }
};

TEST_F(IdentityKeyPairTest, GeneratedPairLivesInTheKeychainAndReadsBack) {
  std::optional<fd::Error> error;
  auto pair = FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag("priv-tag", "pub-tag", &error);
  ASSERT_TRUE(pair) << error->description();
  EXPECT_TRUE(pair->isValid());
  EXPECT_EQ(pair->publicKey()->bits(), 2048);
  EXPECT_FALSE(log_.has(9003));

  const auto items = keyItems();
  ASSERT_EQ(items.size(), 2u);
  for (const auto& item : items) {
    const bool isPrivate = item[kc::key_class] == fd::Value("1");
    EXPECT_EQ(item[kc::application_tag], fd::Value(bytes(isPrivate ? "priv-tag" : "pub-tag")));
    EXPECT_EQ(item[kc::label], fd::Value(isPrivate ? kFIRInstanceIDKeyPairPrivateKeyLabel : kFIRInstanceIDKeyPairPublicKeyLabel));
    EXPECT_EQ(item[kc::is_permanent], fd::Value(true));
    EXPECT_EQ(item[kc::accessible], fd::Value("dku"));
    ASSERT_TRUE(item[kc::value_data].data());
    EXPECT_TRUE(sec::Key::from_external(isPrivate ? sec::KeyClass::private_ : sec::KeyClass::public_,
                                        *item[kc::value_data].data()));
  }
  // The identifier hashes the PKCS #1 form the keychain holds.
  EXPECT_EQ(pair->publicKeyData(), pair->publicKey()->external_representation());
  EXPECT_EQ(FIRInstanceIDKeyPair::appIdentityWithKeyPair(pair.get()),
            FIRInstanceIDAppIdentityFromPublicKeyData(pair->publicKey()->external_representation()));

  auto read = FIRInstanceIDKeyPair::keyPairForPrivateKeyTag("priv-tag", "pub-tag", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->publicKeyData(), pair->publicKeyData());
  EXPECT_EQ(read->privateKeyData(), pair->privateKeyData());

  EXPECT_TRUE(FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag("priv-tag", "pub-tag", &error));
  EXPECT_TRUE(keyItems().empty());
  // Deleting an absent pair succeeds.
  EXPECT_TRUE(FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag("priv-tag", "pub-tag", &error));
}

TEST_F(IdentityKeyPairTest, ReadingErrorsAndTagUpdates) {
  std::optional<fd::Error> error;
  EXPECT_EQ(FIRInstanceIDKeyPair::keyPairForPrivateKeyTag("", "pub", &error), nullptr);
  EXPECT_EQ(error->code, 2002);
  EXPECT_EQ(error->domain, "com.davidize.iid");
  EXPECT_EQ(FIRInstanceIDKeyPair::keyPairForPrivateKeyTag("priv", "pub", &error), nullptr);
  EXPECT_EQ(error->code, 2001);
  EXPECT_TRUE(log_.has(9000));
  EXPECT_EQ(FIRInstanceIDKeyPair::keyDataWithTag(""), std::nullopt);

  auto pair = FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag("old-priv", "old-pub", nullptr);
  ASSERT_TRUE(pair);
  EXPECT_FALSE(FIRInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag("old-pub", "new-pub"));
  ASSERT_TRUE(FIRInstanceIDKeyPair::updateKeyRef(pair->publicKey(), "new-pub"));
  ASSERT_TRUE(FIRInstanceIDKeyPair::updateKeyRef(pair->publicKey(), "new-pub"));
  EXPECT_TRUE(FIRInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag("old-pub", "new-pub"));
  EXPECT_EQ(keyItems().size(), 3u);
}

class IdentityKeyPairDeniedTest : public IdentityHarnessTest {};

TEST_F(IdentityKeyPairDeniedTest, RefusedKeychainFailsGenerationWithItsStatus) {
  boot({.profile = {{"keychain_entitlement", false}}});
  std::optional<fd::Error> error;
  EXPECT_EQ(FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag("p", "q", &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.davidize.iid");
  EXPECT_EQ(error->code, -34018);
  EXPECT_FALSE(FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag("p", "q", &error));
  EXPECT_EQ(error->code, 2001);
  EXPECT_TRUE(log_.has(9001));
}

}  // namespace
}  // namespace identity_test
