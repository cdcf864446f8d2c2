#include "lib/reporting/report.h"

#include <array>
#include <cmath>
#include <vector>

#include "absl/strings/str_format.h"
#include "lib/util/clock.h"

namespace kelv {
namespace {

constexpr double BYTES_PER_MEGABYTE = 1048576.0;
// After the monitor's name ("Remote", "Remote 2"): room for " process CPU average:" and a blank.
constexpr size_t REMOTE_HOST_LABEL_WIDTH = 22;

void appendCounts(std::string& text, const Results& r) {
  absl::StrAppendFormat(&text, "Duration:             %.3f seconds\n", r.elapsedSeconds);
  absl::StrAppendFormat(&text, "Attempted requests:   %i\n", r.attempted);
  absl::StrAppendFormat(&text, "Successful requests:  %i\n", r.successful);
  // Every status outside 200 to 299, whatever the label says.
  absl::StrAppendFormat(&text, "Non-200 results:      %i\n", r.unsuccessful);
  absl::StrAppendFormat(&text, "Connections opened:   %i\n", r.connectionsOpened);
  absl::StrAppendFormat(&text, "Socket errors:        %i\n", r.socketErrors);
}

void appendLatencies(std::string& text, const Results& r) {
  absl::StrAppendFormat(&text, "Throughput:           %.3f requests/second\n", r.throughput);
  absl::StrAppendFormat(&text, "Average latency:      %.3f milliseconds\n", r.averageLatency);
  absl::StrAppendFormat(&text, "Minimum latency:      %.3f milliseconds\n", r.latencyPercent[0]);
  absl::StrAppendFormat(&text, "Maximum latency:      %.3f milliseconds\n", r.latencyPercent[100]);
  absl::StrAppendFormat(&text, "Latency std. dev:     %.3f milliseconds\n", r.latencyStdDev);
  absl::StrAppendFormat(&text, "50%% latency:          %.3f milliseconds\n", r.latencyPercent[50]);
  absl::StrAppendFormat(&text, "90%% latency:          %.3f milliseconds\n", r.latencyPercent[90]);
  absl::StrAppendFormat(&text, "98%% latency:          %.3f milliseconds\n", r.latencyPercent[98]);
  absl::StrAppendFormat(&text, "99%% latency:          %.3f milliseconds\n", r.latencyPercent[99]);
}

void appendRemote(std::string& text, const std::vector<double>& samples, double memory,
                  const absl::FormatSpec<double>& average, const absl::FormatSpec<double>& max,
                  const absl::FormatSpec<double>& memoryLine) {
  const CpuSeriesFigures cpu = cpuSeriesFigures(samples);
  if (!cpu.present) return;
  absl::StrAppendFormat(&text, average, cpu.averagePercent);
  absl::StrAppendFormat(&text, max, cpu.maxPercent);
  absl::StrAppendFormat(&text, memoryLine, memory * 100.0);
}

// The lines of a monitor's host and process figures, each block only when it has samples;
// aligned among themselves, on the column that fits the longest of them.
void appendRemoteHost(std::string& text, const RemoteHostFigures& remote, const std::string& name) {
  const int width = static_cast<int>(name.size() + REMOTE_HOST_LABEL_WIDTH);
  const auto line = [&](const char* label, double percent) {
    absl::StrAppendFormat(&text, "%-*s%.0f%%\n", width, name + " " + label, percent);
  };
  const CpuSeriesFigures host = cpuSeriesFigures(remote.hostCpuSamples);
  if (host.present) {
    line("host CPU average:", host.averagePercent);
    line("host CPU max:", host.maxPercent);
    line("busiest CPU max:", cpuSeriesFigures(remote.busiestCpuSamples).maxPercent);
  }
  const CpuSeriesFigures process = cpuSeriesFigures(remote.processCpuSamples);
  if (!process.present) return;
  line("process CPU average:", process.averagePercent);
  line("process CPU max:", process.maxPercent);
  absl::StrAppendFormat(&text, "%-*s%.2f MiB\n", width,
                        name + " process memory:", remote.processMemoryMiB);
}

void appendHost(std::string& text, const HostFigures& host) {
  const CpuSeriesFigures client = cpuSeriesFigures(host.clientCpuSamples);
  if (client.present) {
    absl::StrAppendFormat(&text, "Client CPU average:   %.0f%%\n", client.averagePercent);
    absl::StrAppendFormat(&text, "Client CPU max:       %.0f%%\n", client.maxPercent);
  }
  absl::StrAppendFormat(&text, "Client memory usage:  %.0f%%\n", host.clientMemory * 100.0);
  appendRemote(text, host.remoteCpuSamples1, host.remoteMemory1, "Remote CPU average:   %.0f%%\n",
               "Remote CPU max:       %.0f%%\n", "Remote memory usage:  %.0f%%\n");
  appendRemoteHost(text, host.remoteHost1, "Remote");
  appendRemote(text, host.remoteCpuSamples2, host.remoteMemory2, "Remote 2 CPU average:   %.0f%%\n",
               "Remote 2 CPU max:       %.0f%%\n", "Remote 2 memory usage:  %.0f%%\n");
  appendRemoteHost(text, host.remoteHost2, "Remote 2");
}

void appendBytes(std::string& text, const Results& r) {
  absl::StrAppendFormat(&text, "Total bytes sent:     %.2f megabytes\n",
                        static_cast<double>(r.bytesWritten) / BYTES_PER_MEGABYTE);
  absl::StrAppendFormat(&text, "Total bytes received: %.2f megabytes\n",
                        static_cast<double>(r.bytesRead) / BYTES_PER_MEGABYTE);
  absl::StrAppendFormat(&text, "Send bandwidth:       %.2f megabits / second\n", r.sendBandwidth);
  absl::StrAppendFormat(&text, "Receive bandwidth:    %.2f megabits / second\n",
                        r.receiveBandwidth);
}

// After the last line, and only when there is something to explain: the socket errors by
// kind, and every status code once any response was not 2xx.
void appendBreakdowns(std::string& text, const Results& r) {
  if (r.socketErrors > 0) {
    text += "\nErrors:\n";
    for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
      if (r.errors[kind] == 0) continue;
      absl::StrAppendFormat(&text, "  %s: %i\n", errorKindName(static_cast<ErrorKind>(kind)),
                            r.errors[kind]);
    }
  }
  if (r.unsuccessful > 0) {
    text += "\nStatus codes:\n";
    for (size_t code = 0; code < STATUS_CODE_LIMIT; ++code) {
      if (r.statusCodes[code] != 0)
        absl::StrAppendFormat(&text, "  %i: %i\n", code, r.statusCodes[code]);
    }
  }
}

// On a send schedule, after everything else: the service time, the accounting of the
// schedule and how closely the sends kept to it.
void appendSchedule(std::string& text, const ScheduleFigures& figures,
                    const LatencyHistogram& latencies) {
  const RateFigures& rate = figures.rate;
  const LatencyHistogram& service = figures.serviceTimes;
  const LatencyHistogram& lags = figures.sendLags;
  constexpr std::array<double, 4> PERCENTS = {50, 90, 99, 100};
  const std::vector<int64_t> s = service.ValuesAtPercentiles(PERCENTS);
  text += "\nService time (from the actual send):\n";
  absl::StrAppendFormat(&text, "Average service time: %.3f milliseconds\n",
                        millisFromNanos(service.TruncatedMean()));
  absl::StrAppendFormat(&text, "50%% service time:     %.3f milliseconds\n", millisFromNanos(s[0]));
  absl::StrAppendFormat(&text, "90%% service time:     %.3f milliseconds\n", millisFromNanos(s[1]));
  absl::StrAppendFormat(&text, "99%% service time:     %.3f milliseconds\n", millisFromNanos(s[2]));
  absl::StrAppendFormat(&text, "Maximum service time: %.3f milliseconds\n", millisFromNanos(s[3]));
  text += "\n";
  absl::StrAppendFormat(&text, "Target rate:          %.3f requests/second\n", rate.target);
  absl::StrAppendFormat(&text, "Achieved rate:        %.3f requests/second\n", rate.achieved);
  absl::StrAppendFormat(&text, "Late sends:           %i (largest lag %.3f milliseconds)\n",
                        rate.lateSends, rate.maxLagMillis);
  absl::StrAppendFormat(&text, "Unsent at end:        %i\n", rate.unsentAtEnd);
  absl::StrAppendFormat(&text, "In flight at end:     %i\n", rate.inFlightAtEnd);
  absl::StrAppendFormat(&text, "Requests due:         %i\n", rate.due);
  const std::vector<int64_t> l = lags.ValuesAtPercentiles(PERCENTS);
  absl::StrAppendFormat(&text,
                        "Send lag:             50%% %.3f, 99%% %.3f, max %.3f milliseconds\n",
                        millisFromNanos(l[0]), millisFromNanos(l[2]), millisFromNanos(l[3]));
  // Beyond the 99 % of the latency lines: where a rare stall shows.
  absl::StrAppendFormat(&text, "99.9%% latency:        %.3f milliseconds\n",
                        millisFromNanos(latencies.ValueAtPercentile(99.9)));
}

}  // namespace

std::string formatTextReport(const Results& r, const HostFigures& host) {
  std::string text;
  appendCounts(text, r);
  text += "\n";
  appendLatencies(text, r);
  text += "\n";
  appendHost(text, host);
  text += "\n";
  appendBytes(text, r);
  appendBreakdowns(text, r);
  return text;
}

std::string formatCsvLine(const Results& r, const HostFigures& host, const std::string& name,
                          int threads, int connections) {
  const auto& p = r.latencyPercent;
  return absl::StrFormat(
      "%s,%.3f,%.3f,%i,%i,%.3f,%i,%i,%i,%i,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.0f,%.0f,%.0f,"
      "%.0f,%.0f,%.0f,%.2f,%.2f\n",
      name, r.throughput, r.averageLatency, threads, connections, r.elapsedSeconds, r.attempted,
      r.successful, r.socketErrors, r.connectionsOpened, p[0], p[100], p[50], p[90], p[98], p[99],
      r.latencyStdDev, cpuSeriesFigures(host.clientCpuSamples).averagePercent,
      cpuSeriesFigures(host.remoteCpuSamples1).averagePercent,
      cpuSeriesFigures(host.remoteCpuSamples2).averagePercent, host.clientMemory * 100.0,
      host.remoteMemory1 * 100.0, host.remoteMemory2 * 100.0, r.sendBandwidth, r.receiveBandwidth);
}

// Each connection carries one request per service time; the suggestion leaves a quarter
// more room.
std::string capacityWarningLine(double rate, int connections, int64_t meanServiceNanos) {
  const double needed = rate * secondsFromNanos(meanServiceNanos);
  if (needed <= connections) return {};
  return absl::StrFormat(
      "kelv: %d connections carry about %.0f requests/second at the service time seen so far "
      "(%.3f milliseconds), below the target of %.0f; try -c %.0f",
      connections, connections / secondsFromNanos(meanServiceNanos),
      millisFromNanos(meanServiceNanos), rate, std::ceil(needed * 1.25));
}

void printTextReport(std::ostream& out, const Measurement& measurement) {
  std::string text = formatTextReport(figuresOf(measurement), measurement.host);
  if (measurement.schedule) appendSchedule(text, *measurement.schedule, measurement.latencies);
  out << text;
}

void printCsvLine(std::ostream& out, const Measurement& measurement) {
  const RunSettings& settings = measurement.settings;
  out << formatCsvLine(figuresOf(measurement), measurement.host, settings.name, settings.threads,
                       settings.connections);
}

void printCsvHeader(std::ostream& out) {
  out << "Name,Throughput,Avg. Latency,Threads,Connections,Duration,Completed,Successful,Errors,"
         "Sockets,Min. latency,Max. latency,50% Latency,90% Latency,98% Latency,99% Latency,"
         "Latency Std Dev,Avg Client CPU,Avg Server CPU,Avg Server 2 CPU,Client Mem Usage,"
         "Server Mem,Server 2 Mem,Avg. Send Bandwidth,Avg. Recv. Bandwidth\n";
}

}  // namespace kelv
