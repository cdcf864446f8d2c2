// A monitor's reply, any bytes at all, read by kelv's monitor client over a socket pair and
// carried into the report: the figure must come from the bytes of the one read, an empty
// reply must drop the monitor, and no figure may break the shape of the report's lines.

#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "lib/reporting/monitor_client.h"
#include "lib/reporting/report.h"
#include "lib/reporting/statistics.h"
#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr size_t ONE_READ = 64;  // what the client takes of a reply
constexpr size_t CSV_FIELDS = 25;

bool sameFigure(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// The client's query against a monitor that answers with the reply (or closes, for none).
double queried(std::string_view reply, int& descriptor) {
  int ends[2];
  fuzzExpect(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "a socket pair");
  descriptor = ends[0];
  UniqueFd monitor(ends[1]);
  if (reply.empty()) {
    monitor.Reset();
  } else {
    fuzzExpect(::send(monitor.Get(), reply.data(), reply.size(), 0) ==
                   static_cast<ssize_t>(reply.size()),
               "the reply fits the socket");
  }
  const double figure = monitorQuery(MONITOR_CPU_COMMAND, descriptor);
  if (monitor.Valid()) {
    char command[16];
    const ssize_t got = ::recv(monitor.Get(), command, sizeof command, MSG_DONTWAIT);
    fuzzExpect(got > 0 && std::string_view(command, static_cast<size_t>(got)) == MONITOR_CPU_COMMAND,
               "the command reaches the monitor whole");
  }
  return figure;
}

void checkReport(double figure) {
  HostFigures host;
  host.remoteCpuSamples1 = {figure, figure};
  host.remoteMemory1 = figure;
  const std::string csv = formatCsvLine(Results{}, host, "fuzz", 1, 1);
  fuzzExpect(static_cast<size_t>(std::count(csv.begin(), csv.end(), ',')) == CSV_FIELDS - 1,
             "the CSV line keeps its fields");
  const std::string text = formatTextReport(Results{}, host);
  fuzzExpect(text.find("Remote CPU average:") != std::string::npos, "the report shows the monitor");
  const std::string progress = formatProgressLine(false, 1, 1, 0, 0, figure);
  fuzzExpect(progress.find('\n') == std::string::npos, "the progress line stays one line");
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  const double direct = parseMonitorReply(reply);  // exactly sized: ASan sees any over-read
  int descriptor = -1;
  const double figure = queried(reply, descriptor);
  if (reply.empty()) {
    fuzzExpect(descriptor == -1 && figure == 0.0, "a closed monitor is dropped with 0");
    return 0;
  }
  fuzzExpect(descriptor >= 0, "a monitor that answered stays connected");
  UniqueFd owned(descriptor);
  fuzzExpect(sameFigure(figure, parseMonitorReply(reply.substr(0, ONE_READ))),
             "the figure comes from the bytes of one read");
  fuzzExpect(reply.size() > ONE_READ || sameFigure(figure, direct), "a short reply is read whole");
  checkReport(figure);
  return 0;
}
