#include "testing/test_certs.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "lib/util/owned.h"

namespace kelv {
namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, FnDeleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, FnDeleter<X509_free>>;
void closeFile(FILE* file) { static_cast<void>(std::fclose(file)); }

using FilePtr = std::unique_ptr<FILE, FnDeleter<closeFile>>;

constexpr long DAY_SECONDS = 24L * 60 * 60;
// Starting a day early keeps the certificates valid on a machine whose clock lags a little.
constexpr long NOT_BEFORE_OFFSET = -DAY_SECONDS;
constexpr long NOT_AFTER_OFFSET = 30 * DAY_SECONDS;
constexpr const char* KEY_CURVE = "P-256";
constexpr const char* SERVER_NAMES = "IP:127.0.0.1,IP:::1,DNS:localhost";
constexpr const char* OTHER_NAMES = "DNS:other.invalid";
constexpr size_t ERROR_TEXT_SIZE = 256;

[[noreturn]] void fail(const char* step) {
  char reason[ERROR_TEXT_SIZE];
  ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
  std::fprintf(stderr, "makeTestCertificates: %s failed (%s)\n", step, reason);
  std::abort();
}

void require(bool ok, const char* step) {
  if (!ok) fail(step);
}

PkeyPtr makeKey() {
  PkeyPtr key(EVP_EC_gen(KEY_CURVE));
  require(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  require(extension != nullptr, value);
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  require(added, value);
}

// A certificate for the key with the given common name, not yet issued or signed.
X509Ptr makeUnsigned(const char* commonName, EVP_PKEY* key, long serial) {
  X509Ptr cert(X509_new());
  require(cert != nullptr, "X509_new");
  X509* c = cert.get();
  require(X509_set_version(c, X509_VERSION_3) == 1, "setting the version");
  require(ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1, "setting the serial");
  require(X509_gmtime_adj(X509_getm_notBefore(c), NOT_BEFORE_OFFSET) != nullptr, "notBefore");
  require(X509_gmtime_adj(X509_getm_notAfter(c), NOT_AFTER_OFFSET) != nullptr, "notAfter");
  require(X509_set_pubkey(c, key) == 1, "setting the public key");
  const auto* name = reinterpret_cast<const unsigned char*>(commonName);
  require(X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC, name, -1, -1,
                                     0) == 1,
          "setting the subject");
  return cert;
}

void sign(X509* cert, X509* issuer, EVP_PKEY* issuerKey) {
  require(X509_set_issuer_name(cert, X509_get_subject_name(issuer)) == 1, "setting the issuer");
  require(X509_sign(cert, issuerKey, EVP_sha256()) > 0, "signing");
}

X509Ptr makeAuthority(EVP_PKEY* key) {
  X509Ptr cert = makeUnsigned("kelv test CA", key, 1);
  addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  sign(cert.get(), cert.get(), key);
  return cert;
}

X509Ptr makeServer(const char* commonName, const char* altNames, long serial, EVP_PKEY* key,
                   X509* authority, EVP_PKEY* authorityKey) {
  X509Ptr cert = makeUnsigned(commonName, key, serial);
  X509* c = cert.get();
  addExtension(c, authority, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(c, authority, NID_key_usage, "critical,digitalSignature");
  addExtension(c, authority, NID_ext_key_usage, "serverAuth");
  addExtension(c, authority, NID_subject_key_identifier, "hash");
  addExtension(c, authority, NID_authority_key_identifier, "keyid:always");
  addExtension(c, authority, NID_subject_alt_name, altNames);
  sign(c, authority, authorityKey);
  return cert;
}

FilePtr openForWriting(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "w"));
  require(file != nullptr, path.c_str());
  return file;
}

void writeKey(const std::string& path, EVP_PKEY* key) {
  FilePtr file = openForWriting(path);
  require(PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          path.c_str());
  require(std::fclose(file.release()) == 0, path.c_str());
}

void writeCert(const std::string& path, X509* cert) {
  FilePtr file = openForWriting(path);
  require(PEM_write_X509(file.get(), cert) == 1, path.c_str());
  require(std::fclose(file.release()) == 0, path.c_str());
}

std::string makeTemporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp");
  pattern += "/kelv-certs-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  require(mkdtemp(buffer.data()) != nullptr, "creating the temporary directory");
  return buffer.data();
}

}  // namespace

TestCertificates::TestCertificates(TestCertificates&& other) noexcept { *this = std::move(other); }

TestCertificates& TestCertificates::operator=(TestCertificates&& other) noexcept {
  if (this != &other) {
    Remove();
    directory = std::exchange(other.directory, {});
    caCert = std::exchange(other.caCert, {});
    caKey = std::exchange(other.caKey, {});
    serverCert = std::exchange(other.serverCert, {});
    serverKey = std::exchange(other.serverKey, {});
    otherCert = std::exchange(other.otherCert, {});
    otherKey = std::exchange(other.otherKey, {});
  }
  return *this;
}

TestCertificates::~TestCertificates() { Remove(); }

void TestCertificates::Remove() {
  if (directory.empty()) return;
  // Best effort: a file that is already gone is no reason to keep the rest.
  for (const std::string* file :
       {&caCert, &caKey, &serverCert, &serverKey, &otherCert, &otherKey}) {
    if (!file->empty()) static_cast<void>(unlink(file->c_str()));
  }
  static_cast<void>(rmdir(directory.c_str()));
  directory.clear();
}

TestCertificates makeTestCertificates() {
  TestCertificates files;
  files.directory = makeTemporaryDirectory();
  files.caCert = files.directory + "/ca.pem";
  files.caKey = files.directory + "/ca.key";
  files.serverCert = files.directory + "/server.pem";
  files.serverKey = files.directory + "/server.key";
  files.otherCert = files.directory + "/other.pem";
  files.otherKey = files.directory + "/other.key";

  PkeyPtr caKey = makeKey();
  X509Ptr ca = makeAuthority(caKey.get());
  PkeyPtr serverKey = makeKey();
  X509Ptr server = makeServer("localhost", SERVER_NAMES, 2, serverKey.get(), ca.get(), caKey.get());
  PkeyPtr otherKey = makeKey();
  X509Ptr other =
      makeServer("other.invalid", OTHER_NAMES, 3, otherKey.get(), ca.get(), caKey.get());

  writeCert(files.caCert, ca.get());
  writeKey(files.caKey, caKey.get());
  writeCert(files.serverCert, server.get());
  writeKey(files.serverKey, serverKey.get());
  writeCert(files.otherCert, other.get());
  writeKey(files.otherKey, otherKey.get());
  return files;
}

}  // namespace kelv
