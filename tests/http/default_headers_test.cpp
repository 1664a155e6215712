// Default headers over a test bundle and device profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "http/default_headers.h"
#include "platform/foundation/plist.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace Duvarel {
namespace {

namespace foundation = platform::foundation;
namespace fs = std::filesystem;

struct DeviceSetup {
  foundation::Dict info;
  std::vector<std::string> languages{"en-US"};
  std::string systemVersion = "13.5";
  std::optional<foundation::Dict> libraryInfo = foundation::Dict{{"CFBundleShortVersionString", "4.8.0"}};
};

class DefaultHeaders : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }

  void boot(const DeviceSetup& setup) {
    device_.emplace("http-headers", setup.info);
    if (setup.libraryInfo) {
      fs::path framework = device_->bundle() / "Frameworks" / "Duvarel.framework";
      fs::create_directories(framework);
      ASSERT_TRUE(foundation::plist::write_file_atomically(foundation::Value(*setup.libraryInfo), framework / "Info.plist"));
    }
    platform::os::DeviceProfile profile;
    profile.preferred_languages = setup.languages;
    profile.system_version = setup.systemVersion;
    platform::os::BootOptions options;
    options.profile = profile;
    ASSERT_TRUE(device_->boot(options));
  }

  std::optional<platform::testing::TempDevice> device_;
};

const foundation::Dict kFullInfo{{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "34"}};

TEST_F(DefaultHeaders, ExactlyThreeHeadersWithTheirValues) {
  boot({kFullInfo, {"de-DE", "en"}, "12.4"});
  HTTPHeaders headers = makeDefaultHeaders();
  EXPECT_EQ(headers, (HTTPHeaders{
                         {"Accept-Encoding", "gzip;q=1.0, compress;q=0.5"},
                         {"Accept-Language", "de-DE;q=1.0, en;q=0.9"},
                         {"User-Agent", "App/1.2 (org.example.intranet; build:34; iOS 12.4.0) Duvarel/4.8.0"},
                     }));
}

TEST_F(DefaultHeaders, AcceptLanguageForZeroOneAndSevenLanguages) {
  struct Case {
    std::vector<std::string> languages;
    std::string header;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{"en"}, "en;q=1.0"},
      {{"a", "b", "c", "d", "e", "f", "g"}, "a;q=1.0, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(makeAcceptLanguage(c.languages), c.header);
  }
  boot({kFullInfo, {}, "13.5"});
  HTTPHeaders headers = makeDefaultHeaders();
  ASSERT_TRUE(headers.contains("Accept-Language"));
  EXPECT_EQ(headers.at("Accept-Language"), "");
}

TEST_F(DefaultHeaders, SevenProfileLanguagesGiveSix) {
  boot({kFullInfo, {"en-US", "de-DE", "fr-FR", "it-IT", "es-ES", "nl-NL", "pt-PT"}, "13.5"});
  EXPECT_EQ(makeDefaultHeaders().at("Accept-Language"),
            "en-US;q=1.0, de-DE;q=0.9, fr-FR;q=0.8, it-IT;q=0.7, es-ES;q=0.6, nl-NL;q=0.5");
}

TEST_F(DefaultHeaders, MissingOrNonTextKeysBecomeUnknown) {
  foundation::Dict info{{"CFBundleExecutable", 5}, {"CFBundleVersion", 34}};
  boot({info, {"en"}, "13.5.1"});
  EXPECT_EQ(makeUserAgent(), "Unknown/Unknown (org.example.intranet; build:Unknown; iOS 13.5.1) Duvarel/4.8.0");
}

TEST_F(DefaultHeaders, NoLibraryVersionEndsWithUnknown) {
  for (std::optional<foundation::Dict> library : {std::optional<foundation::Dict>{},
                                                  std::optional<foundation::Dict>{foundation::Dict{{"CFBundleVersion", "9"}}}}) {
    boot({kFullInfo, {"en"}, "13.5", library});
    std::string agent = makeUserAgent();
    EXPECT_EQ(agent, "App/1.2 (org.example.intranet; build:34; iOS 13.5.0) Unknown");
    EXPECT_EQ(makeLibraryVersion(), "Unknown");
    device_.reset();
  }
}

TEST_F(DefaultHeaders, LibraryVersionOfAnyTypeInItsPlainText) {
  boot({kFullInfo, {"en"}, "13.5", foundation::Dict{{"CFBundleShortVersionString", 5}}});
  EXPECT_EQ(makeLibraryVersion(), "Duvarel/5");
}

TEST_F(DefaultHeaders, OperatingSystemVersionAlwaysHasThreeParts) {
  for (const auto& [version, text] : std::vector<std::pair<std::string, std::string>>{
           {"12.4", "iOS 12.4.0"}, {"9", "iOS 9.0.0"}, {"13.5.1", "iOS 13.5.1"}}) {
    boot({kFullInfo, {"en"}, version});
    EXPECT_EQ(makeOSNameVersion(), text);
    device_.reset();
  }
}

TEST_F(DefaultHeaders, NoMainInfoDictionaryGivesTheLibraryNameAlone) {
  // Nothing booted: the main bundle is empty and has no information dictionary.
  EXPECT_EQ(makeUserAgent(), "Duvarel");
  EXPECT_EQ(makeLibraryVersion(), "Unknown");
  EXPECT_EQ(makeDefaultHeaders().at("User-Agent"), "Duvarel");
}

}  // namespace
}  // namespace Duvarel
