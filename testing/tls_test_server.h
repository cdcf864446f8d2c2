#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lib/util/owned.h"
#include "lib/util/unique_fd.h"

namespace kelv {

// The server end of one TLS connection at a time on a loopback port (127.0.0.1 or ::1, port
// chosen by the system). It runs on no thread of its own: every method takes one
// non-blocking step and reports whether it is done, so that a test interleaves the two ends
// of a connection in an order of its choosing and every exchange is deterministic.
class TlsTestServer {
 public:
  enum class Step { DONE, AGAIN, FAILED };

  // Loads the certificate and key and listens. Check Listening() before use; a failure has
  // been reported to the running test.
  TlsTestServer(const std::string& certFile, const std::string& keyFile, int family = AF_INET);
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  bool Listening() const { return listener.Valid(); }
  // The loopback address with the listening port, ready for a client to connect to.
  const sockaddr_storage& Address() const { return address; }
  uint16_t Port() const;

  // Takes a pending connection, if one is waiting, replacing any previous one.
  Step Accept();
  // Drives the handshake on.
  Step Handshake();
  // Appends what has arrived; DONE when at least one byte came, FAILED at the end of the
  // stream (then ClientClosedCleanly tells whether a close notification ended it).
  Step Read(std::string* into);
  bool ClientClosedCleanly() const;
  // Writes everything or nothing (TLS records are written whole).
  Step Write(std::string_view data);
  // Sends this side's close notification; DONE once it is on its way.
  Step SendCloseNotify();
  // Closes the TCP connection with no close notification.
  void Drop();

  int ConnectionFd() const { return connection.Get(); }

 private:
  using ContextPtr = std::unique_ptr<SSL_CTX, FnDeleter<SSL_CTX_free>>;
  using ConnectionPtr = std::unique_ptr<SSL, FnDeleter<SSL_free>>;

  bool LoadIdentity(const std::string& certFile, const std::string& keyFile);
  bool Listen(int family);
  Step Outcome(int result);

  ContextPtr context;
  UniqueFd listener;
  sockaddr_storage address = {};
  UniqueFd connection;
  ConnectionPtr ssl;
};

}  // namespace kelv
