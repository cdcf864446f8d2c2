#include "lib/util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr mode_t NEW_FILE_MODE = 0666;  // narrowed by the umask, as any program's output
constexpr size_t READ_CHUNK_SIZE = 64 * 1024;

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

Status replaceFile(const std::string& path, std::string_view bytes) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, NEW_FILE_MODE));
  if (!file.Valid()) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  Status written = writeAll(file.Get(), bytes);
  if (!written.ok()) return written;
  // A full disk or a network file system may report the failure only at the close.
  if (::close(file.Release()) != 0) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  return Status();
}

Status readRegularFile(const std::string& path, std::string* content) {
  // Non-blocking, so that opening a FIFO without a writer does not wait for one.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.Valid()) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return Status::FromErrno(StatusCode::IO_ERROR, errno);
  if (!S_ISREG(info.st_mode)) {
    return Status::FromErrno(StatusCode::IO_ERROR, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  }
  content->clear();
  char chunk[READ_CHUNK_SIZE];
  for (;;) {
    const ssize_t n = ::read(file.Get(), chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::FromErrno(StatusCode::IO_ERROR, errno);
    if (n == 0) return Status();
    content->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace kelv
