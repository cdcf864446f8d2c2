#include "lib/hoststats/net_stats.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "lib/hoststats/proc_files.h"

namespace kelv {
namespace {

constexpr std::string_view LOOPBACK = "lo";
// Receive bytes are the first counter of a line, transmit bytes the ninth.
constexpr int SENT_INDEX = 8;

std::string_view trimmed(std::string_view text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

bool takeInterfaceLine(std::string_view line, InterfaceBytes& bytes) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;  // the two heading lines
  bytes.name = std::string(trimmed(line.substr(0, colon)));
  std::string_view counters = line.substr(colon + 1);
  bytes.received = takeCount(counters);
  for (int i = 1; i < SENT_INDEX; ++i) {
    if (takeCount(counters) < 0) return false;
  }
  bytes.sent = takeCount(counters);
  return bytes.received >= 0 && bytes.sent >= 0 && !bytes.name.empty();
}

const InterfaceBytes* findInterface(const std::vector<InterfaceBytes>& all,
                                    const std::string& name) {
  for (const InterfaceBytes& i : all) {
    if (i.name == name) return &i;
  }
  return nullptr;
}

// What a counter grew by; after a reset (or a new interface) all it holds.
double growth(const InterfaceBytes* before, int64_t InterfaceBytes::*counter,
              const InterfaceBytes& after) {
  const int64_t now = after.*counter;
  if (before == nullptr || before->*counter > now) return static_cast<double>(now);
  return static_cast<double>(now - before->*counter);
}

// Rounded, and never beyond what the reply's integer can hold.
int64_t wholeRate(double bytes, double seconds) {
  constexpr double LARGEST = 9.0e18;
  return std::llround(std::min(bytes / seconds, LARGEST));
}

}  // namespace

std::vector<InterfaceBytes> parseNetDev(std::string_view text) {
  std::vector<InterfaceBytes> all;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    InterfaceBytes bytes;
    if (takeInterfaceLine(text.substr(0, end), bytes) && bytes.name != LOOPBACK) {
      all.push_back(std::move(bytes));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return all;
}

NetRates netRates(const std::vector<InterfaceBytes>& before,
                  const std::vector<InterfaceBytes>& after, int64_t elapsedTicks,
                  int64_t ticksPerSecond) {
  if (elapsedTicks <= 0 || ticksPerSecond <= 0) return NetRates{};
  double received = 0;
  double sent = 0;
  for (const InterfaceBytes& now : after) {
    const InterfaceBytes* then = findInterface(before, now.name);
    received += growth(then, &InterfaceBytes::received, now);
    sent += growth(then, &InterfaceBytes::sent, now);
  }
  const double seconds = static_cast<double>(elapsedTicks) / static_cast<double>(ticksPerSecond);
  return NetRates{wholeRate(received, seconds), wholeRate(sent, seconds)};
}

}  // namespace kelv
