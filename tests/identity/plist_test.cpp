// Backup-excluded property lists and push token infos, on a harness device.
#include <cerrno>
#include <fstream>

#include "identity/apns_info.h"
#include "identity/backup_excluded_plist.h"
#include "platform/foundation/plist.h"
#include "platform/testing/file_faults.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
namespace fs = std::filesystem;
using platform::os::FileManager;

class IdentityPlistTest : public IdentityHarnessTest {
 protected:
  static void writeRaw(const fs::path& path, const fd::Dict& dict) {
    fs::create_directories(path.parent_path());
    auto bytes = fd::plist::serialize(fd::Value(dict), fd::plist::Format::xml);
    ASSERT_TRUE(bytes);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes->data()),
                                                static_cast<std::streamsize>(bytes->size()));
  }
  static bool excluded(const fs::path& path) {
    auto flag = FileManager::shared().is_excluded_from_backup(path);
    return flag && *flag;
  }
};

TEST_F(IdentityPlistTest, MissingSubDirectoryKeepsTheListInDocumentsForItsLife) {
  boot({}, false);
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_FALSE(plist.fileInApplicationSupport());
  EXPECT_EQ(plist.plistDirectory(), FIRInstanceIDPlistDirectoryDocuments);
  ASSERT_TRUE(plist.writeDictionary({{"a", 1}}, nullptr));
  EXPECT_TRUE(fs::exists(documents() / "g-checkin.plist"));
  createSubDirectory();
  ASSERT_TRUE(plist.writeDictionary({{"a", 2}}, nullptr));
  EXPECT_FALSE(fs::exists(subDirectory() / "g-checkin.plist"));
  EXPECT_EQ(plist.contentAsDictionary(), (fd::Dict{{"a", 2}}));
}

TEST_F(IdentityPlistTest, ListOnlyInDocumentsMovesAtCreation) {
  boot();
  writeRaw(documents() / "com.dozada.iid-keypair.plist", {{"|S|cre", 5}});
  FIRInstanceIDBackupExcludedPlist plist("com.dozada.iid-keypair", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_TRUE(plist.fileInApplicationSupport());
  EXPECT_FALSE(fs::exists(documents() / "com.dozada.iid-keypair.plist"));
  EXPECT_TRUE(fs::exists(subDirectory() / "com.dozada.iid-keypair.plist"));
  EXPECT_EQ(plist.contentAsDictionary(), (fd::Dict{{"|S|cre", 5}}));
}

TEST_F(IdentityPlistTest, ListInBothPlacesKeepsTheDocumentsCopy) {
  boot();
  writeRaw(documents() / "g-checkin.plist", {{"where", "documents"}});
  writeRaw(subDirectory() / "g-checkin.plist", {{"where", "support"}});
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_FALSE(plist.fileInApplicationSupport());
  EXPECT_EQ(plist.contentAsDictionary(), (fd::Dict{{"where", "documents"}}));
  EXPECT_TRUE(fs::exists(subDirectory() / "g-checkin.plist"));
}

TEST_F(IdentityPlistTest, FailedMoveLogsAndStaysInDocuments) {
  boot();
  writeRaw(documents() / "g-checkin.plist", {{"k", "v"}});
  platform::testing::fail_next(platform::os::FileOp::move, documents(), EIO);
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_FALSE(plist.fileInApplicationSupport());
  EXPECT_TRUE(log_.has(6002));
  EXPECT_EQ(plist.contentAsDictionary(), (fd::Dict{{"k", "v"}}));
}

TEST_F(IdentityPlistTest, EveryWriteLeavesTheFileExcludedFromBackup) {
  boot();
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  ASSERT_TRUE(plist.writeDictionary({{"n", 1}}, nullptr));
  const auto path = subDirectory() / "g-checkin.plist";
  EXPECT_TRUE(excluded(path));
  ASSERT_TRUE(plist.writeDictionary({{"n", 2}}, nullptr));
  EXPECT_TRUE(excluded(path));
  // The file is the platform's XML form.
  std::ifstream in(path);
  std::string head(5, '\0');
  in.read(head.data(), 5);
  EXPECT_EQ(head, "<?xml");
}

TEST_F(IdentityPlistTest, FailedWriteLogsAndKeepsTheOldContents) {
  boot();
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  ASSERT_TRUE(plist.writeDictionary({{"n", 1}}, nullptr));
  platform::testing::fail_next(platform::os::FileOp::write, subDirectory(), ENOSPC);
  std::optional<fd::Error> error;
  EXPECT_FALSE(plist.writeDictionary({{"n", 2}}, &error));
  EXPECT_TRUE(log_.has(6000));
  EXPECT_EQ(plist.contentAsDictionary(), (fd::Dict{{"n", 1}}));

  platform::testing::fail_next(platform::os::FileOp::set_attributes, subDirectory(), EIO);
  FIRInstanceIDBackupExcludedPlist fresh("other", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_FALSE(fresh.writeDictionary({{"n", 3}}, &error));
  EXPECT_TRUE(log_.has(6001));
  EXPECT_TRUE(error.has_value());
}

TEST_F(IdentityPlistTest, DeleteClearsTheCacheAndAbsentFilesDeleteFine) {
  boot();
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_TRUE(plist.deleteFile(nullptr));
  ASSERT_TRUE(plist.writeDictionary({{"n", 1}}, nullptr));
  EXPECT_TRUE(plist.doesFileExist());
  EXPECT_TRUE(plist.deleteFile(nullptr));
  EXPECT_FALSE(plist.doesFileExist());
  EXPECT_EQ(plist.contentAsDictionary(), std::nullopt);
}

TEST_F(IdentityPlistTest, CorruptOrNonDictionaryFilesReadAsNothing) {
  boot();
  {
    std::ofstream(subDirectory() / "g-checkin.plist") << "<?xml version=\"1.0\"?><plist><dict><key>";
  }
  FIRInstanceIDBackupExcludedPlist corrupt("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_EQ(corrupt.contentAsDictionary(), std::nullopt);
  auto bytes = fd::plist::serialize(fd::Value(fd::Array{1, 2}), fd::plist::Format::binary);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(FileManager::shared().write_atomically(subDirectory() / "array.plist", *bytes));
  FIRInstanceIDBackupExcludedPlist array("array", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_EQ(array.contentAsDictionary(), std::nullopt);
}

TEST_F(IdentityPlistTest, InvalidDirectoryKindLogsAndGivesNoPath) {
  boot();
  FIRInstanceIDBackupExcludedPlist plist("g-checkin", std::string(kFIRInstanceIDSubDirectoryName));
  EXPECT_TRUE(plist.pathWithName("g-checkin", 7).empty());
  EXPECT_TRUE(log_.has(6003));
  EXPECT_FALSE(plist.doesFileExistInDirectory(7));
}

TEST(IdentityAPNSInfo, EqualityOptionsAndCoding) {
  const fd::Bytes token{1, 2, 3};
  FIRInstanceIDAPNSInfo sandbox(token, true), production(token, false), same(token, true);
  EXPECT_FALSE(sandbox.isEqualToAPNSInfo(&production));
  EXPECT_TRUE(sandbox.isEqualToAPNSInfo(&same));
  EXPECT_TRUE(sandbox.isEqualToAPNSInfo(&sandbox));
  EXPECT_FALSE(sandbox.isEqualToAPNSInfo(nullptr));

  EXPECT_EQ(FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary({{"apns_token", token}}), nullptr);
  EXPECT_EQ(FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary({{"apns_token", "text"}, {"apns_sandbox", true}}),
            nullptr);
  auto fromOptions = FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary({{"apns_token", token}, {"apns_sandbox", 1}});
  ASSERT_TRUE(fromOptions);
  EXPECT_TRUE(fromOptions->isSandbox());

  auto decoded = FIRInstanceIDAPNSInfo::initWithCoder(production.encodeWithCoder());
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqualToAPNSInfo(&production));
  fd::archive::Archived bad;
  bad.fields.set("device_token", "not data");
  EXPECT_EQ(FIRInstanceIDAPNSInfo::initWithCoder(bad), nullptr);
}

}  // namespace
}  // namespace identity_test
