#include "lib/hoststats/host_stats.h"

#include <fcntl.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr const char* MEMINFO_PATH = "/proc/meminfo";
// The fields used come first in the file; the whole file is well below this on any host.
constexpr size_t MEMINFO_BUFFER_SIZE = 8192;

// The value of a "Name:   12345 kB" line, 0 when it holds no number.
int64_t memInfoValue(std::string_view rest) {
  const size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return 0;
  int64_t value = 0;
  const auto result = std::from_chars(rest.data() + start, rest.data() + rest.size(), value);
  return result.ec == std::errc() ? value : 0;
}

void takeMemInfoLine(std::string_view line, MemInfo& info) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  int64_t* field = name == "MemTotal"   ? &info.totalKiB
                   : name == "MemFree"  ? &info.freeKiB
                   : name == "Buffers"  ? &info.buffersKiB
                   : name == "Inactive" ? &info.inactiveKiB
                                        : nullptr;
  if (field != nullptr) *field = memInfoValue(line.substr(colon + 1));
}

// Reads as much of the file as fits; what cannot be read is left out (its fields count as 0).
size_t readMemInfo(char* buffer, size_t size) {
  UniqueFd fd(::open(MEMINFO_PATH, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return 0;
  size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::read(fd.Get(), buffer + filled, size - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  return filled;
}

}  // namespace

int cpuSamplingCheck() { return 0; }

int processorCount() {
  const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  // A failed query must not leave the caller with no threads at all.
  return count > 0 ? static_cast<int>(count) : 1;
}

CpuReading readCpuTimes() {
  tms times = {};
  const clock_t ticks = ::times(&times);
  if (ticks == static_cast<clock_t>(-1)) return CpuReading{};
  return CpuReading{true, static_cast<int64_t>(ticks),
                    static_cast<int64_t>(times.tms_utime) + static_cast<int64_t>(times.tms_stime)};
}

void cpuSampleStartAt(CpuSample& usage, const CpuReading& now) {
  if (!now.ok) return;
  usage.ticks = now.ticks;
  usage.cpuTicks = now.cpuTicks;
}

double cpuSampleBusyAt(CpuSample& usage, const CpuReading& now) {
  if (!now.ok) return 0.0;
  const int64_t elapsed = now.ticks - usage.ticks;
  const int64_t busy = now.cpuTicks - usage.cpuTicks;
  cpuSampleStartAt(usage, now);
  return busyFraction(elapsed, busy);
}

double busyFraction(int64_t elapsedTicks, int64_t busyTicks) {
  const int64_t total = elapsedTicks + busyTicks;
  if (total == 0) return 0.0;
  return static_cast<double>(busyTicks) / static_cast<double>(total);
}

void cpuSampleStart(CpuSample& usage) { cpuSampleStartAt(usage, readCpuTimes()); }

double cpuSampleBusy(CpuSample& usage) { return cpuSampleBusyAt(usage, readCpuTimes()); }

MemInfo parseMemInfo(std::string_view text) {
  MemInfo info;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    takeMemInfoLine(text.substr(0, end), info);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return info;
}

double memoryFraction(const MemInfo& info) {
  if (info.totalKiB <= 0 || info.freeKiB <= 0) return 0.0;
  // In double precision so that absurd field values cannot overflow the subtraction.
  const double total = static_cast<double>(info.totalKiB);
  const double used = total - static_cast<double>(info.freeKiB) -
                      static_cast<double>(info.buffersKiB) - static_cast<double>(info.inactiveKiB);
  return used / total;
}

double memoryUseFraction() {
  char buffer[MEMINFO_BUFFER_SIZE];
  const size_t length = readMemInfo(buffer, sizeof buffer);
  return memoryFraction(parseMemInfo(std::string_view(buffer, length)));
}

}  // namespace kelv
