#include "lib/transport/tls_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace kelv {
namespace {

constexpr size_t TLS_ERROR_TEXT_SIZE = 256;

// OpenSSL takes int lengths; a larger request is simply served in part.
int ioLength(size_t length) { return static_cast<int>(std::min<size_t>(length, INT_MAX)); }

std::string errorString(unsigned long number) {
  char text[TLS_ERROR_TEXT_SIZE];
  ERR_error_string_n(number, text, sizeof text);
  return text;
}

// The most precise text at hand: the reason OpenSSL queued for this failure ("certificate
// verify failed"), the system's for a failed call underneath, and only then the bare number.
// Drains the thread's error queue so that no stale entry misleads a later SSL_get_error.
IoResult tlsFailure(unsigned long number, int savedErrno, IoFault fault) {
  const unsigned long queued = ERR_get_error();
  ERR_clear_error();
  IoResult result{Status(), IoStatus::OK, fault, fault == IoFault::SYSTEM ? savedErrno : 0};
  if (queued != 0) {
    result.status = Status(StatusCode::TLS_ERROR, errorString(queued));
    result.reason = ERR_reason_error_string(queued);
  } else if (number == SSL_ERROR_SYSCALL && savedErrno != 0) {
    result.status = Status(StatusCode::TLS_ERROR, errnoText(savedErrno));
  } else {
    result.status = Status(StatusCode::TLS_ERROR, errorString(number));
  }
  return result;
}

// OpenSSL reads SSL_get_error from the thread's queue first, so each call starts with an
// empty one; errno is cleared to tell a failed system call from a mere end of stream.
void beginCall() {
  ERR_clear_error();
  errno = 0;
}

// A want-read or want-write, or nothing when the error is a real one.
bool wantsIo(int sslError, IoStatus* wanted) {
  if (sslError == SSL_ERROR_WANT_READ) *wanted = IoStatus::NEED_READ;
  if (sslError == SSL_ERROR_WANT_WRITE) *wanted = IoStatus::NEED_WRITE;
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// The TCP stream ended (or broke) without the peer's close notification. OpenSSL 3 reports
// a bare end of stream as an SSL error with its own reason rather than as SSL_ERROR_SYSCALL.
// Reads the error queue, so it comes before the queue is drained.
bool streamEndedWithoutNotify(int sslError) {
  if (sslError == SSL_ERROR_SYSCALL) return true;
  return sslError == SSL_ERROR_SSL &&
         ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// A failed system call underneath, a stream that simply ended, or TLS itself.
IoFault faultOf(int sslError, int savedErrno) {
  if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0) return IoFault::SYSTEM;
  return streamEndedWithoutNotify(sslError) ? IoFault::TRUNCATED : IoFault::TLS;
}

bool isIpLiteral(const std::string& host) {
  in6_addr scratch;
  return inet_pton(AF_INET, host.c_str(), &scratch) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &scratch) == 1;
}

// Makes the handshake refuse a certificate that does not name the host.
bool requireHostMatch(SSL* ssl, const std::string& host) {
  if (isIpLiteral(host)) {
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  }
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(ssl, host.c_str()) == 1;
}

}  // namespace

TLSSocket::~TLSSocket() = default;

IoResult TLSSocket::Connect(const sockaddr_storage& address, std::string_view host,
                            SSL_CTX* context) {
  IoResult tcp = Socket::Connect(address);
  if (!tcp.status.ok()) return tcp;
  ERR_clear_error();
  ssl.reset(SSL_new(context));
  if (!ssl) return tlsFailure(0, 0, IoFault::TLS);
  const int attached = SSL_set_fd(ssl.get(), fd);
  if (attached != 1) return tlsFailure(static_cast<unsigned long>(attached), 0, IoFault::TLS);
  // Without read-ahead every record costs two read(2) calls, its header and then its body.
  // Safe with a watcher on the socket: a read phase goes on until OpenSSL wants more or the
  // response is complete, and nothing the server sends after a response is read before the
  // next one is due.
  SSL_set_read_ahead(ssl.get(), 1);
  const std::string name(host);
  const long named = SSL_set_tlsext_host_name(ssl.get(), name.c_str());
  if (named != 1) return tlsFailure(static_cast<unsigned long>(named), 0, IoFault::TLS);
  const bool verifies = (SSL_CTX_get_verify_mode(context) & SSL_VERIFY_PEER) != 0;
  if (verifies && !requireHostMatch(ssl.get(), name)) return tlsFailure(0, 0, IoFault::TLS);
  SSL_set_connect_state(ssl.get());
  return IoResult{};
}

IoResult TLSSocket::Write(const void* data, size_t length, size_t* written) {
  beginCall();
  const int n = SSL_write(ssl.get(), data, ioLength(length));
  const int savedErrno = errno;
  *written = n > 0 ? static_cast<size_t>(n) : 0;
  if (n > 0) return IoResult{};
  const int sslError = SSL_get_error(ssl.get(), n);
  IoResult result;
  if (wantsIo(sslError, &result.ioStatus)) return result;
  return Fail(sslError, savedErrno);
}

IoResult TLSSocket::Read(void* buffer, size_t capacity, size_t* count) {
  beginCall();
  const int n = SSL_read(ssl.get(), buffer, ioLength(capacity));
  const int savedErrno = errno;
  *count = n > 0 ? static_cast<size_t>(n) : 0;
  if (n > 0) return IoResult{};
  const bool closing = (SSL_get_shutdown(ssl.get()) & SSL_SENT_SHUTDOWN) != 0;
  const int sslError = SSL_get_error(ssl.get(), n);
  IoResult result;
  if (wantsIo(sslError, &result.ioStatus)) return result;
  result.ioStatus = IoStatus::END_OF_STREAM;
  if (sslError == SSL_ERROR_ZERO_RETURN) return result;
  // Once this side has said goodbye, a peer that just hangs up has finished the close.
  if (closing && streamEndedWithoutNotify(sslError)) {
    ERR_clear_error();
    return result;
  }
  return Fail(sslError, savedErrno);
}

IoResult TLSSocket::Close() {
  if (failed || !ssl) {
    // No shutdown after a fatal error: the stream is dropped, which is all that is left.
    static_cast<void>(Socket::Close());
    return IoResult{};
  }
  beginCall();
  const int r = SSL_shutdown(ssl.get());
  const int savedErrno = errno;
  if (r == 1) {
    // Both notifications are exchanged; how close(2) fares changes nothing for the caller.
    static_cast<void>(Socket::Close());
    return IoResult{};
  }
  size_t unused = 0;
  if (r == 0) return Read(nullptr, 0, &unused);
  const int sslError = SSL_get_error(ssl.get(), r);
  IoResult result;
  if (wantsIo(sslError, &result.ioStatus)) return result;
  return Fail(sslError, savedErrno);
}

IoResult TLSSocket::Fail(int sslError, int savedErrno) {
  failed = true;
  return tlsFailure(static_cast<unsigned long>(sslError), savedErrno,
                    faultOf(sslError, savedErrno));
}

}  // namespace kelv
