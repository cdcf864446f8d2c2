#pragma once

#include <openssl/ssl.h>

#include <string>

#include "lib/transport/tls_socket.h"

namespace kelv {

enum class TlsContextResult { OK, CIPHER_LIST_REJECTED, CA_FILE_NOT_LOADED, NOT_CREATED };

struct TlsContextOptions {
  bool verifyPeer = false;  // check the chain; the TLS socket then also checks the host
  std::string caFile;       // PEM CA certificates trusted besides the default paths
  std::string cipherList;   // empty: the library's default
  bool verbose = false;     // print the handshake's progress through tlsInfoCallback
};

// The client context of one I/O thread, made whatever the scheme of the targets. On
// failure the reason is on standard error and `context` is left empty.
TlsContextResult makeTlsContext(const TlsContextOptions& options, SslCtxPtr& context);

// OpenSSL's info callback: one line per state change, alerts, and the cipher once the
// handshake is done, on standard output.
void tlsInfoCallback(const SSL* ssl, int where, int ret);

}  // namespace kelv
