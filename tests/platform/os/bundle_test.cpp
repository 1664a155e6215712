#include "platform/os/bundle.h"

#include "fixture.h"
#include "platform/runtime/runtime.h"

namespace platform::os::test {
namespace {

using BundleTest = OsTest;

TEST_F(BundleTest, MainBundleInfoFromXmlOrBinaryPlist) {
  EXPECT_TRUE(Bundle::main().path().empty());  // before boot
  EXPECT_TRUE(Bundle::main().info_dictionary().empty());

  for (auto format : {foundation::plist::Format::xml, foundation::plist::Format::binary}) {
    write_plist(bundle_ / "Info.plist",
                Dict{{"CFBundleIdentifier", kBundleId}, {"CFBundleExecutable", "App"}, {"UIMainStoryboardFile", "Main"}},
                format);
    boot_device();
    const Bundle& main = Bundle::main();
    EXPECT_EQ(main.path(), bundle_);
    EXPECT_EQ(main.identifier(), kBundleId);
    EXPECT_EQ(main.executable_path(), bundle_ / "App");
    EXPECT_EQ(main.object_for_info_key("UIMainStoryboardFile"), Value("Main"));
    EXPECT_TRUE(main.object_for_info_key("Absent").is_null());
    EXPECT_EQ(Bundle::with_identifier(kBundleId), &main);
    platform::testing::reset();
  }
}

TEST_F(BundleTest, ResourcesAtTheTopAndInLocalizations) {
  write_text(bundle_ / "Config.json", "{}");
  write_text(bundle_ / "b.json", "{}");
  write_text(bundle_ / "Base.lproj" / "Main.json", "{}");
  write_text(bundle_ / "de.lproj" / "Only.txt", "de");
  write_text(bundle_ / "en.lproj" / "Only.txt", "en");
  write_text(bundle_ / "en.lproj" / "c.json", "{}");
  write_text(bundle_ / "Sub" / "Deep.json", "{}");
  DeviceProfile p;
  p.preferred_languages = {"de-DE", "en-US"};
  boot_device(BootOptions{p, true});
  const Bundle& main = Bundle::main();

  EXPECT_EQ(main.path_for_resource("Config", "json"), bundle_ / "Config.json");
  EXPECT_EQ(main.path_for_resource("Config.json", ""), bundle_ / "Config.json");
  EXPECT_EQ(main.path_for_resource("Main", "json"), bundle_ / "Base.lproj" / "Main.json");
  EXPECT_EQ(main.path_for_resource("Only", "txt"), bundle_ / "de.lproj" / "Only.txt");  // first preferred language
  EXPECT_EQ(main.path_for_resource("Deep", "json", "Sub"), bundle_ / "Sub" / "Deep.json");
  EXPECT_EQ(main.path_for_resource("embedded", "mobileprovision"), std::nullopt);

  EXPECT_EQ(main.paths_for_resources("json"),
            (std::vector<fs::path>{bundle_ / "Config.json", bundle_ / "b.json", bundle_ / "Base.lproj" / "Main.json",
                                   bundle_ / "en.lproj" / "c.json"}));
  EXPECT_EQ(main.paths_for_resources("json", "Sub"), std::vector<fs::path>{bundle_ / "Sub" / "Deep.json"});
}

TEST_F(BundleTest, LocalizedStringsFromPropertyListTables) {
  write_plist(bundle_ / "en.lproj" / "Localizable.strings", Dict{{"greeting", "Hello"}});
  write_plist(bundle_ / "de.lproj" / "Localizable.strings", Dict{{"greeting", "Hallo"}});
  write_plist(bundle_ / "en.lproj" / "Alerts.strings", Dict{{"ok", "OK"}}, foundation::plist::Format::binary);
  write_text(bundle_ / "en.lproj" / "Broken.strings", "\"ok\" = \"old style\";");
  boot_device();  // preferred languages: en-US
  const Bundle& main = Bundle::main();
  EXPECT_EQ(main.localized_string("greeting", "", "Localizable"), "Hello");
  EXPECT_EQ(main.localized_string("ok", "", "Alerts"), "OK");
  EXPECT_EQ(main.localized_string("missing", "fallback"), "fallback");
  EXPECT_EQ(main.localized_string("missing", ""), "missing");
  EXPECT_EQ(main.localized_string("ok", "", "Broken"), "ok");  // unreadable table: as if absent
  EXPECT_EQ(main.localized_string("x", "", "NoSuchTable"), "x");
}

TEST_F(BundleTest, FrameworkBundleForAClassAndByIdentifier) {
  write_plist(bundle_ / "Frameworks" / "Duvarel.framework" / "Info.plist",
              Dict{{"CFBundleIdentifier", "org.example.duvarel"}, {"CFBundleShortVersionString", "4.9.1"}});
  boot_device();
  rt::Runtime::Scope scope;
  auto define = [](const char* name, std::string_view image) -> rt::Class& {
    rt::ClassDefinition d;
    d.name = name;
    d.superclass = "NSObject";
    d.image = std::string(image);
    return rt::Runtime::shared().define(std::move(d));
  };
  rt::Class& app_class = define("AppThing", rt::main_image);
  rt::Class& lib_class = define("SessionManagerThing", "Duvarel");
  rt::Class& sys_class = define("SystemThing", "UIKitCore");

  EXPECT_EQ(Bundle::for_class(app_class), &Bundle::main());
  Bundle* lib = Bundle::for_class(lib_class);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->path(), bundle_ / "Frameworks" / "Duvarel.framework");
  EXPECT_EQ(lib->object_for_info_key("CFBundleShortVersionString"), Value("4.9.1"));
  EXPECT_EQ(Bundle::for_class(lib_class), lib);  // one object per bundle
  EXPECT_EQ(Bundle::for_class(sys_class), nullptr);

  platform::testing::reset();
  boot_device();
  EXPECT_NE(Bundle::with_identifier("org.example.duvarel"), nullptr);  // found among the frameworks
  EXPECT_EQ(Bundle::with_identifier("org.example.none"), nullptr);
}

TEST_F(BundleTest, ExtensionOpensTheAppThatHoldsIt) {
  fs::path appex = bundle_ / "PlugIns" / "Service.appex";
  write_plist(appex / "Info.plist", Dict{{"CFBundleIdentifier", "org.example.intranet.service"}});
  auto booted_ok = boot(device_, appex);
  ASSERT_TRUE(booted_ok.has_value());
  EXPECT_EQ(Bundle::main().identifier(), "org.example.intranet.service");
  Bundle* app = Bundle::at_path(Bundle::main().path().parent_path().parent_path());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->identifier(), kBundleId);
  EXPECT_EQ(Bundle::at_path(bundle_ / ""), app);
  EXPECT_EQ(Bundle::at_path(root_ / "Nothing.app"), nullptr);
}

TEST_F(BundleTest, ReceiptUrlFollowsTheDistribution) {
  boot_device();
  auto sandbox = Bundle::main().app_store_receipt_url();
  ASSERT_TRUE(sandbox.has_value());
  EXPECT_EQ(sandbox->file_path(), bundle_ / "StoreKit" / "sandboxReceipt");
  platform::testing::reset();

  DeviceProfile p;
  p.distribution = "app_store";
  boot_device(BootOptions{p, true});
  EXPECT_EQ(Bundle::main().app_store_receipt_url()->last_path_component(), "receipt");
}

TEST_F(BundleTest, ImagePathsOfRuntimeImageNames) {
  write_plist(bundle_ / "Info.plist", Dict{{"CFBundleIdentifier", kBundleId}, {"CFBundleExecutable", "App"}});
  boot_device();
  struct Case {
    std::string_view image;
    std::filesystem::path path;
  };
  for (const Case& c : {Case{"Foundation", "/System/Library/Frameworks/Foundation.framework/Foundation"},
                        Case{"UIKitCore", "/System/Library/Frameworks/UIKitCore.framework/UIKitCore"},
                        Case{"CFNetwork", "/System/Library/Frameworks/CFNetwork.framework/CFNetwork"},
                        Case{"WebKit", "/System/Library/Frameworks/WebKit.framework/WebKit"},
                        Case{rt::main_image, bundle_ / "App"},
                        Case{"Duvarel", bundle_ / "Frameworks" / "Duvarel.framework" / "Duvarel"},
                        Case{"/usr/lib/libextra.dylib", "/usr/lib/libextra.dylib"}}) {
    EXPECT_EQ(image_path(c.image), c.path) << c.image;
  }
}

}  // namespace
}  // namespace platform::os::test
