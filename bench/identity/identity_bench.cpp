// The app instance identifier of a loaded key pair store against the bare
// work beneath it: OpenSSL's SHA-1 of the same DER, the nibble step and a
// table base 64 (URL-safe) of 8 bytes.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "identity/backup_excluded_plist.h"
#include "identity/key_pair_store.h"
#include "platform/os/file_manager.h"
#include "platform/testing/temp_device.h"

namespace {

// A booted device whose key pair store has loaded its pair.
struct LoadedStore {
  platform::testing::TempDevice device{"identity-bench"};
  std::unique_ptr<identity::FIRInstanceIDKeyPairStore> store;
  platform::foundation::Bytes der;
  LoadedStore() {
    (void)device.boot();
    std::filesystem::create_directories(
        platform::os::FileManager::shared().url_for(platform::os::Directory::application_support) /
        std::string(identity::kFIRInstanceIDSubDirectoryName));
    store = std::make_unique<identity::FIRInstanceIDKeyPairStore>();
    if (auto pair = store->loadKeyPairWithError(nullptr)) der = pair->publicKeyData();
  }
};

LoadedStore& loaded() {
  static LoadedStore* instance = new LoadedStore();
  return *instance;
}

void app_identity_ours(benchmark::State& state) {
  auto& store = *loaded().store;
  for (auto _ : state) benchmark::DoNotOptimize(store.appIdentityWithError(nullptr));
}
BENCHMARK(app_identity_ours)->Name("identity_app_identity/ours");

void app_identity_raw(benchmark::State& state) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const auto& der = loaded().der;
  for (auto _ : state) {
    std::array<unsigned char, SHA_DIGEST_LENGTH> digest;
    SHA1(der.data(), der.size(), digest.data());
    digest[0] = static_cast<unsigned char>((digest[0] & 0x0F) | 0x70);
    std::string out;
    out.reserve(11);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (int i = 0; i < 8; ++i) {
      buffer = (buffer << 8) | digest[static_cast<std::size_t>(i)];
      bits += 8;
      while (bits >= 6) {
        bits -= 6;
        out.push_back(kAlphabet[(buffer >> bits) & 0x3F]);
      }
    }
    out.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3F]);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(app_identity_raw)->Name("identity_app_identity/raw");

}  // namespace

BENCHMARK_MAIN();
