#pragma once

#include <string>
#include <string_view>

namespace kelv {

// The commands kelv sends to a monitor.
inline constexpr std::string_view MONITOR_CPU_COMMAND = "cpu\n";
inline constexpr std::string_view MONITOR_MEM_COMMAND = "mem\n";
inline constexpr std::string_view MONITOR_HOST_COMMAND = "host\n";
// The PROC command for a process name or number.
std::string monitorProcessCommand(std::string_view nameOrPid);

// What a monitor said to a command whose answer is two figures.
enum class MonitorAnswer {
  FIGURES,    // two numbers
  NOT_FOUND,  // "none": no such process
  UNKNOWN,    // anything else: a monitor that does not know the command
  FAILED,     // no reply: reported, and the connection is closed
};

struct MonitorPair {
  MonitorAnswer answer = MonitorAnswer::FAILED;
  double first = 0;
  double second = 0;
};

// Connects to the monitor at "host:port" (IPv4; the port's low 16 bits are used). On success
// `descriptor` holds the connected socket; on any failure it is -1 and one message has been
// written to standard error.
void monitorConnect(std::string_view hostAndPort, int& descriptor);

// Sends one command on a connected descriptor and reads the reply with a single read. A
// failure is reported on standard error, closes the socket, sets `descriptor` to -1 and gives
// 0.0.
double monitorQuery(std::string_view command, int& descriptor);

// Like monitorQuery, for a command answered with two figures.
MonitorPair monitorQueryPair(std::string_view command, int& descriptor);

// A reply of two numbers, a blank between them and a line end; "none"; or anything else.
MonitorPair parseMonitorPair(std::string_view reply);

// The number at the start of a reply by strtod's rules (leading white space skipped, parsing
// stops at the first byte that cannot continue the number, 0.0 when there is none), reading
// nothing beyond `reply`.
double parseMonitorReply(std::string_view reply);

}  // namespace kelv
