#include "lib/targets/target_url.h"

#include <http_parser.h>
#include <sys/socket.h>

#include <limits>
#include <utility>

namespace kelv {
namespace {

constexpr uint16_t HTTP_DEFAULT_PORT = 80;
constexpr uint16_t HTTPS_DEFAULT_PORT = 443;
// The splitter keeps offsets and lengths in 16 bits: a longer URL would come back with
// wrong fields, so it is refused instead.
constexpr size_t MAX_URL_LENGTH = std::numeric_limits<uint16_t>::max();

// A refused URL is echoed on standard error: control bytes are shown as \xNN, so that the
// message stays on one line and cannot drive the terminal.
std::string printable(std::string_view text) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const unsigned char byte : text) {
    if (byte >= 0x20 && byte != 0x7f) {
      shown += static_cast<char>(byte);
      continue;
    }
    shown += "\\x";
    shown += HEX_DIGITS[byte >> 4];
    shown += HEX_DIGITS[byte & 0x0f];
  }
  return shown;
}

bool hasField(const http_parser_url& parts, http_parser_url_fields field) {
  return (parts.field_set & (1u << field)) != 0;
}

std::string_view fieldOf(std::string_view url, const http_parser_url& parts,
                         http_parser_url_fields field) {
  if (!hasField(parts, field)) return {};
  return url.substr(parts.field_data[field].off, parts.field_data[field].len);
}

bool splitUrl(std::string_view url, http_parser_url* parts) {
  if (url.size() > MAX_URL_LENGTH) return false;
  http_parser_url_init(parts);
  if (http_parser_parse_url(url.data(), url.size(), 0, parts) != 0) return false;
  return hasField(*parts, UF_SCHEMA) && hasField(*parts, UF_HOST);
}

// A colon can only be in an IPv6 literal, whose brackets the splitter has removed.
std::string hostHeaderOf(const std::string& host, uint16_t port, bool isSsl) {
  const bool defaultPort = port == (isSsl ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT);
  const bool ipv6 = host.find(':') != std::string::npos;
  std::string name = ipv6 ? "[" + host + "]" : host;
  return defaultPort ? name : name + ":" + std::to_string(port);
}

}  // namespace

Status TargetUrl::Parse(std::string_view url) {
  http_parser_url parts;
  if (!splitUrl(url, &parts)) return Status(StatusCode::INVALID_URL, printable(url));
  const std::string_view scheme = fieldOf(url, parts, UF_SCHEMA);
  if (scheme == "http") {
    isSsl = false;
  } else if (scheme == "https") {
    isSsl = true;
  } else {
    return Status(StatusCode::INVALID_URL, "Invalid scheme");
  }
  host = std::string(fieldOf(url, parts, UF_HOST));
  port = hasField(parts, UF_PORT) ? parts.port : (isSsl ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT);
  path = hasField(parts, UF_PATH) ? std::string(fieldOf(url, parts, UF_PATH)) : "/";
  requestTarget = path;
  query = std::string(fieldOf(url, parts, UF_QUERY));
  if (hasField(parts, UF_QUERY)) requestTarget.append("?").append(query);
  if (hasField(parts, UF_FRAGMENT)) {
    requestTarget.append("#").append(fieldOf(url, parts, UF_FRAGMENT));
  }
  hostHeader = hostHeaderOf(host, port, isSsl);
  // A host that does not resolve is not the URL's fault: its connections fail later, when
  // they find no address, and the run reports them as socket errors with this reason.
  Status lookup = AddressList::Lookup(host, AF_UNSPEC, &addresses);
  lookupError = std::move(lookup.message);
  return Status();
}

Status TargetUrl::Add(std::string_view url) {
  auto target = std::make_unique<TargetUrl>();
  Status status = target->Parse(url);
  if (status.ok()) MutableList().push_back(std::move(target));
  return status;
}

const TargetUrl* TargetUrl::Next(RandomState& random) {
  const auto& list = List();
  if (list.empty()) return nullptr;
  if (list.size() == 1) return list.front().get();
  const int32_t last = static_cast<int32_t>(list.size() - 1);
  return list[static_cast<size_t>(randomInRange(random, 0, last))].get();
}

bool TargetUrl::SameServer(const TargetUrl& other, int threadIndex) const {
  return AddressList::SameAddress(addresses.Choose(port, threadIndex),
                                  other.addresses.Choose(other.port, threadIndex));
}

std::vector<std::unique_ptr<TargetUrl>>& TargetUrl::MutableList() {
  static std::vector<std::unique_ptr<TargetUrl>> list;
  return list;
}

const std::vector<std::unique_ptr<TargetUrl>>& TargetUrl::List() { return MutableList(); }

void TargetUrl::ClearListForTest() { MutableList().clear(); }

}  // namespace kelv
