#include "lib/hoststats/proc_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>
#include <utility>

#include "lib/util/owned.h"
#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr const char* PROC_ROOT = "/proc";
constexpr size_t READ_CHUNK = 4096;

using DirPtr = std::unique_ptr<DIR, FnDeleter<closedir>>;

// A positive process number, or 0 for any other directory entry.
int pidFromName(const char* name) {
  const std::string_view text(name);
  int pid = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), pid);
  const bool whole = result.ec == std::errc() && result.ptr == text.data() + text.size();
  return whole && pid > 0 ? pid : 0;
}

int64_t sysconfOr(int name, int64_t fallback) {
  const long value = ::sysconf(name);
  return value > 0 ? value : fallback;
}

}  // namespace

ProcFiles::ProcFiles()
    : ProcFiles(PROC_ROOT, sysconfOr(_SC_CLK_TCK, 100), sysconfOr(_SC_PAGESIZE, 4096)) {}

ProcFiles::ProcFiles(std::string rootDir, int64_t ticks, int64_t page)
    : root(std::move(rootDir)), ticksPerSecond(ticks), pageBytes(page) {}

bool ProcFiles::Read(std::string_view relative, std::string& text) const {
  text.clear();
  const std::string path = root + "/" + std::string(relative);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  for (;;) {
    const size_t filled = text.size();
    text.resize(filled + READ_CHUNK);
    const ssize_t got = ::read(fd.Get(), text.data() + filled, READ_CHUNK);
    text.resize(filled + static_cast<size_t>(got > 0 ? got : 0));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      text.clear();
      return false;
    }
    if (got == 0) return true;
  }
}

std::vector<int> ProcFiles::Pids() const {
  std::vector<int> pids;
  DirPtr dir(::opendir(root.c_str()));
  if (!dir) return pids;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (const int pid = pidFromName(entry->d_name)) pids.push_back(pid);
  }
  return pids;
}

const ProcFiles& hostProcFiles() {
  static const ProcFiles files;
  return files;
}

int64_t ProcFiles::UptimeTicks() const {
  std::string text;
  if (!Read("uptime", text)) return -1;
  return parseUptimeTicks(text, ticksPerSecond);
}

int64_t takeCount(std::string_view& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return -1;
  int64_t value = -1;
  const char* first = text.data() + start;
  const auto result = std::from_chars(first, text.data() + text.size(), value);
  if (result.ec != std::errc() || *first == '-') return -1;
  text.remove_prefix(static_cast<size_t>(result.ptr - text.data()));
  return value;
}

int64_t parseUptimeTicks(std::string_view text, int64_t ticksPerSecond) {
  const int64_t seconds = takeCount(text);
  if (seconds < 0 || ticksPerSecond <= 0) return -1;
  if (seconds > std::numeric_limits<int64_t>::max() / ticksPerSecond / 2) return -1;
  int64_t ticks = seconds * ticksPerSecond;
  if (text.empty() || text.front() != '.') return ticks;
  // The fraction digits, exactly: "22" of "3107.22" is 22 hundredths.
  int64_t scale = 1;
  int64_t fraction = 0;
  for (size_t i = 1; i < text.size() && text[i] >= '0' && text[i] <= '9' && scale < 1000000; ++i) {
    fraction = fraction * 10 + (text[i] - '0');
    scale *= 10;
  }
  return ticks + fraction * ticksPerSecond / scale;
}

}  // namespace kelv
