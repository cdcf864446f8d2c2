#pragma once

#include <string>

namespace kelv {

// A throw-away certificate authority and two server certificates signed by it, written as
// PEM files into a fresh temporary directory (under $TMPDIR, else /tmp). Keys are ECDSA
// P-256; certificates are valid from a day ago for thirty days. Generated with the OpenSSL
// library alone, so no openssl program is needed.
//
//   serverCert / serverKey: subjectAltName IP 127.0.0.1, IP ::1 and DNS localhost, so a
//     client that verifies the peer accepts it for any of these three hosts.
//   otherCert / otherKey:   subjectAltName DNS other.invalid only: a valid chain that
//     matches none of the loopback names, for tests of a refused host name.
//   caCert (caKey):         the issuer of both; load caCert as the trust store
//     (SSL_CTX_load_verify_locations, kelv -F, nginx ssl_trusted_certificate).
//
// The object owns the directory: it is removed with the files when the object is destroyed,
// so keep it alive for as long as a server or client reads them. Move-only.
class TestCertificates {
 public:
  TestCertificates() = default;
  TestCertificates(TestCertificates&& other) noexcept;
  TestCertificates& operator=(TestCertificates&& other) noexcept;
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;
  ~TestCertificates();

  std::string directory;
  std::string caCert;
  std::string caKey;
  std::string serverCert;
  std::string serverKey;
  std::string otherCert;
  std::string otherKey;

 private:
  void Remove();
};

// Creates the directory and the files. A failure (no temporary directory, a full disk, an
// OpenSSL failure) prints one line naming the step to standard error and aborts: no test
// that needs the files can go on without them.
TestCertificates makeTestCertificates();

}  // namespace kelv
