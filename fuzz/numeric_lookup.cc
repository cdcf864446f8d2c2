// Fuzzed input names arbitrary hosts, and parsing a target URL resolves its host: a real
// look-up could send queries off this machine. The fuzz programs replace the C library's
// getaddrinfo with one that resolves address literals only; that still runs the code that
// handles a found address and a failed look-up.

#include <dlfcn.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** results) {
  using LookupFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<LookupFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (real == nullptr) return EAI_FAIL;
  addrinfo numericOnly = hints != nullptr ? *hints : addrinfo{};
  numericOnly.ai_flags |= AI_NUMERICHOST;
  return real(node, service, &numericOnly, results);
}

namespace {

// Stops a fuzz program at start-up whose look-ups would still go out, for example because
// the linker took another getaddrinfo.
[[maybe_unused]] const bool numericOnlyChecked = [] {
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", nullptr, nullptr, &found) != EAI_NONAME) {
    std::fputs("getaddrinfo is not the numeric-only one: look-ups could leave the machine\n",
               stderr);
    std::abort();
  }
  return true;
}();

}  // namespace
