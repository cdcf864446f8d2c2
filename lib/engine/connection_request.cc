// Composing the request bytes of a connection.

#include <sys/types.h>

#include <charconv>

#include "lib/engine/connection.h"
#include "lib/engine/io_thread.h"
#include "lib/signing/oauth.h"
#include "lib/targets/target_url.h"
#include "lib/util/verbose.h"

namespace kelv {
namespace {

constexpr const char* CRLF = "\r\n";

void appendDecimal(std::string& text, size_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.append(digits, end);
}

}  // namespace

// Without OAuth the bytes depend only on the target and the thread's settings, so they are
// composed once per change of target and resent as they are; each OAuth signature carries a
// fresh timestamp and nonce, so signed requests are composed every time.
void Connection::BuildRequest() {
  const IOThread& t = *thread;
  if (!needsRebuild && t.oauth == nullptr) {
    sendPos = 0;
    return;
  }
  requestText.clear();
  requestText.append(t.method).append(" ").append(url->requestTarget).append(" HTTP/1.1\r\n");
  if ((t.headerFlags & HEADER_USER_AGENT) == 0) requestText.append("User-Agent: kelv\r\n");
  if ((t.headerFlags & HEADER_HOST) == 0) {
    requestText.append("Host: ").append(url->hostHeader).append(CRLF);
  }
  if (!t.sendData.empty()) {
    if ((t.headerFlags & HEADER_CONTENT_TYPE) == 0) {
      requestText.append("Content-Type: text/plain\r\n");
    }
    if ((t.headerFlags & HEADER_CONTENT_LENGTH) == 0) {
      requestText.append("Content-Length: ");
      appendDecimal(requestText, t.sendData.size());
      requestText.append(CRLF);
    }
  }
  if (t.oauth != nullptr) {
    requestText.append(oauthAuthorizationHeader(thread->randomState, *url, t.method, *t.oauth))
        .append(CRLF);
  }
  if (t.noKeepAlive != 0 && (t.headerFlags & HEADER_CONNECTION) == 0) {
    requestText.append("Connection: close\r\n");
  }
  if (t.headers != nullptr) {
    for (const std::string& line : *t.headers) requestText.append(line).append(CRLF);
  }
  verboseLine(t.verbose, requestText.c_str());
  requestText.append(CRLF).append(t.sendData);
  verbosef(t.verbose, "Total send is %zi bytes\n", static_cast<ssize_t>(requestText.size()));
  // Swapping keeps both buffers' capacity for the next composition; nothing is copied.
  sendBuf.swap(requestText);
  sendPos = 0;
  needsRebuild = false;
}

}  // namespace kelv
