#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/key.h"
#include "platform/security/keychain.h"
#include "testing/fakes/tls_authority.h"
#include "tests/platform/security/fixture.h"

namespace platform::security::test {
namespace {

using foundation::Bytes;
using foundation::Dict;
using foundation::to_bytes;
using foundation::Value;

std::string key_string(std::string_view v) { return std::string(v); }

// The top-level DER SEQUENCE as a list of its elements; empty when it is not one.
struct Sequence {
  std::vector<int> types;
  std::vector<std::string> integers;   // hex of each INTEGER element
};

Sequence parse_sequence(const Bytes& der) {
  Sequence out;
  const unsigned char* p = der.data();
  ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
  if (!seq) return out;
  if (p == der.data() + der.size()) {
    for (int i = 0; i < sk_ASN1_TYPE_num(seq); ++i) {
      const ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, i);
      out.types.push_back(t->type);
      if (t->type == V_ASN1_INTEGER) {
        BIGNUM* bn = ASN1_INTEGER_to_BN(t->value.integer, nullptr);
        char* hex = BN_bn2hex(bn);
        out.integers.emplace_back(hex);
        OPENSSL_free(hex);
        BN_free(bn);
      }
    }
  }
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  return out;
}

Dict pair_parameters(bool permanent) {
  return Dict{{key_string(kc::key_type), key_string(kc::key_type_rsa)},
              {key_string(kc::key_size), 2048},
              {key_string(kc::label), "Key Pair"},
              {key_string(kc::is_permanent), permanent},
              {key_string(kc::private_key_attrs),
               Dict{{key_string(kc::application_tag), to_bytes("tag.private")}, {key_string(kc::label), "Private Key"}}},
              {key_string(kc::public_key_attrs),
               Dict{{key_string(kc::application_tag), to_bytes("tag.public")}, {key_string(kc::label), "Public Key"}}}};
}

// One RSA pair for the whole binary: generation is the slow part.
struct Pair {
  std::shared_ptr<Key> pub, priv;
};
const Pair& shared_pair() {
  static const Pair pair = [] {
    Pair p;
    EXPECT_EQ(generate_key_pair(pair_parameters(false), &p.pub, &p.priv), 0);
    return p;
  }();
  return pair;
}

TEST(Key, ExternalFormIsPkcs1AndParsesBack) {
  const Pair& pair = shared_pair();
  ASSERT_TRUE(pair.pub && pair.priv);
  EXPECT_EQ(pair.pub->key_class(), KeyClass::public_);
  EXPECT_EQ(pair.priv->key_class(), KeyClass::private_);
  EXPECT_EQ(pair.pub->bits(), 2048);
  EXPECT_EQ(pair.priv->bits(), 2048);

  // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER } -- not
  // SubjectPublicKeyInfo, whose first element is the algorithm SEQUENCE.
  const Bytes pub_der = pair.pub->external_representation();
  const Sequence pub_seq = parse_sequence(pub_der);
  ASSERT_EQ(pub_seq.types, (std::vector<int>{V_ASN1_INTEGER, V_ASN1_INTEGER}));
  EXPECT_EQ(pub_seq.integers[1], "010001");
  EXPECT_EQ(pub_seq.integers[0].size(), 512u);   // 2048-bit modulus

  // RSAPrivateKey ::= SEQUENCE { version 0, n, e, d, p, q, dp, dq, qinv }
  const Bytes priv_der = pair.priv->external_representation();
  const Sequence priv_seq = parse_sequence(priv_der);
  ASSERT_EQ(priv_seq.types, std::vector<int>(9, V_ASN1_INTEGER));
  EXPECT_EQ(priv_seq.integers[0], "0");
  EXPECT_EQ(priv_seq.integers[1], pub_seq.integers[0]);

  auto pub_again = Key::from_external(KeyClass::public_, pub_der);
  auto priv_again = Key::from_external(KeyClass::private_, priv_der);
  ASSERT_TRUE(pub_again && priv_again);
  EXPECT_EQ(pub_again->external_representation(), pub_der);
  EXPECT_EQ(priv_again->external_representation(), priv_der);
  EXPECT_EQ(pub_again->bits(), 2048);
  // Equality compares the public halves: a private key equals its public key.
  EXPECT_TRUE(*pub_again == *pair.pub);
  EXPECT_TRUE(*priv_again == *pair.pub);
}

TEST(Key, MalformedExternalFormsGiveNoKey) {
  const Pair& pair = shared_pair();
  const Bytes pub = pair.pub->external_representation();
  const Bytes priv = pair.priv->external_representation();
  Bytes trailing = pub;
  trailing.push_back(0);
  Bytes truncated(pub.begin(), pub.end() - 1);
  Bytes flipped_tag = pub;
  flipped_tag[0] = 0x31;   // SET instead of SEQUENCE
  // SubjectPublicKeyInfo prefix for RSA: the form an SPKI encoder would produce.
  Bytes spki{0x30, 0x82, 0x01, 0x22, 0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
             0x0d, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x01, 0x0f, 0x00};
  spki.insert(spki.end(), pub.begin(), pub.end());

  struct Case {
    const char* what;
    KeyClass key_class;
    Bytes der;
  };
  const std::vector<Case> cases = {
      {"empty", KeyClass::public_, {}},
      {"garbage", KeyClass::public_, to_bytes("not a key at all")},
      {"trailing byte", KeyClass::public_, trailing},
      {"truncated", KeyClass::public_, truncated},
      {"wrong outer tag", KeyClass::public_, flipped_tag},
      {"SPKI instead of PKCS#1", KeyClass::public_, spki},
      {"public DER as private", KeyClass::private_, pub},
      {"private DER as public", KeyClass::public_, priv},
      {"a lone NULL", KeyClass::public_, Bytes{0x05, 0x00}},
      {"huge length", KeyClass::private_, Bytes{0x30, 0x84, 0x7f, 0xff, 0xff, 0xff, 0x02}},
  };
  for (const Case& c : cases) EXPECT_EQ(Key::from_external(c.key_class, c.der), nullptr) << c.what;
}

TEST(Key, GenerationParameters) {
  std::shared_ptr<Key> pub, priv;
  struct Case {
    const char* what;
    Dict parameters;
  };
  const std::vector<Case> refused = {
      {"no type", Dict{{key_string(kc::key_size), 2048}}},
      {"EC type", Dict{{key_string(kc::key_type), "73"}, {key_string(kc::key_size), 256}}},
      {"odd size", Dict{{key_string(kc::key_type), key_string(kc::key_type_rsa)}, {key_string(kc::key_size), 1000}}},
      {"size as text", Dict{{key_string(kc::key_type), key_string(kc::key_type_rsa)}, {key_string(kc::key_size), "2048"}}},
      {"attribute set that is no dictionary",
       Dict{{key_string(kc::key_type), key_string(kc::key_type_rsa)}, {key_string(kc::private_key_attrs), "tag"}}},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(generate_key_pair(c.parameters, &pub, &priv), -50) << c.what;
    EXPECT_FALSE(pub || priv) << c.what;
  }
  EXPECT_EQ(generate_key_pair(pair_parameters(false), nullptr, &priv), -50);
}

class KeyPairKeychainTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    boot_device();
  }
  static Dict by_tag(const char* tag) {
    return Dict{{key_string(kc::class_), key_string(kc::class_key)},
                {key_string(kc::application_tag), to_bytes(tag)},
                {key_string(kc::key_type), key_string(kc::key_type_rsa)}};
  }
  static Dict with(Dict d, std::string_view key, Value value) {
    d.set(key_string(key), std::move(value));
    return d;
  }
};

TEST_F(KeyPairKeychainTest, PermanentPairIsStoredUnderItsTags) {
  std::shared_ptr<Key> pub, priv;
  ASSERT_EQ(generate_key_pair(pair_parameters(true), &pub, &priv), 0);

  Value attributes;
  ASSERT_EQ(item_copy_matching(with(by_tag("tag.private"), kc::return_attributes, true), &attributes), 0);
  EXPECT_EQ(attributes[kc::label], Value("Private Key"));   // the per-key set wins over the shared label
  EXPECT_EQ(attributes[kc::key_class], Value("1"));
  EXPECT_EQ(attributes[kc::key_size], Value(2048));
  EXPECT_EQ(attributes[kc::is_permanent], Value(true));
  EXPECT_TRUE(attributes[kc::modification_date].is_date());

  // Data is the external form; a reference is a key object equal to the generated one.
  Value data, ref;
  ASSERT_EQ(item_copy_matching(with(by_tag("tag.public"), kc::return_data, true), &data), 0);
  EXPECT_EQ(data, Value(pub->external_representation()));
  ASSERT_EQ(item_copy_matching(with(by_tag("tag.private"), kc::return_ref, true), &ref), 0);
  auto stored_private = ref.object<Key>();
  ASSERT_TRUE(stored_private);
  EXPECT_EQ(stored_private->key_class(), KeyClass::private_);
  EXPECT_EQ(stored_private->external_representation(), priv->external_representation());

  // Re-storing a reference under another tag (a tag migration), then finding it by reference.
  ASSERT_EQ(item_add(Dict{{key_string(kc::class_), key_string(kc::class_key)},
                          {key_string(kc::application_tag), to_bytes("tag.new")},
                          {key_string(kc::value_ref), Value::object(pub)}}),
            0);
  Value moved;
  ASSERT_EQ(item_copy_matching(with(by_tag("tag.new"), kc::return_data, true), &moved), 0);
  EXPECT_EQ(moved, data);
  EXPECT_EQ(item_add(Dict{{key_string(kc::class_), key_string(kc::class_key)},
                          {key_string(kc::application_tag), to_bytes("tag.new")},
                          {key_string(kc::value_ref), Value::object(pub)}}),
            -25299);
  EXPECT_EQ(item_copy_matching(Dict{{key_string(kc::class_), key_string(kc::class_key)}, {key_string(kc::value_ref), Value::object(pub)},
                                    {key_string(kc::match_limit), key_string(kc::match_limit_all)}, {key_string(kc::return_attributes), true}},
                               &moved),
            0);
  ASSERT_TRUE(moved.array());
  EXPECT_EQ(moved.array()->size(), 2u);   // public items under "tag.public" and "tag.new"

  EXPECT_EQ(item_delete(Dict{{key_string(kc::class_), key_string(kc::class_key)}}), 0);
  EXPECT_EQ(item_copy_matching(by_tag("tag.public"), nullptr), -25300);
}

TEST_F(KeyPairKeychainTest, KeyItemsFromDataAreChecked) {
  const Pair& pair = shared_pair();
  const Dict base{{key_string(kc::class_), key_string(kc::class_key)}, {key_string(kc::application_tag), to_bytes("t")}};
  struct Case {
    const char* what;
    Dict attributes;
    Status expected;
  };
  const std::vector<Case> cases = {
      {"neither data nor reference", base, -50},
      {"data without key class", with(base, kc::value_data, pair.pub->external_representation()), -50},
      {"undecodable key data",
       with(with(base, kc::value_data, to_bytes("junk")), kc::key_class, "0"), -26275},
      {"reference that is no key", with(base, kc::value_ref, Value::object(std::make_shared<int>(1))), -50},
      {"public key data", with(with(base, kc::value_data, pair.pub->external_representation()), kc::key_class, "0"),
       0},
  };
  for (const Case& c : cases) EXPECT_EQ(item_add(c.attributes), c.expected) << c.what;
  Value stored;
  ASSERT_EQ(item_copy_matching(with(with(by_tag("t"), kc::return_ref, true), kc::return_attributes, true), &stored),
            0);
  ASSERT_TRUE(stored[kc::value_ref].object<Key>());
  EXPECT_TRUE(*stored[kc::value_ref].object<Key>() == *pair.pub);
  EXPECT_EQ(stored[kc::key_type], Value("42"));   // derived from the key

  // One tag may hold several keys of a class; the same key twice is a duplicate.
  ::testing::fakes::TlsAuthority authority;
  auto ec_key = Certificate::from_der(authority.root_der())->public_key();
  ASSERT_TRUE(ec_key);
  EXPECT_EQ(item_add(with(base, kc::value_ref, Value::object(ec_key))), 0);
  EXPECT_EQ(item_add(with(base, kc::value_ref, Value::object(ec_key))), -25299);
  EXPECT_EQ(item_add(with(base, kc::value_ref, Value::object(pair.priv))), 0);   // other key class
}

TEST_F(KeyPairKeychainTest, CorruptKeyDataReadsAsDecodeError) {
  // A stored key whose bytes were damaged on disk.
  ASSERT_EQ(item_add(Dict{{key_string(kc::class_), key_string(kc::class_key)},
                          {key_string(kc::application_tag), to_bytes("t")},
                          {key_string(kc::value_ref), Value::object(shared_pair().pub)}}),
            0);
  const fs::path file = device_ / "Keychain" / "keychain.plist";
  auto items = foundation::plist::read_file(file);
  ASSERT_TRUE(items.has_value());
  foundation::Array array = *items->array();
  foundation::Dict item = *array[0].dict();
  item.set(key_string(kc::value_data), to_bytes("damaged"));
  array[0] = item;
  ASSERT_TRUE(foundation::plist::write_file_atomically(Value(array), file).has_value());

  Value out;
  EXPECT_EQ(item_copy_matching(with(by_tag("t"), kc::return_ref, true), &out), -26275);
  EXPECT_EQ(item_copy_matching(with(by_tag("t"), kc::return_data, true), &out), 0);
  EXPECT_EQ(out, Value(to_bytes("damaged")));
}

TEST_F(KeyPairKeychainTest, PermanentPairNeedsTheKeychain) {
  platform::testing::reset();
  os::DeviceProfile profile;
  profile.keychain_entitlement = false;
  boot_device(profile);
  std::shared_ptr<Key> pub, priv;
  EXPECT_EQ(generate_key_pair(pair_parameters(true), &pub, &priv), -34018);
  EXPECT_FALSE(pub || priv);
}

}  // namespace
}  // namespace platform::security::test
