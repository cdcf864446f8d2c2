#include "kelv/version.h"

#include <ev.h>
#include <http_parser.h>
#include <openssl/crypto.h>

#include "lib/engine/io_thread.h"
#include "lib/util/source_revision.h"

namespace kelv {

void printVersion(std::ostream& out) {
  out << "kelv " << VERSION_TEXT << '\n'
      << "  (git commit $Id: " << SOURCE_REVISION << " $)\n"
      << "libev " << ev_version_major() << '.' << ev_version_minor() << '\n'
      << "  Supported backends: " << backendNames(static_cast<int>(ev_supported_backends())) << '\n'
      << "  Recommended backends: " << backendNames(static_cast<int>(ev_recommended_backends()))
      << '\n'
      << "http_parser " << HTTP_PARSER_VERSION_MAJOR << '.' << HTTP_PARSER_VERSION_MINOR << '.'
      << HTTP_PARSER_VERSION_PATCH << '\n'
      << OpenSSL_version(OPENSSL_VERSION) << '\n'
      << std::flush;
}

}  // namespace kelv
