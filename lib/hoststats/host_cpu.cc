#include "lib/hoststats/host_cpu.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "lib/hoststats/proc_files.h"

namespace kelv {
namespace {

// user nice system idle iowait irq softirq steal; guest time is already counted in user.
constexpr int COUNTED_FIELDS = 8;
constexpr int IDLE_FIELD = 3;
constexpr int IOWAIT_FIELD = 4;
constexpr std::string_view CPU_PREFIX = "cpu";

// Sums that cannot overflow, whatever the file holds.
void addCapped(int64_t& sum, int64_t value) {
  if (__builtin_add_overflow(sum, value, &sum)) sum = std::numeric_limits<int64_t>::max();
}

CpuTimes parseCpuFields(std::string_view fields) {
  CpuTimes times;
  for (int i = 0; i < COUNTED_FIELDS; ++i) {
    const int64_t value = takeCount(fields);
    if (value < 0) break;  // an older kernel has fewer fields
    addCapped(times.total, value);
    if (i == IDLE_FIELD || i == IOWAIT_FIELD) addCapped(times.idle, value);
  }
  return times;
}

// One "cpu..." line: the sum line when the name has no number, else the processor's.
void takeCpuLine(std::string_view line, HostCpuTimes& host) {
  const size_t nameEnd = line.find(' ');
  if (nameEnd == std::string_view::npos) return;
  const std::string_view number = line.substr(CPU_PREFIX.size(), nameEnd - CPU_PREFIX.size());
  const CpuTimes times = parseCpuFields(line.substr(nameEnd));
  if (number.empty()) {
    host.all = times;
    return;
  }
  int n = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), n);
  if (result.ec == std::errc() && result.ptr == number.data() + number.size()) {
    host.processors.push_back({n, times});
  }
}

const ProcessorTimes* findProcessor(const HostCpuTimes& host, int number) {
  for (const ProcessorTimes& p : host.processors) {
    if (p.number == number) return &p;
  }
  return nullptr;
}

}  // namespace

HostCpuTimes parseProcStat(std::string_view text) {
  HostCpuTimes host;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.substr(0, CPU_PREFIX.size()) == CPU_PREFIX) takeCpuLine(line, host);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return host;
}

double cpuTimesBusy(const CpuTimes& before, const CpuTimes& after) {
  const int64_t total = after.total - before.total;
  if (total <= 0) return 0.0;
  const int64_t idle = after.idle - before.idle;
  const double busy = 1.0 - static_cast<double>(idle) / static_cast<double>(total);
  return std::clamp(busy, 0.0, 1.0);
}

HostBusy hostBusy(const HostCpuTimes& before, const HostCpuTimes& after) {
  HostBusy busy;
  busy.all = cpuTimesBusy(before.all, after.all);
  for (const ProcessorTimes& now : after.processors) {
    if (const ProcessorTimes* then = findProcessor(before, now.number)) {
      busy.busiest = std::max(busy.busiest, cpuTimesBusy(then->times, now.times));
    }
  }
  return busy;
}

}  // namespace kelv
