#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// The thin layer over the kernel's process file system that the host, process and network
// figures read. Everything else works on the texts it returns, so a test can point it at a
// directory of its own instead of /proc.
class ProcFiles {
 public:
  // The real /proc, with this machine's clock-tick rate and page size.
  ProcFiles();
  // Another directory laid out like /proc, with the rates its files were written for.
  ProcFiles(std::string rootDir, int64_t ticksPerSecond, int64_t pageBytes);

  // The whole file at root/relative into text; false (text empty) when it cannot be read.
  bool Read(std::string_view relative, std::string& text) const;
  // The numeric entries of the root: one per process, in no particular order.
  std::vector<int> Pids() const;
  // Time since boot in clock ticks, from root/uptime; -1 when unreadable.
  int64_t UptimeTicks() const;

  int64_t TicksPerSecond() const { return ticksPerSecond; }
  int64_t PageBytes() const { return pageBytes; }

 private:
  std::string root;
  int64_t ticksPerSecond;
  int64_t pageBytes;
};

// The real /proc of this machine, made once and shared by every observer of the process.
const ProcFiles& hostProcFiles();

// The first figure of an uptime text ("3107.22 4946.81") in clock ticks; -1 when there is none.
int64_t parseUptimeTicks(std::string_view text, int64_t ticksPerSecond);
// The unsigned decimal number at the start of text (blanks before it skipped), and text moved
// past it; -1, with text unchanged, when there is no number there or it does not fit 63 bits.
int64_t takeCount(std::string_view& text);

}  // namespace kelv
