#include "testing/run_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <iterator>

#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "testing/output_shape.h"

namespace kelv {
namespace {

// For every test of the program: a peer that resets a connection must not end a test run.
class IgnoreSigpipe : public testing::Environment {
 public:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};
const testing::Environment* const IGNORE_SIGPIPE =
    testing::AddGlobalTestEnvironment(new IgnoreSigpipe);

const char* const HEAD_SHAPES[] = {
    "Duration:             {f3} seconds",
    "Attempted requests:   {n}",
    "Successful requests:  {n}",
    "Non-200 results:      {n}",
    "Connections opened:   {n}",
    "Socket errors:        {n}",
    "",
    "Throughput:           {f3} requests/second",
    "Average latency:      {f3} milliseconds",
    "Minimum latency:      {f3} milliseconds",
    "Maximum latency:      {f3} milliseconds",
    "Latency std. dev:     {f3} milliseconds",
    "50% latency:          {f3} milliseconds",
    "90% latency:          {f3} milliseconds",
    "98% latency:          {f3} milliseconds",
    "99% latency:          {f3} milliseconds",
    "",
    "Client CPU average:   {n}%",
    "Client CPU max:       {n}%",
    "Client memory usage:  {n}%",
};
const char* const REMOTE_SHAPES[] = {
    "Remote CPU average:   {n}%",
    "Remote CPU max:       {n}%",
    "Remote memory usage:  {n}%",
};
const char* const REMOTE2_SHAPES[] = {
    "Remote 2 CPU average:   {n}%",
    "Remote 2 CPU max:       {n}%",
    "Remote 2 memory usage:  {n}%",
};
// After "Remote " or "Remote 2 ", so the second aligns two columns further.
const char* const REMOTE_HOST_SHAPES[] = {
    "host CPU average:    {n}%",
    "host CPU max:        {n}%",
    "busiest CPU max:     {n}%",
};
const char* const REMOTE_PROCESS_SHAPES[] = {
    "process CPU average: {n}%",
    "process CPU max:     {n}%",
    "process memory:      {f2} MiB",
};
const char* const TAIL_SHAPES[] = {
    "",
    "Total bytes sent:     {f2} megabytes",
    "Total bytes received: {f2} megabytes",
    "Send bandwidth:       {f2} megabits / second",
    "Receive bandwidth:    {f2} megabits / second",
};

template <size_t N>
void addShapes(std::vector<std::string>& shapes, const char* const (&more)[N],
               const std::string& prefix = "") {
  for (const char* shape : more) shapes.push_back(prefix + shape);
}

void addHostShapes(std::vector<std::string>& shapes, RemoteLines remote,
                   const std::string& prefix) {
  if (remote.host) addShapes(shapes, REMOTE_HOST_SHAPES, prefix);
  if (remote.process) addShapes(shapes, REMOTE_PROCESS_SHAPES, prefix);
}

std::vector<std::string> reportShapes(RemoteLines remote) {
  std::vector<std::string> shapes(std::begin(HEAD_SHAPES), std::end(HEAD_SHAPES));
  if (remote.first) {
    addShapes(shapes, REMOTE_SHAPES);
    addHostShapes(shapes, remote, "Remote ");
  }
  if (remote.second) {
    addShapes(shapes, REMOTE2_SHAPES);
    addHostShapes(shapes, remote, "Remote 2 ");
  }
  shapes.insert(shapes.end(), std::begin(TAIL_SHAPES), std::end(TAIL_SHAPES));
  return shapes;
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines = absl::StrSplit(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

SubprocessResult runKelv(std::vector<std::string> args, const std::vector<std::string>& prefix) {
  args.insert(args.begin(), binaryPath("kelv"));
  args.insert(args.begin(), prefix.begin(), prefix.end());
  SubprocessResult result = Subprocess::Run(args, RUN_TIMEOUT_MILLIS);
  EXPECT_TRUE(result.finished) << result.error;
  return result;
}

namespace {

// The blocks after the report's last line: "Errors:" with "  <kind>: <n>" lines, then
// "Status codes:" with "  <code>: <n>" lines, each after an empty line and only when it has
// lines. Their figures go into the map as "error <kind>" and "status <code>".
void parseBreakdowns(const std::vector<std::string>& lines, size_t at,
                     std::map<std::string, double>& figures) {
  for (const char* block : {"Errors:", "Status codes:"}) {
    if (at + 1 >= lines.size() || lines[at] != "" || lines[at + 1] != block) continue;
    const std::string prefix = block[0] == 'E' ? "error " : "status ";
    const std::string shape = block[0] == 'E' ? "  {*}: {n}" : "  {n}: {n}";
    size_t first = at += 2;
    std::vector<std::string> f;
    for (; at < lines.size() && matchShape(lines[at], shape, &f); ++at, f.clear()) {
      EXPECT_EQ(figures.count(prefix + f[0]), 0u) << "twice: " << lines[at];
      figures[prefix + f[0]] = std::stod(f[1]);
    }
    EXPECT_GT(at, first) << block << " without lines";
  }
  for (; at < lines.size(); ++at) ADD_FAILURE() << "after the report: \"" << lines[at] << '"';
}

double sumOf(const std::map<std::string, double>& figures, const std::string& prefix) {
  double sum = 0;
  for (const auto& [label, value] : figures) {
    if (label.starts_with(prefix)) sum += value;
  }
  return sum;
}

}  // namespace

std::map<std::string, double> parseTextReport(const std::string& out, RemoteLines remote) {
  const std::vector<std::string> shapes = reportShapes(remote);
  std::map<std::string, double> figures;
  const size_t start = out.find("Duration:");
  EXPECT_NE(start, std::string::npos) << out;
  if (start == std::string::npos) return figures;
  EXPECT_TRUE(start == 0 || out[start - 1] == '\n');
  EXPECT_TRUE(out.ends_with("\n") && !out.ends_with("\n\n")) << "no empty line at the end";
  std::vector<std::string> lines = splitLines(out.substr(start));
  EXPECT_GE(lines.size(), shapes.size()) << out;
  for (size_t i = 0; i < lines.size() && i < shapes.size(); ++i) {
    std::vector<std::string> value;
    if (!matchShape(lines[i], shapes[i], &value)) {
      ADD_FAILURE() << "line " << i << " \"" << lines[i] << "\" is not \"" << shapes[i] << '"';
      continue;
    }
    double number = 0;
    if (!value.empty() && absl::SimpleAtod(value[0], &number)) {
      figures[lines[i].substr(0, lines[i].find(':'))] = number;
    }
  }
  parseBreakdowns(lines, shapes.size(), figures);
  // Every socket error is counted under one kind, every response under its status code.
  EXPECT_EQ(sumOf(figures, "error "), figures["Socket errors"]) << out;
  if (figures["Non-200 results"] > 0) {
    EXPECT_EQ(sumOf(figures, "status "), figures["Attempted requests"]) << out;
  } else {
    EXPECT_EQ(sumOf(figures, "status "), 0) << out;
  }
  return figures;
}

std::vector<std::string> parseCsvLine(const std::string& line) {
  static const char* const SHAPES[] = {
      "{*}", "{f3}", "{f3}", "{n}",  "{n}",  "{f3}", "{n}",  "{n}",  "{n}",
      "{n}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{n}",
      "{n}", "{n}",  "{n}",  "{n}",  "{n}",  "{f2}", "{f2}",
  };
  std::vector<std::string> fields = absl::StrSplit(line, ',');
  EXPECT_EQ(fields.size(), std::size(SHAPES)) << line;
  for (size_t i = 0; i < fields.size() && i < std::size(SHAPES); ++i) {
    EXPECT_TRUE(matchShape(fields[i], SHAPES[i]))
        << "field " << i + 1 << " \"" << fields[i] << "\" of " << line;
  }
  return fields;
}

int intField(const std::vector<std::string>& fields, size_t column) {
  int value = -1;
  if (column < fields.size()) {
    EXPECT_TRUE(absl::SimpleAtoi(fields[column], &value)) << fields[column];
  }
  return value;
}

std::vector<ProgressLine> progressLines(const std::string& out, const std::string& prefix,
                                        int phase) {
  const std::string base = "({n} / " + std::to_string(phase) + ") {f3}";
  const std::string cpu = " {n}% cpu";
  const std::string remote = " {n}% remote cpu";
  std::vector<ProgressLine> parsed;
  for (const std::string& line : splitLines(out)) {
    if (!line.starts_with(prefix + "(")) continue;
    const std::string rest = line.substr(prefix.size());
    std::vector<std::string> f;
    ProgressLine p;
    if (matchShape(rest, base + cpu + remote, &f)) {
      p.cpuPercent = std::stoi(f[2]);
      p.remoteCpuPercent = std::stoi(f[3]);
    } else if (matchShape(rest, base + cpu, &f)) {
      p.cpuPercent = std::stoi(f[2]);
    } else if (matchShape(rest, base + remote, &f)) {
      p.remoteCpuPercent = std::stoi(f[2]);
    } else if (!matchShape(rest, base, &f)) {
      ADD_FAILURE() << "progress line \"" << line << "\"";
      continue;
    }
    p.elapsed = std::stoi(f[0]);
    p.rate = std::stod(f[1]);
    parsed.push_back(p);
  }
  return parsed;
}

std::vector<int> progressElapsed(const std::string& out, const std::string& prefix, int phase) {
  std::vector<int> elapsed;
  for (const ProgressLine& line : progressLines(out, prefix, phase))
    elapsed.push_back(line.elapsed);
  return elapsed;
}

void expectValidResult(const std::string& path) {
  const SubprocessResult checked = Subprocess::Run(
      {"python3", sourcePath("testing/validate_result.py"), path}, RUN_TIMEOUT_MILLIS);
  EXPECT_TRUE(checked.finished) << checked.error;
  EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err;
}

}  // namespace kelv
