#include "lib/reporting/html_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "generated/html_report_page.h"
#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr std::string_view ESCAPED_LESS_THAN = "\\u003c";
constexpr mode_t NEW_FILE_MODE = 0666;  // narrowed by the umask, as any program's output

Status writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::FromErrno(StatusCode::IO_ERROR, errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Status();
}

}  // namespace

std::string htmlReportPage(std::string_view resultJson) {
  std::string page;
  page.reserve(HTML_PAGE_HEAD.size() + resultJson.size() + HTML_PAGE_TAIL.size() + 1024);
  page.append(HTML_PAGE_HEAD);
  // "<" can stand only inside a JSON string, where the escape means the same character.
  for (const char c : resultJson) {
    if (c == '<') {
      page.append(ESCAPED_LESS_THAN);
    } else {
      page.push_back(c);
    }
  }
  page.append(HTML_PAGE_TAIL);
  return page;
}

Status writeHtmlReport(const std::string& path, std::string_view resultJson) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, NEW_FILE_MODE));
  if (!file.Valid()) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  Status written = writeAll(file.Get(), htmlReportPage(resultJson));
  if (!written.ok()) return written;
  // A full disk or a network file system may report the failure only at the close.
  if (::close(file.Release()) != 0) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  return Status();
}

}  // namespace kelv
