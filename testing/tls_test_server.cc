#include "testing/tls_test_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>

#include <cerrno>

#include "lib/util/status.h"
#include "testing/loopback_sockets.h"

namespace kelv {
namespace {

constexpr size_t READ_CHUNK = 4096;
constexpr size_t ERROR_TEXT_SIZE = 256;

std::string openSslReason() {
  char text[ERROR_TEXT_SIZE];
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

TlsTestServer::TlsTestServer(const std::string& certFile, const std::string& keyFile, int family) {
  if (LoadIdentity(certFile, keyFile)) static_cast<void>(Listen(family));
}

bool TlsTestServer::LoadIdentity(const std::string& certFile, const std::string& keyFile) {
  context.reset(SSL_CTX_new(TLS_server_method()));
  const bool loaded =
      context && SSL_CTX_use_certificate_chain_file(context.get(), certFile.c_str()) == 1 &&
      SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  if (!loaded) ADD_FAILURE() << "TLS test server identity " << certFile << ": " << openSslReason();
  return loaded;
}

bool TlsTestServer::Listen(int family) {
  listener = listenOnLoopback(family, &address);
  if (!listener.Valid()) ADD_FAILURE() << "TLS test server cannot listen: " << errnoText(errno);
  return listener.Valid();
}

uint16_t TlsTestServer::Port() const {
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

TlsTestServer::Step TlsTestServer::Accept() {
  const int accepted = accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Step::AGAIN : Step::FAILED;
  ssl.reset();
  connection.Reset(accepted);
  ssl.reset(SSL_new(context.get()));
  if (!ssl || SSL_set_fd(ssl.get(), accepted) != 1) return Step::FAILED;
  SSL_set_accept_state(ssl.get());
  return Step::DONE;
}

TlsTestServer::Step TlsTestServer::Handshake() {
  ERR_clear_error();
  const int rc = SSL_do_handshake(ssl.get());
  return rc == 1 ? Step::DONE : Outcome(rc);
}

TlsTestServer::Step TlsTestServer::Read(std::string* into) {
  char chunk[READ_CHUNK];
  ERR_clear_error();
  const int n = SSL_read(ssl.get(), chunk, sizeof chunk);
  if (n <= 0) return Outcome(n);
  into->append(chunk, static_cast<size_t>(n));
  return Step::DONE;
}

bool TlsTestServer::ClientClosedCleanly() const {
  return (SSL_get_shutdown(ssl.get()) & SSL_RECEIVED_SHUTDOWN) != 0;
}

TlsTestServer::Step TlsTestServer::Write(std::string_view data) {
  ERR_clear_error();
  const int n = SSL_write(ssl.get(), data.data(), static_cast<int>(data.size()));
  return n > 0 ? Step::DONE : Outcome(n);
}

TlsTestServer::Step TlsTestServer::SendCloseNotify() {
  ERR_clear_error();
  const int rc = SSL_shutdown(ssl.get());
  return rc >= 0 ? Step::DONE : Outcome(rc);
}

void TlsTestServer::Drop() {
  ssl.reset();
  connection.Reset();
}

TlsTestServer::Step TlsTestServer::Outcome(int result) {
  const int error = SSL_get_error(ssl.get(), result);
  ERR_clear_error();
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Step::AGAIN;
  return Step::FAILED;
}

}  // namespace kelv
