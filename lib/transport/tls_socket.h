#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string_view>

#include "lib/transport/socket.h"
#include "lib/util/owned.h"

namespace kelv {

using SslPtr = std::unique_ptr<SSL, FnDeleter<SSL_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, FnDeleter<SSL_CTX_free>>;

// A TLS client connection over a non-blocking Socket. The handshake runs inside the first
// Write and the reads after it; want-read and want-write become NEED_READ and NEED_WRITE.
class TLSSocket : public Socket {
 public:
  TLSSocket() = default;
  ~TLSSocket() override;

  // The TCP connect, then an SSL object in client mode with the host as server name.
  // When the context verifies peers, the certificate must also match the host (a DNS
  // name, or an IP address for an IP literal, given without brackets).
  IoResult Connect(const sockaddr_storage& address, std::string_view host, SSL_CTX* context);

  IoResult Write(const void* data, size_t length, size_t* written) override;
  IoResult Read(void* buffer, size_t capacity, size_t* count) override;
  IoResult Close() override;

 private:
  // Marks the connection as failed and describes the failure.
  IoResult Fail(int sslError, int savedErrno);

  SslPtr ssl;
  // Set after a fatal TLS error: OpenSSL allows no shutdown on such a connection.
  bool failed = false;
};

}  // namespace kelv
