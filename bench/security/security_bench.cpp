// Our security calls against the OpenSSL or file work beneath them.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/security/certificate.h"
#include "platform/security/digest.h"
#include "platform/security/keychain.h"
#include "platform/security/trust.h"
#include "platform/testing/reset.h"
#include "testing/fakes/tls_authority.h"

namespace {

namespace fs = std::filesystem;
namespace sec = platform::security;
using platform::foundation::Array;
using platform::foundation::Dict;
using platform::foundation::Value;

const std::vector<std::uint8_t> kPayload(1024, 0x5a);

void sha256_ours(benchmark::State& state) {
  benchmark::DoNotOptimize(sec::sha256(kPayload));   // OpenSSL's one-time algorithm fetch, outside the timing
  for (auto _ : state) benchmark::DoNotOptimize(sec::sha256(kPayload));
}
BENCHMARK(sha256_ours)->Name("sha256/ours");

void sha256_raw(benchmark::State& state) {
  unsigned char out[32];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(kPayload.data(), kPayload.size(), out, &length, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(sha256_raw)->Name("sha256/raw");

// A booted device whose keychain holds 50 token items.
struct Device {
  fs::path root;
  Device() {
    char pattern[] = "/tmp/security-bench-XXXXXX";
    root = ::mkdtemp(pattern);
    const fs::path bundle = root / "App.app";
    fs::create_directories(bundle);
    (void)platform::foundation::plist::write_file_atomically(
        Value(Dict{{"CFBundleIdentifier", "org.example.bench"}}), bundle / "Info.plist");
    (void)platform::os::boot(root / "device", bundle);
    for (int i = 0; i < 50; ++i)
      sec::item_add(Dict{{"class", "genp"}, {"svce", "entity:scope" + std::to_string(i)}, {"acct", "org.example.bench"},
                         {"gena", "tokens"}, {"v_Data", platform::foundation::to_bytes(std::string(200, 'x'))}});
  }
  ~Device() {
    platform::testing::reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

const Dict kLookup{{"class", "genp"}, {"svce", "entity:scope37"}, {"acct", "org.example.bench"}, {"r_Data", true}};

void keychain_lookup_ours(benchmark::State& state) {
  Device device;
  for (auto _ : state) {
    Value out;
    if (sec::item_copy_matching(kLookup, &out) != 0) state.SkipWithError("look-up failed");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(keychain_lookup_ours)->Name("keychain_lookup/ours");

// The same look-up done by reading the file and scanning it.
void keychain_lookup_raw(benchmark::State& state) {
  Device device;
  const fs::path file = platform::os::keychain_file();
  for (auto _ : state) {
    auto items = platform::foundation::plist::read_file(file);
    Value out;
    if (items && items->array())
      for (const Value& item : *items->array())
        if (item["svce"] == Value("entity:scope37") && item["acct"] == Value("org.example.bench")) {
          out = item["v_Data"];
          break;
        }
    if (out.is_null()) state.SkipWithError("look-up failed");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(keychain_lookup_raw)->Name("keychain_lookup/raw");

// Evaluation of a leaf + intermediate chain against a pinned root.
struct Chain {
  testing::fakes::TlsAuthority authority{{.intermediate = true}};
  testing::fakes::IssuedCertificate leaf = authority.issue_leaf({"intranet.example.org"});
};

void trust_evaluate_ours(benchmark::State& state) {
  Chain chain;
  auto leaf = sec::Certificate::from_der(chain.leaf.der());
  auto intermediate = sec::Certificate::from_der(chain.authority.intermediate_der());
  auto root = sec::Certificate::from_der(chain.authority.root_der());
  for (auto _ : state) {
    std::shared_ptr<sec::Trust> trust;
    sec::Trust::create({leaf, intermediate}, {sec::Policy::ssl(true, "intranet.example.org")}, &trust);
    trust->set_anchor_certificates({root});
    sec::TrustResult result{};
    trust->evaluate(&result);
    if (result != sec::TrustResult::unspecified) state.SkipWithError("not trusted");
  }
}
BENCHMARK(trust_evaluate_ours)->Name("trust_evaluate/ours");

void trust_evaluate_raw(benchmark::State& state) {
  Chain chain;
  for (auto _ : state) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, chain.authority.root());
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    sk_X509_push(untrusted, chain.authority.intermediate());
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, chain.leaf.certificate(), untrusted);
    X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM_set1_host(X509_STORE_CTX_get0_param(ctx), "intranet.example.org", 0);
    if (X509_verify_cert(ctx) != 1) state.SkipWithError("not trusted");
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);
    X509_STORE_free(store);
  }
}
BENCHMARK(trust_evaluate_raw)->Name("trust_evaluate/raw");

}  // namespace

BENCHMARK_MAIN();
