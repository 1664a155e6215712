#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/credential.h"
#include "platform/net/testing_reset.h"
#include "platform/testing/reset.h"

namespace platform::net::test {
namespace {

ProtectionSpace basic_space(std::string host = "intranet.example.org", int port = 443, std::string realm = "staff") {
  return ProtectionSpace{std::move(host), port, "https", std::move(realm), std::string(ProtectionSpace::method_http_basic)};
}

std::vector<std::string> users(const std::vector<Credential>& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(*c.user());
  return out;
}

class CredentialTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

TEST_F(CredentialTest, DefaultAndListPerProtectionSpace) {
  CredentialStorage store;
  const auto space = basic_space();
  EXPECT_FALSE(store.default_credential(space).has_value());

  store.set(Credential::for_user("bob", "b1", Credential::for_session), space, false);
  EXPECT_FALSE(store.default_credential(space).has_value());  // listed, not the default
  store.set(Credential::for_user("alice", "a1", Credential::permanent), space, true);
  store.set(Credential::for_user("bob", "b2", Credential::for_session), space, false);  // replaces bob's

  auto def = store.default_credential(space);
  ASSERT_TRUE(def.has_value());
  EXPECT_EQ(*def->user(), "alice");
  auto list = store.credentials(space);
  EXPECT_EQ(users(list), (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(list[1].user_password->second, "b2");

  store.set(Credential::for_user("bob", "b3", Credential::for_session), space, true);
  EXPECT_EQ(*store.default_credential(space)->user(), "bob");

  store.remove(Credential::for_user("bob", "", Credential::none), space);
  EXPECT_FALSE(store.default_credential(space).has_value());
  EXPECT_EQ(users(store.credentials(space)), std::vector<std::string>{"alice"});
}

TEST_F(CredentialTest, SpacesAreDistinctByEveryFieldButCaseOfHostAndProtocol) {
  CredentialStorage store;
  store.set(Credential::for_user("u", "p", Credential::for_session), basic_space(), true);

  ProtectionSpace same_upper = basic_space("INTRANET.Example.ORG");
  same_upper.protocol = "HTTPS";
  EXPECT_TRUE(store.default_credential(same_upper).has_value());

  ProtectionSpace digest = basic_space();
  digest.authentication_method = std::string(ProtectionSpace::method_http_digest);
  for (const ProtectionSpace& other : {basic_space("push.example.net"), basic_space("intranet.example.org", 8443),
                                       basic_space("intranet.example.org", 443, "admins"), digest}) {
    EXPECT_FALSE(store.default_credential(other).has_value()) << other.host << ":" << other.port << " " << other.realm;
    EXPECT_TRUE(store.credentials(other).empty());
  }
}

TEST_F(CredentialTest, CredentialsWithoutUserOrPersistenceAreNotKept) {
  CredentialStorage store;
  const auto space = basic_space();
  store.set(Credential::for_user("u", "p", Credential::none), space, true);
  store.set(Credential::for_trust(nullptr), space, true);
  EXPECT_FALSE(store.default_credential(space).has_value());
  EXPECT_TRUE(store.credentials(space).empty());
}

TEST_F(CredentialTest, SharedStorageIsOneUntilReset) {
  auto shared = CredentialStorage::shared();
  EXPECT_EQ(shared, CredentialStorage::shared());
  shared->set(Credential::for_user("u", "p", Credential::permanent), basic_space(), true);
  platform::net::reset_for_testing();
  auto fresh = CredentialStorage::shared();
  EXPECT_NE(fresh, shared);
  EXPECT_FALSE(fresh->default_credential(basic_space()).has_value());
}

}  // namespace
}  // namespace platform::net::test
