#pragma once

#include <string>
#include <vector>

#include "testing/subprocess.h"

namespace kelv {

inline constexpr int MON_START_TIMEOUT_MILLIS = 5000;
inline constexpr const char* MON_LISTENING = "kelvmon listening on port ";

std::string kelvmonPath();

// A kelvmon started for one test and killed (with its process group) when the test ends.
class RunningMon {
 public:
  explicit RunningMon(const std::vector<std::string>& argv);
  explicit RunningMon(const std::string& portText = "0")
      : RunningMon(std::vector<std::string>{kelvmonPath(), portText}) {}

  // kelvmon with these options on a system-chosen port.
  static std::vector<std::string> WithOptions(const std::vector<std::string>& options);
  // kelvmon on a system-chosen port, behind a shell command that first limits its resources.
  static std::vector<std::string> Limited(const std::string& limit);

  Subprocess process;
  std::string listeningLine;
  int port = 0;
};

}  // namespace kelv
