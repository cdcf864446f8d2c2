#include "kelv/tls_context.h"

#include <openssl/err.h>

#include <cstdio>
#include <utility>

namespace kelv {
namespace {

void printLine(const char* prefix, const char* text) {
  std::printf("%s%s\n", prefix, text);
  std::fflush(stdout);
}

void printHandshakeDone(const SSL* ssl) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  if (cipher == nullptr) return;
  printLine("  Protocol: ", SSL_CIPHER_get_version(cipher));
  int algorithmBits = 0;
  static_cast<void>(SSL_CIPHER_get_bits(cipher, &algorithmBits));  // the secret bits are not shown
  std::printf("  Cipher: %s (%d bits)\n", SSL_CIPHER_get_name(cipher), algorithmBits);
  std::fflush(stdout);
}

// Verification and trust; the chain is only checked with verifyPeer.
TlsContextResult setUpTrust(SSL_CTX* ctx, const TlsContextOptions& options) {
  // Without the system's default paths the user's CA file can still be enough.
  static_cast<void>(SSL_CTX_set_default_verify_paths(ctx));
  if (options.verifyPeer) SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (!options.caFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) != 1) {
    std::fprintf(stderr, "Could not load CA certificates from %s\n", options.caFile.c_str());
    return TlsContextResult::CA_FILE_NOT_LOADED;
  }
  return TlsContextResult::OK;
}

}  // namespace

TlsContextResult makeTlsContext(const TlsContextOptions& options, SslCtxPtr& context) {
  context.reset();
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    char reason[256];
    ERR_error_string_n(ERR_get_error(), reason, sizeof(reason));
    std::fprintf(stderr, "Could not create TLS context: %s\n", reason);
    return TlsContextResult::NOT_CREATED;
  }
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (TlsContextResult result = setUpTrust(ctx.get(), options); result != TlsContextResult::OK)
    return result;
  if (options.verbose) SSL_CTX_set_info_callback(ctx.get(), tlsInfoCallback);
  if (!options.cipherList.empty() &&
      SSL_CTX_set_cipher_list(ctx.get(), options.cipherList.c_str()) != 1) {
    std::fprintf(stderr, "Set Cipher list to %s failed\n", options.cipherList.c_str());
    return TlsContextResult::CIPHER_LIST_REJECTED;
  }
  context = std::move(ctx);
  return TlsContextResult::OK;
}

void tlsInfoCallback(const SSL* ssl, int where, int ret) {
  printLine("OpenSSL: ", SSL_state_string_long(ssl));
  if ((where & SSL_CB_ALERT) != 0) {
    printLine("  alert: ", SSL_alert_desc_string_long(ret));
  } else if (ret == 0) {
    printLine("  Error occurred", "");
  }
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) printHandshakeDone(ssl);
}

}  // namespace kelv
