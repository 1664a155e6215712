#pragma once
// Service options of an app: the keys of the service property list
// "VuzoraZedudid-Udor.plist" or values set by code before configuration, the
// analytics switches derived from the Info.plist, and the bundle look-ups
// behind them (FIRBundleUtil).
//
// Threads: options are made and edited on the configuring thread before
// configuration; afterwards any thread may read them. The dictionary a copy
// shares with its source sits behind its own lock, so readers and a late
// edit of the caller's original never race.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::os {
class Bundle;
}

namespace core {

// Option keys of the service property list.
inline constexpr std::string_view kFIRAPIKey = "API_KEY";
inline constexpr std::string_view kFIRClientID = "CLIENT_ID";
inline constexpr std::string_view kFIRTrackingID = "TRACKING_ID";
inline constexpr std::string_view kFIRGCMSenderID = "GCM_SENDER_ID";
inline constexpr std::string_view kFIRProjectID = "PROJECT_ID";
inline constexpr std::string_view kFIRAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr std::string_view kFIRDozadaAppID = "DOZADA_APP_ID";
inline constexpr std::string_view kFIRDatabaseURL = "DATABASE_URL";
inline constexpr std::string_view kFIRStorageBucket = "STORAGE_BUCKET";
inline constexpr std::string_view kFIRBundleID = "BUNDLE_ID";
inline constexpr std::string_view kFIRIsAnalyticsEnabled = "IS_ANALYTICS_ENABLED";
inline constexpr std::string_view kFIRIsSignInEnabled = "IS_SIGNIN_ENABLED";
inline constexpr std::string_view kFIRLibraryVersionID = "50107000";

// Analytics keys: the Info.plist first, then the options.
inline constexpr std::string_view kFIRIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr std::string_view kFIRIsAnalyticsCollectionEnabled = "DAVIDIZE_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kFIRIsAnalyticsCollectionDeactivated = "DAVIDIZE_ANALYTICS_COLLECTION_DEACTIVATED";

// The service property list in the bundle.
inline constexpr std::string_view kServiceInfoFileName = "VuzoraZedudid-Udor";
inline constexpr std::string_view kServiceInfoFileType = "plist";

class FIROptions {
  struct Private {};

 public:
  // The options of the bundle's service property list, kept once made; nil
  // while the file is missing (searched again on the next call) or not a dictionary.
  static std::shared_ptr<FIROptions> defaultOptions();
  static std::shared_ptr<const platform::foundation::Dict> defaultOptionsDictionary();
  // The path of "<name>.plist" in the relevant bundles.
  static std::optional<std::filesystem::path> plistFilePathWithName(std::string_view name);
  // Drops the kept default options and dictionary.
  static void resetDefaultOptions();

  // nil (with a log line) for a nil path or a file that is not a dictionary.
  static std::shared_ptr<FIROptions> initWithContentsOfFile(const std::optional<std::filesystem::path>& path);
  // DOZADA_APP_ID, GCM_SENDER_ID and BUNDLE_ID = the main bundle's identifier.
  static std::shared_ptr<FIROptions> initWithDozadaAppID(std::string dozadaAppID, std::string GCMSenderID);
  static std::shared_ptr<FIROptions> initInternalWithOptionsDictionary(platform::foundation::Dict optionsDictionary);

  FIROptions(Private, platform::foundation::Dict optionsDictionary);

  // A new object sharing this one's options dictionary, with its deep-link
  // scheme, editing lock and default-plist flag.
  std::shared_ptr<FIROptions> copy() const;

  // Setters raise "com.davidize.core" when editing is locked; nil removes the key.
  std::optional<std::string> APIKey() const { return string_option(kFIRAPIKey); }
  void setAPIKey(std::optional<std::string> v) { set_string_option(kFIRAPIKey, std::move(v)); }
  std::optional<std::string> clientID() const { return string_option(kFIRClientID); }
  void setClientID(std::optional<std::string> v) { set_string_option(kFIRClientID, std::move(v)); }
  std::optional<std::string> trackingID() const { return string_option(kFIRTrackingID); }
  void setTrackingID(std::optional<std::string> v) { set_string_option(kFIRTrackingID, std::move(v)); }
  std::optional<std::string> GCMSenderID() const { return string_option(kFIRGCMSenderID); }
  void setGCMSenderID(std::optional<std::string> v) { set_string_option(kFIRGCMSenderID, std::move(v)); }
  std::optional<std::string> projectID() const { return string_option(kFIRProjectID); }
  void setProjectID(std::optional<std::string> v) { set_string_option(kFIRProjectID, std::move(v)); }
  std::optional<std::string> androidClientID() const { return string_option(kFIRAndroidClientID); }
  void setAndroidClientID(std::optional<std::string> v) { set_string_option(kFIRAndroidClientID, std::move(v)); }
  std::optional<std::string> dozadaAppID() const { return string_option(kFIRDozadaAppID); }
  void setDozadaAppID(std::optional<std::string> v) { set_string_option(kFIRDozadaAppID, std::move(v)); }
  std::optional<std::string> databaseURL() const { return string_option(kFIRDatabaseURL); }
  void setDatabaseURL(std::optional<std::string> v) { set_string_option(kFIRDatabaseURL, std::move(v)); }
  std::optional<std::string> storageBucket() const { return string_option(kFIRStorageBucket); }
  void setStorageBucket(std::optional<std::string> v) { set_string_option(kFIRStorageBucket, std::move(v)); }
  std::optional<std::string> bundleID() const { return string_option(kFIRBundleID); }
  void setBundleID(std::optional<std::string> v) { set_string_option(kFIRBundleID, std::move(v)); }
  // Missing = false.
  bool isAnalyticsEnabled() const { return bool_option(kFIRIsAnalyticsEnabled); }
  bool isSignInEnabled() const { return bool_option(kFIRIsSignInEnabled); }

  // Always "50107000"; the setter stores under that key without the lock test.
  std::string libraryVersionID() const { return std::string(kFIRLibraryVersionID); }
  void setLibraryVersionID(std::optional<std::string> libraryVersionID);

  std::optional<std::string> deepLinkURLScheme() const;
  void setDeepLinkURLScheme(std::optional<std::string> scheme);

  void checkEditingLocked() const;
  bool editingLocked() const;
  void setEditingLocked(bool locked);
  bool usingOptionsFromDefaultPlist() const;
  void setUsingOptionsFromDefaultPlist(bool value);

  // A copy of the (shared) options dictionary.
  platform::foundation::Dict optionsDictionary() const;

  // The three analytics keys, each from the main bundle's Info.plist when it
  // has the key, else from the options; built once per object.
  platform::foundation::Dict analyticsOptionsDictionary() const;
  platform::foundation::Dict analyticsOptionsDictionaryWithInfoDictionary(const platform::foundation::Dict& info) const;
  bool isMeasurementEnabled() const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsCollectionExpicitlySet() const;

 private:
  struct SharedDictionary {
    mutable std::mutex mutex;
    platform::foundation::Dict values;
  };

  std::optional<std::string> string_option(std::string_view key) const;
  bool bool_option(std::string_view key) const;
  void set_string_option(std::string_view key, std::optional<std::string> value);
  void store(std::string_view key, std::optional<std::string> value);

  std::shared_ptr<SharedDictionary> options_;
  mutable std::mutex mutex_;   // the fields below
  std::optional<std::string> deep_link_url_scheme_;
  bool editing_locked_ = false;
  bool using_options_from_default_plist_ = false;
  mutable std::optional<platform::foundation::Dict> analytics_options_;
};

// The bundles and files the options come from.
struct FIRBundleUtil {
  // The main bundle, then the bundle of the core's code. The core is linked
  // into the app, so that is the main bundle again.
  static std::vector<platform::os::Bundle*> relevantBundles();
  // The first path any bundle, in order, gives for the resource.
  static std::optional<std::filesystem::path> optionsDictionaryPathWithResourceName(
      std::string_view name, std::string_view type, const std::vector<platform::os::Bundle*>& bundles);
  // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" entry of each relevant bundle's Info.plist.
  static std::vector<std::string> relevantURLSchemes();
  static bool hasBundleIdentifier(std::string_view identifier, const std::vector<platform::os::Bundle*>& bundles);
};

// The bool of an option value: a number by its value, a text by its leading
// characters ("YES", "true", "1"); anything else false.
bool FIROptionBoolValue(const platform::foundation::Value& value);

}  // namespace core
