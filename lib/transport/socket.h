#pragma once

#include <sys/socket.h>

#include <cstddef>

#include "lib/transport/io_result.h"

namespace kelv {

// The client end of one non-blocking TCP connection. Reads, writes and closes never block;
// each reports completion, the readiness it waits for, or a SOCKET_ERROR with the system's
// text. Owns its descriptor (-1 when it holds none).
class Socket {
 public:
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  virtual ~Socket();

  // Opens the descriptor and starts a non-blocking connect. OK when connected or in
  // progress: a refusal surfaces from the first Write or Read. A failure (a SYSTEM fault
  // with its errno) leaves no descriptor behind.
  IoResult Connect(const sockaddr_storage& address);

  // One write(2). On OK the count may be less than the length.
  virtual IoResult Write(const void* data, size_t length, size_t* written);
  // One read(2). On OK a count of 0 means the peer ended the stream.
  virtual IoResult Read(void* buffer, size_t capacity, size_t* count);
  // Closes the descriptor; it is forgotten whatever close(2) says.
  virtual IoResult Close();

  int Fd() const { return fd; }

 protected:
  int fd = -1;
};

}  // namespace kelv
