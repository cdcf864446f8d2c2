#include "lib/reporting/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace kelv {
namespace {

constexpr int64_t MS = 1000000;  // nanoseconds

// Four responses of 1 to 4 ms in one second, one of them not 2xx; two socket errors.
Results fourResponses() {
  Results counts{.successful = 3,
                 .unsuccessful = 1,
                 .socketErrors = 2,
                 .connectionsOpened = 5,
                 .bytesWritten = 3145728,
                 .bytesRead = 262144,
                 .elapsedSeconds = 1.0};
  counts.errors[static_cast<size_t>(ErrorKind::RESET)] = 1;
  counts.errors[static_cast<size_t>(ErrorKind::TIMEOUT)] = 1;
  counts.statusCodes[404] = 1;
  counts.statusCodes[200] = 3;
  LatencyHistogram latencies;
  for (int64_t millis : {1, 2, 3, 4}) latencies.Record(millis * MS);
  return computeStatistics(latencies, counts);
}

HostFigures clientOnly() {
  HostFigures host;
  host.clientCpuSamples = {0.2, 0.3};
  host.clientMemory = 0.5;
  return host;
}

size_t fieldCount(const std::string& line) {
  return static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
}

TEST(TextReport, WithoutMonitorsHasNoRemoteLinesAndEndsWithTheBreakdowns) {
  EXPECT_EQ(formatTextReport(fourResponses(), clientOnly()),
            "Duration:             1.000 seconds\n"
            "Attempted requests:   4\n"
            "Successful requests:  3\n"
            "Non-200 results:      1\n"
            "Connections opened:   5\n"
            "Socket errors:        2\n"
            "\n"
            "Throughput:           4.000 requests/second\n"
            "Average latency:      2.500 milliseconds\n"
            "Minimum latency:      1.000 milliseconds\n"
            "Maximum latency:      4.000 milliseconds\n"
            "Latency std. dev:     1.118 milliseconds\n"
            "50% latency:          3.000 milliseconds\n"
            "90% latency:          4.000 milliseconds\n"
            "98% latency:          4.000 milliseconds\n"
            "99% latency:          4.000 milliseconds\n"
            "\n"
            "Client CPU average:   25%\n"
            "Client CPU max:       30%\n"
            "Client memory usage:  50%\n"
            "\n"
            "Total bytes sent:     3.00 megabytes\n"
            "Total bytes received: 0.25 megabytes\n"
            "Send bandwidth:       24.00 megabits / second\n"
            "Receive bandwidth:    2.00 megabits / second\n"
            "\n"
            "Errors:\n"
            "  timeout: 1\n"
            "  reset: 1\n"
            "\n"
            "Status codes:\n"
            "  200: 3\n"
            "  404: 1\n");
}

TEST(TextReport, MonitorsWithSamplesGetTheirLines) {
  Results counts;
  counts.bytesWritten = 131072;
  counts.elapsedSeconds = 1.0;
  HostFigures host;
  host.clientMemory = 0.237;
  host.remoteCpuSamples1 = {0.5, 0.7};
  host.remoteMemory1 = 0.4;
  host.remoteCpuSamples2 = {0.1};
  const std::string text = formatTextReport(computeStatistics(LatencyHistogram(), counts), host);
  EXPECT_NE(text.find("\n\nClient memory usage:  24%\n"
                      "Remote CPU average:   60%\n"
                      "Remote CPU max:       70%\n"
                      "Remote memory usage:  40%\n"
                      "Remote 2 CPU average:   10%\n"
                      "Remote 2 CPU max:       10%\n"
                      "Remote 2 memory usage:  0%\n\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Send bandwidth:       1.00 megabits / second\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("Receive bandwidth:    0.00 megabits / second\n"))
      << "no errors and no other status: nothing follows";
}

TEST(CsvReport, LineMatchesTheHeaderColumns) {
  const std::string line = formatCsvLine(fourResponses(), clientOnly(), "run1", 2, 8);
  EXPECT_EQ(line,
            "run1,4.000,2.500,2,8,1.000,4,3,2,5,1.000,4.000,3.000,4.000,4.000,4.000,1.118,"
            "25,0,0,50,0,0,24.00,2.00\n");
  std::ostringstream header;
  printCsvHeader(header);
  EXPECT_EQ(header.str(),
            "Name,Throughput,Avg. Latency,Threads,Connections,Duration,Completed,Successful,"
            "Errors,Sockets,Min. latency,Max. latency,50% Latency,90% Latency,98% Latency,"
            "99% Latency,Latency Std Dev,Avg Client CPU,Avg Server CPU,Avg Server 2 CPU,"
            "Client Mem Usage,Server Mem,Server 2 Mem,Avg. Send Bandwidth,"
            "Avg. Recv. Bandwidth\n");
  EXPECT_EQ(fieldCount(header.str()), 25u);
  HostFigures monitors;
  monitors.remoteCpuSamples1 = {0.237};
  monitors.remoteMemory1 = 0.5;
  monitors.remoteCpuSamples2 = {0.75};
  monitors.remoteMemory2 = 0.12;
  EXPECT_TRUE(formatCsvLine(fourResponses(), monitors, "n", 1, 1)
                  .ends_with(",1.118,0,24,75,0,50,12,24.00,2.00\n"));
}

TEST(CsvReport, NameIsWrittenAsGiven) {
  const std::string unnamed = formatCsvLine(fourResponses(), clientOnly(), "", 1, 1);
  EXPECT_TRUE(unnamed.starts_with(",4.000,"));
  EXPECT_EQ(fieldCount(unnamed), 25u);
  // No quoting: a comma in the name shifts the columns.
  EXPECT_EQ(fieldCount(formatCsvLine(fourResponses(), clientOnly(), "a,b", 1, 1)), 26u);
}

TEST(ProgressLine, WarmUpPrefixAndCpuParts) {
  EXPECT_EQ(formatProgressLine(true, 5.2, 10, 150.5, 0.37, 0),
            "Warming up: (5 / 10) 150.500 37% cpu");
  EXPECT_EQ(formatProgressLine(false, 12.0004, 12, 0, 0, 0), "(12 / 12) 0.000");
  EXPECT_EQ(formatProgressLine(false, 10, 30, 2000, 0.5, 0.254),
            "(10 / 30) 2000.000 50% cpu 25% remote cpu");
}

}  // namespace
}  // namespace kelv
