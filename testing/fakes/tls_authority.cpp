#include "testing/fakes/tls_authority.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>
#include <utility>

namespace testing::fakes {

namespace {

constexpr long hour = 3600;
constexpr long day = 24 * hour;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("TlsAuthority: ") + what); }

EVP_PKEY* new_ec_key() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) fail("EC key generation");
  return key;
}

bool is_ip(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) fail("extension");
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (added != 1) fail("add extension");
}

// A certificate for `subject_key`, signed by `issuer_key`; `issuer` null means self-signed.
X509* make_certificate(const std::string& common_name, EVP_PKEY* subject_key, X509* issuer, EVP_PKEY* issuer_key,
                       long not_before_s, long not_after_s,
                       const std::vector<std::pair<int, std::string>>& extensions) {
  X509* cert = X509_new();
  if (!cert) fail("X509_new");
  X509_set_version(cert, X509_VERSION_3);

  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) fail("serial");
  serial_bytes[0] &= 0x7f;
  serial_bytes[0] |= 0x01;
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  if (!serial || !BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert))) fail("serial");
  BN_free(serial);

  X509_gmtime_adj(X509_getm_notBefore(cert), not_before_s);
  X509_gmtime_adj(X509_getm_notAfter(cert), not_after_s);

  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Fake Services"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  if (X509_set_pubkey(cert, subject_key) != 1) fail("public key");

  X509* signer = issuer ? issuer : cert;
  for (const auto& [nid, value] : extensions) add_extension(cert, signer, nid, value);
  if (X509_sign(cert, issuer_key, EVP_sha256()) <= 0) fail("sign");
  return cert;
}

std::vector<std::pair<int, std::string>> ca_extensions(bool root) {
  std::vector<std::pair<int, std::string>> ext = {
      {NID_basic_constraints, root ? "critical,CA:TRUE" : "critical,CA:TRUE,pathlen:0"},
      {NID_key_usage, "critical,keyCertSign,cRLSign"},
      {NID_subject_key_identifier, "hash"},
  };
  if (!root) ext.emplace_back(NID_authority_key_identifier, "keyid:always");
  return ext;
}

std::vector<std::pair<int, std::string>> leaf_extensions(const std::vector<std::string>& hosts, bool self_signed) {
  std::string san;
  for (const auto& host : hosts) {
    if (!san.empty()) san += ",";
    san += (is_ip(host) ? "IP:" : "DNS:") + host;
  }
  std::vector<std::pair<int, std::string>> ext = {
      {NID_basic_constraints, "critical,CA:FALSE"},
      {NID_key_usage, "critical,digitalSignature"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_key_identifier, "hash"},
  };
  if (!self_signed) ext.emplace_back(NID_authority_key_identifier, "keyid:always");
  if (!san.empty()) ext.emplace_back(NID_subject_alt_name, san);
  return ext;
}

X509* up(X509* cert) {
  if (X509_up_ref(cert) != 1) fail("up_ref");
  return cert;
}

}  // namespace

Der to_der(X509* certificate) {
  unsigned char* out = nullptr;
  const int length = i2d_X509(certificate, &out);
  if (length <= 0) fail("i2d_X509");
  Der der(out, out + length);
  OPENSSL_free(out);
  return der;
}

std::string to_pem(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_X509(bio, certificate) != 1) fail("PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

// ---- IssuedCertificate --------------------------------------------------------

IssuedCertificate::IssuedCertificate(X509* certificate, EVP_PKEY* key, std::vector<X509*> issuers)
    : certificate_(certificate), key_(key), issuers_(std::move(issuers)) {}

IssuedCertificate::~IssuedCertificate() { release(); }

IssuedCertificate::IssuedCertificate(IssuedCertificate&& other) noexcept
    : certificate_(std::exchange(other.certificate_, nullptr)),
      key_(std::exchange(other.key_, nullptr)),
      issuers_(std::exchange(other.issuers_, {})) {}

IssuedCertificate& IssuedCertificate::operator=(IssuedCertificate&& other) noexcept {
  if (this != &other) {
    release();
    certificate_ = std::exchange(other.certificate_, nullptr);
    key_ = std::exchange(other.key_, nullptr);
    issuers_ = std::exchange(other.issuers_, {});
  }
  return *this;
}

void IssuedCertificate::release() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
  for (X509* issuer : issuers_) X509_free(issuer);
  certificate_ = nullptr;
  key_ = nullptr;
  issuers_.clear();
}

Der IssuedCertificate::der() const { return to_der(certificate_); }
std::string IssuedCertificate::pem() const { return to_pem(certificate_); }

std::string IssuedCertificate::key_pem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_PrivateKey(bio, key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) fail("key PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

std::vector<Der> IssuedCertificate::chain_der() const {
  std::vector<Der> chain{der()};
  for (X509* issuer : issuers_) chain.push_back(to_der(issuer));
  return chain;
}

// ---- TlsAuthority ---------------------------------------------------------------

TlsAuthority::TlsAuthority() : TlsAuthority(Options{}) {}

TlsAuthority::TlsAuthority(Options options) {
  root_key_.reset(new_ec_key());
  root_.reset(make_certificate(options.root_name, root_key_.get(), nullptr, root_key_.get(), -hour, 3650 * day,
                               ca_extensions(true)));
  if (options.intermediate) {
    intermediate_key_.reset(new_ec_key());
    intermediate_.reset(make_certificate(options.intermediate_name, intermediate_key_.get(), root_.get(),
                                         root_key_.get(), -hour, 1825 * day, ca_extensions(false)));
  }
}

TlsAuthority::~TlsAuthority() = default;

IssuedCertificate TlsAuthority::leaf(const std::vector<std::string>& hosts, long not_before_s, long not_after_s,
                                     bool self_signed) const {
  const std::string common_name = hosts.empty() ? "Fake Leaf" : hosts.front();
  EVP_PKEY* key = new_ec_key();
  if (self_signed) {
    X509* cert = make_certificate(common_name, key, nullptr, key, not_before_s, not_after_s,
                                  leaf_extensions(hosts, true));
    return IssuedCertificate(cert, key, {});
  }
  X509* issuer = intermediate_ ? intermediate_.get() : root_.get();
  EVP_PKEY* issuer_key = intermediate_ ? intermediate_key_.get() : root_key_.get();
  X509* cert = make_certificate(common_name, key, issuer, issuer_key, not_before_s, not_after_s,
                                leaf_extensions(hosts, false));
  std::vector<X509*> issuers;
  if (intermediate_) issuers.push_back(up(intermediate_.get()));
  issuers.push_back(up(root_.get()));
  return IssuedCertificate(cert, key, std::move(issuers));
}

IssuedCertificate TlsAuthority::issue_leaf(const std::vector<std::string>& hosts) const {
  return leaf(hosts, -hour, 30 * day, false);
}

IssuedCertificate TlsAuthority::expired_leaf(const std::vector<std::string>& hosts) const {
  return leaf(hosts, -30 * day, -day, false);
}

IssuedCertificate TlsAuthority::wrong_host_leaf() const { return leaf({"wrong-host.invalid"}, -hour, 30 * day, false); }

IssuedCertificate TlsAuthority::self_signed_leaf(const std::vector<std::string>& hosts) const {
  return leaf(hosts, -hour, 30 * day, true);
}

Der TlsAuthority::root_der() const { return to_der(root_.get()); }
std::string TlsAuthority::root_pem() const { return to_pem(root_.get()); }
Der TlsAuthority::intermediate_der() const { return intermediate_ ? to_der(intermediate_.get()) : Der{}; }
std::string TlsAuthority::intermediate_pem() const { return intermediate_ ? to_pem(intermediate_.get()) : std::string{}; }

bool TlsAuthority::write_root_pem(const std::filesystem::path& path) const {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << root_pem();
  out.close();
  return static_cast<bool>(out);
}

}  // namespace testing::fakes
