#include "lib/transport/socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>

#include "lib/transport/address_list.h"

namespace kelv {
namespace {

// Non-blocking from the start saves the fcntl(2) that would otherwise follow every socket(2)
// (one call per connection, which counts when keep-alive is off). Close-on-exec keeps the
// load generator's connections out of any process that it, or a test around it, starts.
constexpr int SOCKET_TYPE = SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC;

bool setIntOption(int descriptor, int level, int name, int value) {
  return setsockopt(descriptor, level, name, &value, sizeof value) == 0;
}

// Requests go out at once and the port may be reused at once. close(2) never waits either:
// lingering is off on every new socket, so switching it off again would only cost a system
// call per connection. False with errno of the failing call.
bool setConnectionOptions(int descriptor) {
  if (!setIntOption(descriptor, IPPROTO_TCP, TCP_NODELAY, 1)) return false;
  return setIntOption(descriptor, SOL_SOCKET, SO_REUSEADDR, 1);
}

// An in-progress connect is success: a refusal shows on the first write or read.
bool startConnect(int descriptor, const sockaddr_storage& address) {
  const auto* target = reinterpret_cast<const sockaddr*>(&address);
  return connect(descriptor, target, AddressList::Length(address)) == 0 || errno == EINPROGRESS;
}

IoResult failure(int error) {
  return IoResult{Status::FromErrno(StatusCode::SOCKET_ERROR, error), IoStatus::OK, IoFault::SYSTEM,
                  error};
}

// The outcome of one read(2) or write(2) that returned n.
IoResult transferResult(ssize_t n, size_t* count, IoStatus blocked) {
  if (n >= 0) {
    *count = static_cast<size_t>(n);
    return IoResult{};
  }
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) return IoResult{Status(), blocked};
  return failure(error);
}

}  // namespace

Socket::~Socket() {
  // Nothing can be reported from a destructor; the descriptor is released either way.
  if (fd >= 0) static_cast<void>(::close(fd));
}

IoResult Socket::Connect(const sockaddr_storage& address) {
  const int descriptor = socket(address.ss_family, SOCKET_TYPE, 0);
  if (descriptor < 0) return failure(errno);
  if (setConnectionOptions(descriptor) && startConnect(descriptor, address)) {
    fd = descriptor;
    return IoResult{};
  }
  const int error = errno;
  static_cast<void>(::close(descriptor));  // the saved error is the one worth reporting
  return failure(error);
}

IoResult Socket::Write(const void* data, size_t length, size_t* written) {
  return transferResult(::write(fd, data, length), written, IoStatus::NEED_WRITE);
}

IoResult Socket::Read(void* buffer, size_t capacity, size_t* count) {
  return transferResult(::read(fd, buffer, capacity), count, IoStatus::NEED_READ);
}

IoResult Socket::Close() {
  const int rc = ::close(fd);
  const int error = errno;
  fd = -1;
  return rc == 0 ? IoResult{} : failure(error);
}

}  // namespace kelv
