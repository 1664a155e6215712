// Server trust policies against chains of a test authority, bundle loading,
// and pinning end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "http/response_handlers.h"
#include "http/server_trust.h"
#include "http/session_manager.h"
#include "http_support.h"
#include "platform/dispatch/run_loop.h"

namespace {

using namespace Duvarel;
using testing::fakes::Der;
using testing::fakes::FakeService;
using testing::fakes::IssuedCertificate;
using testing::fakes::TlsAuthority;
namespace security = platform::security;
namespace fs = std::filesystem;

std::shared_ptr<security::Certificate> cert(const Der& der) {
  auto c = security::Certificate::from_der(der);
  EXPECT_TRUE(c);
  return c;
}

std::shared_ptr<security::Trust> trustOf(const std::vector<Der>& chain) {
  std::vector<std::shared_ptr<security::Certificate>> certificates;
  for (const auto& der : chain) certificates.push_back(cert(der));
  std::shared_ptr<security::Trust> trust;
  EXPECT_EQ(security::Trust::create(certificates, {security::Policy::basic_x509()}, &trust), security::status::ok);
  return trust;
}

const std::string host = "site.example.org";

class Trust : public ::testing::Test {
 protected:
  TlsAuthority ca{{.intermediate = true}};
  TlsAuthority foreign{{.root_name = "Foreign Root CA"}};
  http_test::Device device{{}, &ca};  // the authority's root is a system anchor
  IssuedCertificate valid = ca.issue_leaf({host});
  IssuedCertificate expired = ca.expired_leaf({host});
  IssuedCertificate wrongHost = ca.wrong_host_leaf();
  IssuedCertificate selfSigned = ca.self_signed_leaf({host});

  // Leaf and intermediate, as a server sends them; with the root when asked.
  std::vector<Der> chain(const IssuedCertificate& leaf, bool withRoot = false) {
    auto der = leaf.chain_der();
    if (!withRoot && der.size() > 2) der.pop_back();
    return der;
  }
  bool verdict(const ServerTrustPolicy& policy, const std::vector<Der>& served) {
    auto trust = trustOf(served);
    return policy.evaluate(*trust, host);
  }
};

TEST_F(Trust, DefaultRevokedAndDisabledEvaluation) {
  const struct {
    const char* name;
    std::vector<Der> served;
    bool withHost, withoutHost;
  } cases[] = {
      {"valid", chain(valid), true, true},
      {"wrong host", chain(wrongHost), false, true},
      {"expired", chain(expired), false, false},
      {"self-signed", selfSigned.chain_der(), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(verdict(ServerTrustPolicy::performDefaultEvaluation(true), c.served), c.withHost);
    EXPECT_EQ(verdict(ServerTrustPolicy::performDefaultEvaluation(false), c.served), c.withoutHost);
    // Revocation adds nothing the platform could check: the verdict is the default one.
    EXPECT_EQ(verdict(ServerTrustPolicy::performRevokedEvaluation(true, security::revocation::use_any_available_method),
                      c.served),
              c.withHost);
    EXPECT_EQ(verdict(ServerTrustPolicy::performRevokedEvaluation(false, 0), c.served), c.withoutHost);
    // A revocation policy that needs a positive answer is in the list, after the SSL policy.
    EXPECT_FALSE(verdict(
        ServerTrustPolicy::performRevokedEvaluation(false, security::revocation::require_positive_response), c.served));
    EXPECT_TRUE(verdict(ServerTrustPolicy::disableEvaluation(), c.served));
  }
  // Status 0 with result 5 is no valid trust.
  auto trust = trustOf(chain(expired));
  security::TrustResult result{};
  ASSERT_EQ(trust->evaluate(&result), security::status::ok);
  EXPECT_EQ(result, security::TrustResult::recoverable_failure);
  EXPECT_FALSE(ServerTrustPolicy::trustIsValid(*trust));
}

TEST_F(Trust, PinnedCertificatesWithoutChainCheckMatchAnyPosition) {
  const auto leafDer = valid.der();
  const auto intermediateDer = ca.intermediate_der();
  const auto rootDer = ca.root_der();
  auto pin = [&](std::vector<Der> pins) {
    ServerTrustPolicy::Certificates certificates;
    for (const auto& p : pins) certificates.push_back(cert(p));
    return ServerTrustPolicy::pinCertificates(certificates, false, true);
  };
  EXPECT_TRUE(verdict(pin({leafDer}), chain(valid)));
  EXPECT_TRUE(verdict(pin({intermediateDer}), chain(valid)));
  // A pinned root inside a chain that does not evaluate: accepted without evaluation.
  EXPECT_TRUE(verdict(pin({rootDer}), chain(expired, true)));
  EXPECT_TRUE(verdict(pin({rootDer}), chain(wrongHost, true)));
  EXPECT_FALSE(verdict(pin({rootDer}), chain(valid)));  // the root was not served
  EXPECT_FALSE(verdict(pin({}), chain(valid, true)));
  EXPECT_FALSE(verdict(pin({foreign.root_der()}), chain(valid, true)));
}

TEST_F(Trust, PinnedCertificatesWithChainCheckUseOnlyThePins) {
  auto pinned = [&](const Der& anchor, bool checkHost) {
    return ServerTrustPolicy::pinCertificates({cert(anchor)}, true, checkHost);
  };
  EXPECT_TRUE(verdict(pinned(ca.root_der(), true), chain(valid)));
  EXPECT_TRUE(verdict(pinned(ca.intermediate_der(), true), chain(valid)));
  // Valid under the system anchors, but it leads to none of the pins.
  EXPECT_FALSE(verdict(pinned(foreign.root_der(), true), chain(valid)));
  EXPECT_FALSE(verdict(pinned(ca.root_der(), true), chain(expired)));
  EXPECT_FALSE(verdict(pinned(ca.root_der(), true), chain(wrongHost)));
  EXPECT_TRUE(verdict(pinned(ca.root_der(), false), chain(wrongHost)));
}

TEST_F(Trust, PinnedKeys) {
  auto leafKey = ServerTrustPolicy::publicKeyOfCertificate(cert(valid.der()));
  auto expiredKey = ServerTrustPolicy::publicKeyOfCertificate(cert(expired.der()));
  auto intermediateKey = ServerTrustPolicy::publicKeyOfCertificate(cert(ca.intermediate_der()));
  auto foreignKey = ServerTrustPolicy::publicKeyOfCertificate(cert(foreign.root_der()));
  ASSERT_TRUE(leafKey && expiredKey && intermediateKey && foreignKey);
  EXPECT_EQ(ServerTrustPolicy::publicKeysOfTrust(*trustOf(chain(valid))).size(), 2u);

  EXPECT_TRUE(verdict(ServerTrustPolicy::pinPublicKeys({leafKey}, true, true), chain(valid)));
  EXPECT_TRUE(verdict(ServerTrustPolicy::pinPublicKeys({foreignKey, intermediateKey}, true, true), chain(valid)));
  EXPECT_FALSE(verdict(ServerTrustPolicy::pinPublicKeys({foreignKey}, true, true), chain(valid)));
  // A matching key does not rescue a chain that fails evaluation...
  EXPECT_FALSE(verdict(ServerTrustPolicy::pinPublicKeys({expiredKey}, true, false), chain(expired)));
  // ...unless the chain is not checked.
  EXPECT_TRUE(verdict(ServerTrustPolicy::pinPublicKeys({expiredKey}, false, false), chain(expired)));
  EXPECT_FALSE(verdict(ServerTrustPolicy::pinPublicKeys({}, false, false), chain(expired)));
}

TEST_F(Trust, CustomEvaluationAndHostLookup) {
  std::string seen;
  auto custom = ServerTrustPolicy::customEvaluation([&](security::Trust&, const std::string& h) {
    seen = h;
    return true;
  });
  EXPECT_TRUE(verdict(custom, chain(expired)));
  EXPECT_EQ(seen, host);
  ServerTrustPolicyManager manager({{"site.example.org", ServerTrustPolicy::disableEvaluation()}});
  EXPECT_TRUE(manager.policyForHost("site.example.org"));
  EXPECT_FALSE(manager.policyForHost("SITE.example.org"));
  EXPECT_FALSE(manager.policyForHost("site.example.org:443"));
}

TEST_F(Trust, CertificatesAndKeysInABundle) {
  const fs::path bundle = device.scratch("Pins.bundle");
  fs::create_directories(bundle / "en.lproj");
  fs::create_directories(bundle / "nested");
  auto write = [](const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  write(bundle / "leaf.cer", valid.der());
  write(bundle / "root.DER", ca.root_der());
  write(bundle / "text.crt", foundation::to_bytes(ca.root_pem()));
  write(bundle / "en.lproj" / "intermediate.der", ca.intermediate_der());
  write(bundle / "nested" / "foreign.cer", foreign.root_der());
  write(bundle / "other.pem", ca.root_der());
  platform::os::Bundle resources(bundle);
  auto certificates = ServerTrustPolicy::certificatesInBundle(resources);
  std::set<Der> loaded;
  for (const auto& c : certificates) loaded.insert(c->der());
  EXPECT_EQ(loaded, (std::set<Der>{valid.der(), ca.root_der(), ca.intermediate_der()}));
  EXPECT_EQ(certificates.size(), 3u);
  EXPECT_EQ(ServerTrustPolicy::publicKeysInBundle(resources).size(), 3u);
}

// ---- end to end ----

class PinningEndToEnd : public ::testing::Test {
 protected:
  TlsAuthority ca;
  TlsAuthority foreign{{.root_name = "Foreign Root CA"}};
  FakeService site{"site", {host}, {.authority = &ca, .send_root = true}};
  http_test::Device device{{&site}, &ca};
};

TEST_F(PinningEndToEnd, PinnedAuthoritySucceedsAForeignPinIsCancelled) {
  site.on("GET", "/p", FakeService::json(200, {{"pinned", true}}));
  const struct {
    const char* name;
    ServerTrustPolicy policy;
    bool ok;
  } cases[] = {
      {"the fake's root, bytes", ServerTrustPolicy::pinCertificates({cert(ca.root_der())}, false, true), true},
      {"the fake's root, as only anchor", ServerTrustPolicy::pinCertificates({cert(ca.root_der())}, true, true), true},
      {"a foreign root", ServerTrustPolicy::pinCertificates({cert(foreign.root_der())}, true, true), false},
      {"a foreign key", ServerTrustPolicy::pinPublicKeys(
                            {ServerTrustPolicy::publicKeyOfCertificate(cert(foreign.root_der()))}, false, true), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = SessionManager::init(platform::net::Configuration::ephemeral(), std::make_shared<SessionDelegate>(),
                                        std::make_shared<ServerTrustPolicyManager>(
                                            std::map<std::string, ServerTrustPolicy>{{host, c.policy}}));
    std::optional<DataResponse<JSONValue>> response;
    addJSONResponseHandler(manager->makeDataRequest(site.url("/p")), std::nullopt, 0,
                           [&](DataResponse<JSONValue> r) { response = r; });
    for (int i = 0; i < 2000 && !response; ++i)
      platform::dispatch::RunLoop::main().run_until([&] { return response.has_value(); }, platform::dispatch::Duration(0.01));
    ASSERT_TRUE(response);
    if (c.ok) {
      ASSERT_TRUE(response->value()) << response->debugDescription();
      EXPECT_EQ((*response->value())["pinned"], foundation::Value(true));
    } else {
      ASSERT_TRUE(response->error());
      EXPECT_EQ(response->error()->bridged().domain, "NSURLErrorDomain");
      EXPECT_EQ(response->error()->bridged().code, -999);
    }
  }
}

}  // namespace
