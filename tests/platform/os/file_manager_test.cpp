#include "platform/os/file_manager.h"

#include <sys/xattr.h>

#include <cerrno>

#include "fixture.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"

namespace platform::os::test {
namespace {

using foundation::Bytes;
using foundation::Date;
using foundation::Error;
using platform::testing::FileOp;

class FileManagerTest : public OsTest {
 protected:
  void SetUp() override {
    OsTest::SetUp();
    boot_device();
    docs_ = fm().url_for(Directory::documents);
  }
  static FileManager& fm() { return FileManager::shared(); }
  void put(const fs::path& p, std::string_view text) {
    ASSERT_TRUE(fm().write_atomically(p, foundation::to_bytes(text)).has_value()) << p;
  }
  // The errno of the NSUnderlyingError of a file error.
  static std::int64_t underlying_errno(const Error& e) {
    auto inner = e.user_info.get("NSUnderlyingError").object<Error>();
    return inner && inner->domain == "NSPOSIXErrorDomain" ? inner->code : -1;
  }
  fs::path docs_;
};

TEST_F(FileManagerTest, ContainerFoldersAndPrivateTemporary) {
  EXPECT_EQ(fm().url_for(Directory::documents), container() / "Documents");
  EXPECT_EQ(fm().url_for(Directory::library), container() / "Library");
  EXPECT_EQ(fm().url_for(Directory::application_support), container() / "Library" / "Application Support");
  EXPECT_EQ(fm().url_for(Directory::caches), container() / "Library" / "Caches");
  EXPECT_EQ(fm().url_for(Directory::temporary), container() / "tmp");
  EXPECT_TRUE(fs::is_directory(fm().url_for(Directory::temporary)));
  platform::testing::reset();
  EXPECT_TRUE(fm().url_for(Directory::temporary).empty());  // never the shared /tmp
}

TEST_F(FileManagerTest, ErrorCodesCarryPathAndUnderlyingErrno) {
  const fs::path missing = docs_ / "missing";
  put(docs_ / "a", "a");
  put(docs_ / "b", "b");

  struct Case {
    const char* what;
    foundation::Expected<void> result;
    std::int64_t code;
    fs::path path;
  };
  auto list = fm().contents_of_directory(missing);
  auto attrs = fm().attributes(missing);
  auto read = fm().read(missing);
  auto as_void = [](const auto& e) { return e ? foundation::Expected<void>() : foundation::Expected<void>(e.error()); };
  const Case cases[] = {
      {"remove missing", fm().remove_item(missing), 4, missing},
      {"move missing source", fm().move_item(missing, docs_ / "c"), 4, missing},
      {"move onto existing", fm().move_item(docs_ / "a", docs_ / "b"), 516, docs_ / "b"},
      {"list missing", as_void(list), 260, missing},
      {"attributes missing", as_void(attrs), 260, missing},
      {"read missing", as_void(read), 260, missing},
      {"mkdir existing", fm().create_directory(docs_, false), 516, docs_},
      {"mkdir without parent", fm().create_directory(docs_ / "x" / "y", false), 4, docs_ / "x" / "y"},
      {"write into missing folder", fm().write_atomically(docs_ / "x" / "f", Bytes{1}), 4, docs_ / "x" / "f"},
      {"set attributes missing", fm().set_attributes(missing, FileAttributes{}), 4, missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.result.has_value());
    EXPECT_EQ(c.result.error().domain, "NSCocoaErrorDomain");
    EXPECT_EQ(c.result.error().code, c.code);
    EXPECT_EQ(c.result.error().user_info.get("NSFilePath"), Value(c.path.string()));
  }
  EXPECT_EQ(underlying_errno(fm().remove_item(missing).error()), ENOENT);
  EXPECT_EQ(read_text(docs_ / "a"), "a");  // the refused move touched nothing
  EXPECT_EQ(read_text(docs_ / "b"), "b");
}

TEST_F(FileManagerTest, DirectoriesCreateListAndRemove) {
  ASSERT_TRUE(fm().create_directory(docs_ / "x" / "y" / "z", true).has_value());
  ASSERT_TRUE(fm().create_directory(docs_ / "x" / "y", true).has_value());  // existing is fine with intermediates
  bool is_dir = false;
  EXPECT_TRUE(fm().exists(docs_ / "x" / "y" / "z", &is_dir));
  EXPECT_TRUE(is_dir);
  put(docs_ / "x" / "b.txt", "b");
  put(docs_ / "x" / "a.txt", "a");
  EXPECT_TRUE(fm().exists(docs_ / "x" / "a.txt", &is_dir));
  EXPECT_FALSE(is_dir);

  auto list = fm().contents_of_directory(docs_ / "x");
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(*list, (std::vector<fs::path>{docs_ / "x" / "a.txt", docs_ / "x" / "b.txt", docs_ / "x" / "y"}));

  auto on_file = fm().create_directory(docs_ / "x" / "a.txt", true);
  ASSERT_FALSE(on_file.has_value());
  EXPECT_EQ(on_file.error().code, 516);

  ASSERT_TRUE(fm().remove_item(docs_ / "x").has_value());  // whole tree
  EXPECT_FALSE(fm().exists(docs_ / "x"));
}

TEST_F(FileManagerTest, WriteAtomicallyReplacesAndLeavesNoTemporaries) {
  put(docs_ / "f", "first");
  put(docs_ / "f", "second");
  auto bytes = fm().read(docs_ / "f");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(foundation::to_string(*bytes), "second");
  put(docs_ / "empty", "");
  EXPECT_TRUE(fm().read(docs_ / "empty")->empty());
  EXPECT_EQ(fm().contents_of_directory(docs_)->size(), 2u);
}

TEST_F(FileManagerTest, BackupExclusionFollowsMovesAndRewrites) {
  put(docs_ / "store", "data");
  EXPECT_EQ(fm().is_excluded_from_backup(docs_ / "store").value(), false);
  ASSERT_TRUE(fm().set_excluded_from_backup(docs_ / "store", true).has_value());

  ASSERT_TRUE(fm().create_directory(docs_ / "moved", false).has_value());
  ASSERT_TRUE(fm().move_item(docs_ / "store", docs_ / "moved" / "store").has_value());
  EXPECT_FALSE(fm().exists(docs_ / "store"));
  EXPECT_EQ(fm().is_excluded_from_backup(docs_ / "moved" / "store").value(), true);

  put(docs_ / "moved" / "store", "rewritten");
  EXPECT_EQ(fm().is_excluded_from_backup(docs_ / "moved" / "store").value(), true);

  ASSERT_TRUE(fm().set_excluded_from_backup(docs_ / "moved" / "store", false).has_value());
  EXPECT_EQ(fm().is_excluded_from_backup(docs_ / "moved" / "store").value(), false);
  EXPECT_EQ(fm().set_excluded_from_backup(docs_ / "nope", true).error().code, 4);
  EXPECT_EQ(fm().is_excluded_from_backup(docs_ / "nope").error().code, 260);
}

TEST_F(FileManagerTest, ImmutableMarkRefusesRemovalUntilCleared) {
  put(docs_ / "locked", "data");
  auto a = fm().attributes(docs_ / "locked").value();
  EXPECT_FALSE(a.immutable);
  a.immutable = true;
  ASSERT_TRUE(fm().set_attributes(docs_ / "locked", a).has_value());
  EXPECT_TRUE(fm().attributes(docs_ / "locked").value().immutable);

  auto refused = fm().remove_item(docs_ / "locked");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, 513);
  EXPECT_EQ(underlying_errno(refused.error()), EPERM);
  EXPECT_TRUE(fm().exists(docs_ / "locked"));

  a.immutable = false;
  ASSERT_TRUE(fm().set_attributes(docs_ / "locked", a).has_value());
  EXPECT_FALSE(fm().attributes(docs_ / "locked").value().immutable);
  EXPECT_TRUE(fm().remove_item(docs_ / "locked").has_value());
  EXPECT_FALSE(fm().exists(docs_ / "locked"));
}

TEST_F(FileManagerTest, CreationDateRoundTripsAndSurvivesMoveAndRewrite) {
  auto clock = platform::testing::ManualClock::install();
  put(docs_ / "f", "x");
  auto a = fm().attributes(docs_ / "f");
  ASSERT_TRUE(a.has_value());
  EXPECT_DOUBLE_EQ(a->creation.since_1970, clock->now_since_1970());  // written by the platform: clock time
  EXPECT_EQ(a->size, 1u);
  EXPECT_FALSE(a->is_directory);
  EXPECT_FALSE(a->protection.has_value());

  a->creation = Date{1500000000.25};
  a->modification = Date{1500000100.5};
  a->protection = std::string(kProtectionCompleteUnlessOpen);
  ASSERT_TRUE(fm().set_attributes(docs_ / "f", *a).has_value());
  ASSERT_TRUE(fm().move_item(docs_ / "f", docs_ / "g").has_value());
  clock->advance(std::chrono::hours(2));
  put(docs_ / "g", "longer");

  auto b = fm().attributes(docs_ / "g");
  ASSERT_TRUE(b.has_value());
  EXPECT_DOUBLE_EQ(b->creation.since_1970, 1500000000.25);
  EXPECT_EQ(b->protection, std::string(kProtectionCompleteUnlessOpen));
  EXPECT_EQ(b->size, 6u);

  b->protection.reset();
  b->modification = Date{1500000100.5};
  ASSERT_TRUE(fm().set_attributes(docs_ / "g", *b).has_value());
  auto c = fm().attributes(docs_ / "g");
  EXPECT_FALSE(c->protection.has_value());
  EXPECT_NEAR(c->modification.since_1970, 1500000100.5, 1e-6);
}

TEST_F(FileManagerTest, CreationDateFallsBackToTheFileSystem) {
  write_text(docs_ / "foreign", "not written by the platform");
  ASSERT_LT(::getxattr((docs_ / "foreign").c_str(), kCreatedXattr, nullptr, 0), 0);
  auto a = fm().attributes(docs_ / "foreign");
  ASSERT_TRUE(a.has_value());
  double now = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(a->creation.since_1970, now, 60);  // birth time, else modification time
  EXPECT_LE(a->creation.since_1970, a->modification.since_1970 + 1);
}

TEST_F(FileManagerTest, FailNextFailsTheMatchingCallOnceWithItsErrno) {
  platform::testing::fail_next(FileOp::write, docs_ / "reports", ENOSPC);
  put(docs_ / "elsewhere", "ok");  // other prefix: untouched by the fault
  ASSERT_TRUE(fm().create_directory(docs_ / "reports", false).has_value());

  auto failed = fm().write_atomically(docs_ / "reports" / "r1", Bytes{1, 2});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().code, 640);
  EXPECT_EQ(underlying_errno(failed.error()), ENOSPC);
  EXPECT_FALSE(fm().exists(docs_ / "reports" / "r1"));

  put(docs_ / "reports" / "r1", "second try works");

  struct Case {
    FileOp op;
    int error_number;
    std::int64_t code;
  };
  const Case cases[] = {
      {FileOp::read, EACCES, 257},  {FileOp::read, EIO, 256},         {FileOp::write, EACCES, 513},
      {FileOp::remove, EPERM, 513}, {FileOp::move, EBUSY, 512},       {FileOp::list, EACCES, 257},
      {FileOp::any, EROFS, 513},    {FileOp::set_attributes, EIO, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    platform::testing::fail_next(c.op, docs_, c.error_number);
    foundation::Expected<void> r;
    switch (c.op) {
      case FileOp::read: {
        auto b = fm().read(docs_ / "reports" / "r1");
        r = b ? foundation::Expected<void>() : foundation::Expected<void>(b.error());
        break;
      }
      case FileOp::list: {
        auto l = fm().contents_of_directory(docs_);
        r = l ? foundation::Expected<void>() : foundation::Expected<void>(l.error());
        break;
      }
      case FileOp::remove: r = fm().remove_item(docs_ / "reports" / "r1"); break;
      case FileOp::move: r = fm().move_item(docs_ / "reports" / "r1", docs_ / "r2"); break;
      case FileOp::set_attributes: r = fm().set_excluded_from_backup(docs_ / "reports" / "r1", true); break;
      default: r = fm().write_atomically(docs_ / "reports" / "r1", Bytes{3}); break;
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, c.code);
    EXPECT_EQ(underlying_errno(r.error()), c.error_number);
  }
  EXPECT_EQ(read_text(docs_ / "reports" / "r1"), "second try works");
}

TEST_F(FileManagerTest, FileSystemSizeAndFree) {
  auto sizes = fm().file_system_size_and_free(docs_);
  ASSERT_TRUE(sizes.has_value());
  EXPECT_GT(sizes->first, 0u);
  EXPECT_LE(sizes->second, sizes->first);
  EXPECT_EQ(fm().file_system_size_and_free(docs_ / "missing").error().code, 260);
}

}  // namespace
}  // namespace platform::os::test
