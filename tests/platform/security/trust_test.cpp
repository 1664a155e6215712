#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/trust.h"
#include "testing/fakes/tls_authority.h"
#include "tests/platform/security/fixture.h"

namespace platform::security {
void PrintTo(TrustResult result, std::ostream* os) { *os << "TrustResult(" << static_cast<int>(result) << ")"; }
}  // namespace platform::security

namespace platform::security::test {
namespace {

using ::testing::fakes::Der;
using ::testing::fakes::IssuedCertificate;
using ::testing::fakes::TlsAuthority;
using CertList = std::vector<std::shared_ptr<Certificate>>;

constexpr const char* kHost = "intranet.example.org";

std::shared_ptr<Certificate> cert(const Der& der) {
  auto c = Certificate::from_der(der);
  EXPECT_TRUE(c);
  return c;
}

CertList chain_of(const IssuedCertificate& leaf, bool with_root = false) {
  CertList chain;
  const auto ders = leaf.chain_der();
  // Servers send the leaf and intermediates; the root is found among the anchors.
  for (std::size_t i = 0; i < ders.size(); ++i)
    if (with_root || i + 1 < ders.size() || ders.size() == 1) chain.push_back(cert(ders[i]));
  return chain;
}

std::optional<TrustResult> evaluate(CertList chain, std::vector<std::shared_ptr<Policy>> policies,
                                    const std::function<void(Trust&)>& configure = {}) {
  std::shared_ptr<Trust> trust;
  if (Trust::create(std::move(chain), std::move(policies), &trust) != status::ok) return std::nullopt;
  if (configure) configure(*trust);
  TrustResult result = TrustResult::invalid;
  if (trust->evaluate(&result) != status::ok) return std::nullopt;
  return result;
}

// A device whose profile trusts the authority's root (written as a PEM anchor file).
class TrustTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    os::DeviceProfile profile;
    ASSERT_TRUE(authority_.write_root_pem(device_ / "ca.pem"));
    ASSERT_TRUE(chained_.write_root_pem(device_ / "chained-ca.pem"));
    profile.trust_anchors = {device_ / "ca.pem", device_ / "chained-ca.pem"};
    boot_device(profile);
  }
  TlsAuthority authority_;
  TlsAuthority chained_{TlsAuthority::Options{.root_name = "Chained Root", .intermediate = true}};
  TlsAuthority stranger_{TlsAuthority::Options{.root_name = "Unknown Root"}};
};

TEST_F(TrustTest, ResultTable) {
  const auto ssl_host = Policy::ssl(true, kHost);
  const auto valid = authority_.issue_leaf({kHost, "www.example.org"});
  const auto via_intermediate = chained_.issue_leaf({kHost});
  const auto expired = authority_.expired_leaf({kHost});
  const auto wrong_host = authority_.wrong_host_leaf();
  const auto self_signed = authority_.self_signed_leaf({kHost});
  const auto unknown_root = stranger_.issue_leaf({kHost});
  const auto ip_leaf = authority_.issue_leaf({"127.0.0.1"});

  const auto four = TrustResult::unspecified;
  const auto five = TrustResult::recoverable_failure;
  struct Case {
    const char* what;
    CertList chain;
    std::vector<std::shared_ptr<Policy>> policies;
    TrustResult expected;
  };
  const std::vector<Case> cases = {
      {"valid leaf from a profile anchor", chain_of(valid), {ssl_host}, four},
      {"second SAN", chain_of(valid), {Policy::ssl(true, "www.example.org")}, four},
      {"valid through an intermediate", chain_of(via_intermediate), {ssl_host}, four},
      {"root sent along", chain_of(via_intermediate, true), {ssl_host}, four},
      {"intermediate missing", CertList{cert(via_intermediate.der())}, {ssl_host}, five},
      {"wrong host", chain_of(wrong_host), {ssl_host}, five},
      {"wrong host, host not checked", chain_of(wrong_host), {Policy::ssl(true, std::nullopt)}, four},
      {"host differing in a label", chain_of(valid), {Policy::ssl(true, "intranet.example.com")}, five},
      {"empty host", chain_of(valid), {Policy::ssl(true, "")}, five},
      {"self-signed", chain_of(self_signed), {ssl_host}, five},
      {"self-signed, host not checked", chain_of(self_signed), {Policy::ssl(true, std::nullopt)}, five},
      {"expired", chain_of(expired), {ssl_host}, five},
      {"unknown root", chain_of(unknown_root), {ssl_host}, five},
      {"server leaf for a client", chain_of(valid), {Policy::ssl(false, std::nullopt)}, five},
      {"basic X.509", chain_of(valid), {Policy::basic_x509()}, four},
      {"basic X.509, expired", chain_of(expired), {Policy::basic_x509()}, five},
      {"no policy at all", chain_of(valid), {}, four},
      {"IP host", chain_of(ip_leaf), {Policy::ssl(true, "127.0.0.1")}, four},
      {"other IP host", chain_of(ip_leaf), {Policy::ssl(true, "127.0.0.2")}, five},
      {"every SSL policy must hold", chain_of(valid), {ssl_host, Policy::ssl(true, "other.example.org")}, five},
  };
  for (const Case& c : cases) {
    const auto result = evaluate(c.chain, c.policies);
    ASSERT_TRUE(result) << c.what;
    EXPECT_EQ(*result, c.expected) << c.what;
  }
}

TEST_F(TrustTest, RevocationPolicyOnlyFailsWhenItDemandsAPositiveAnswer) {
  const auto valid = authority_.issue_leaf({kHost});
  const auto expired = authority_.expired_leaf({kHost});
  struct Case {
    std::uint64_t options;
    TrustResult valid_chain;
  };
  const std::vector<Case> cases = {
      {0, TrustResult::unspecified},
      {revocation::ocsp_method, TrustResult::unspecified},
      {revocation::crl_method, TrustResult::unspecified},
      {revocation::use_any_available_method, TrustResult::unspecified},
      {revocation::use_any_available_method | revocation::prefer_crl, TrustResult::unspecified},
      {revocation::use_any_available_method | revocation::network_access_disabled, TrustResult::unspecified},
      {revocation::require_positive_response, TrustResult::recoverable_failure},
      {revocation::use_any_available_method | revocation::require_positive_response,
       TrustResult::recoverable_failure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const auto policies = std::vector{Policy::ssl(true, kHost), Policy::revocation(c.options)};
    EXPECT_EQ(evaluate(chain_of(valid), policies), c.valid_chain);
    // Revocation never rescues a chain that fails otherwise.
    EXPECT_EQ(evaluate(chain_of(expired), policies), TrustResult::recoverable_failure);
  }
}

TEST_F(TrustTest, AnchorsReplaceTheSystemAnchorsUntilTurnedBackOn) {
  const auto ssl = std::vector{Policy::ssl(true, kHost)};
  const auto leaf = chained_.issue_leaf({kHost});
  const auto intermediate = cert(chained_.intermediate_der());
  const auto root = cert(chained_.root_der());
  const auto other_root = cert(stranger_.root_der());
  auto anchors = [](CertList list, std::optional<bool> only = std::nullopt) {
    return [list, only](Trust& t) {
      ASSERT_EQ(t.set_anchor_certificates(list), status::ok);
      if (only) {
        ASSERT_EQ(t.set_anchor_certificates_only(*only), status::ok);
      }
    };
  };
  struct Case {
    const char* what;
    CertList chain;
    std::function<void(Trust&)> configure;
    TrustResult expected;
  };
  const std::vector<Case> cases = {
      {"pinned root", chain_of(leaf), anchors({root}), TrustResult::unspecified},
      {"pinned intermediate, leaf alone", CertList{cert(leaf.der())}, anchors({intermediate}),
       TrustResult::unspecified},
      {"pinned intermediate, leaf and intermediate", chain_of(leaf), anchors({intermediate}),
       TrustResult::unspecified},
      {"pinned leaf itself", CertList{cert(leaf.der())}, anchors({cert(leaf.der())}), TrustResult::unspecified},
      {"other root only: the profile's anchor no longer counts", chain_of(leaf), anchors({other_root}),
       TrustResult::recoverable_failure},
      {"no anchors at all", chain_of(leaf), anchors({}), TrustResult::recoverable_failure},
      {"other root plus system anchors", chain_of(leaf), anchors({other_root}, false), TrustResult::unspecified},
      {"only, said again", chain_of(leaf), anchors({other_root}, true), TrustResult::recoverable_failure},
      {"anchors do not excuse a wrong host", chain_of(chained_.wrong_host_leaf()), anchors({intermediate}),
       TrustResult::recoverable_failure},
  };
  for (const Case& c : cases) {
    const auto result = evaluate(c.chain, ssl, c.configure);
    ASSERT_TRUE(result) << c.what;
    EXPECT_EQ(*result, c.expected) << c.what;
  }
}

TEST_F(TrustTest, ChainAfterEvaluationRunsToTheAnchor) {
  const auto leaf = chained_.issue_leaf({kHost});
  std::shared_ptr<Trust> trust;
  ASSERT_EQ(Trust::create(chain_of(leaf), {Policy::ssl(true, kHost)}, &trust), status::ok);
  ASSERT_EQ(trust->certificate_count(), 2u);   // as given: leaf, intermediate
  TrustResult result{};
  ASSERT_EQ(trust->evaluate(&result), status::ok);
  ASSERT_EQ(result, TrustResult::unspecified);
  ASSERT_EQ(trust->certificate_count(), 3u);   // the root the server did not send
  EXPECT_EQ(trust->certificate_at(0)->der(), leaf.der());
  EXPECT_EQ(trust->certificate_at(1)->der(), chained_.intermediate_der());
  EXPECT_EQ(trust->certificate_at(2)->der(), chained_.root_der());
  EXPECT_EQ(trust->certificate_at(3), nullptr);

  // Pinning the root's key works through the built chain.
  auto root_key = cert(chained_.root_der())->public_key();
  ASSERT_TRUE(root_key);
  EXPECT_TRUE(*trust->certificate_at(2)->public_key() == *root_key);
  EXPECT_TRUE(*trust->copy_public_key() == *cert(leaf.der())->public_key());
  EXPECT_FALSE(*trust->copy_public_key() == *root_key);

  // New policies put the given chain back.
  ASSERT_EQ(trust->set_policies({Policy::basic_x509()}), status::ok);
  EXPECT_EQ(trust->certificate_count(), 2u);
}

TEST_F(TrustTest, BadArguments) {
  const auto leaf = cert(authority_.issue_leaf({kHost}).der());
  std::shared_ptr<Trust> trust;
  EXPECT_EQ(Trust::create({}, {Policy::basic_x509()}, &trust), status::param);
  EXPECT_EQ(Trust::create({leaf, nullptr}, {}, &trust), status::param);
  EXPECT_EQ(Trust::create({leaf}, {nullptr}, &trust), status::param);
  EXPECT_EQ(Trust::create({leaf}, {}, nullptr), status::param);
  ASSERT_EQ(Trust::create({leaf}, {}, &trust), status::ok);
  EXPECT_EQ(trust->evaluate(nullptr), status::param);
  EXPECT_EQ(trust->set_anchor_certificates({nullptr}), status::param);
  EXPECT_EQ(trust->set_policies({nullptr}), status::param);
}

TEST(Certificate, FromDerAcceptsOnlyOneWholeCertificate) {
  TlsAuthority authority;
  const auto leaf = authority.issue_leaf({kHost});
  const Der der = leaf.der();
  Der trailing = der;
  trailing.push_back(0);
  const std::string pem = leaf.pem();
  Der two = der;
  two.insert(two.end(), der.begin(), der.end());
  Der corrupt_length = der;
  corrupt_length[2] ^= 0x40;
  struct Case {
    const char* what;
    Der bytes;
  };
  const std::vector<Case> refused = {
      {"empty", {}},
      {"truncated", Der(der.begin(), der.begin() + static_cast<long>(der.size() / 2))},
      {"trailing byte", trailing},
      {"two certificates", two},
      {"PEM text", Der(pem.begin(), pem.end())},
      {"corrupt length", corrupt_length},
      {"one byte", Der{0x30}},
  };
  for (const Case& c : refused) EXPECT_EQ(Certificate::from_der(c.bytes), nullptr) << c.what;

  auto c = Certificate::from_der(der);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->der(), der);
  EXPECT_EQ(c->subject_summary(), kHost);
  auto key = c->public_key();
  ASSERT_TRUE(key);
  EXPECT_EQ(key->key_class(), KeyClass::public_);
  EXPECT_EQ(key->bits(), 256);
  EXPECT_EQ(key->external_representation().size(), 65u);   // uncompressed P-256 point
  EXPECT_EQ(key->external_representation()[0], 0x04);
  EXPECT_EQ(Certificate::from_der(authority.root_der())->subject_summary(), "Fake Root CA");
}

// A self-signed certificate whose subject holds exactly the given attributes.
Der certificate_with_subject(const std::vector<std::pair<const char*, const char*>>& attributes) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_NAME* name = X509_get_subject_name(x);
  for (const auto& [field, value] : attributes)
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  Der der = ::testing::fakes::to_der(x);
  X509_free(x);
  EVP_PKEY_free(key);
  return der;
}

TEST(Certificate, SubjectSummaryIsTheCommonNameElseTheFirstAttribute) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> subject;
    std::string summary;
  };
  const std::vector<Case> cases = {
      {{{"O", "Example Org"}, {"CN", "Example Server"}}, "Example Server"},
      {{{"O", "Example Org"}, {"OU", "Unit"}}, "Example Org"},
      {{{"CN", "Zürich Gateway"}}, "Zürich Gateway"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    auto certificate = Certificate::from_der(certificate_with_subject(c.subject));
    ASSERT_TRUE(certificate) << c.summary;
    EXPECT_EQ(certificate->subject_summary(), c.summary);
  }
}

TEST(Certificate, SignatureOverTamperedBytesFails) {
  // A certificate whose signed part was changed after signing still parses, but never verifies.
  TlsAuthority authority;
  const auto leaf = authority.issue_leaf({kHost});
  Der der = leaf.der();
  const std::string host = kHost;
  auto at = std::search(der.begin(), der.end(), host.begin(), host.end());
  ASSERT_NE(at, der.end());
  *at = 'j';
  auto tampered = Certificate::from_der(der);
  ASSERT_TRUE(tampered);
  std::shared_ptr<Trust> trust;
  ASSERT_EQ(Trust::create({tampered}, {Policy::basic_x509()}, &trust), status::ok);
  ASSERT_EQ(trust->set_anchor_certificates({cert(authority.root_der())}), status::ok);
  TrustResult result{};
  ASSERT_EQ(trust->evaluate(&result), status::ok);
  EXPECT_EQ(result, TrustResult::recoverable_failure);
}

}  // namespace
}  // namespace platform::security::test
