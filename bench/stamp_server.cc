// A minimal HTTP/1.1 server for the send-accuracy benchmark: one thread, epoll, answers every
// request at once with a 2-byte body, and stamps each request's arrival (the monotonic clock,
// when the read that completed its head returned). It polls without ever sleeping: on a
// virtual machine, waking a sleeping server costs each request more than the request itself,
// and the benchmark needs a server that keeps up, so that what it measures is the client. On SIGTERM or SIGINT, or after its lifetime,
// it writes the stamps in nanoseconds, one per line, to the file given and exits.
//
// Usage: stamp_server OUTPUT_FILE [LIFETIME_SECONDS]; prints "PORT <n>" once it listens.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;
constexpr char RESPONSE[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int listenOnLoopback() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4096) != 0) {
    std::perror("stamp_server: listen");
    std::exit(2);
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("PORT %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  return fd;
}

// Reads what the connection has; answers and stamps each complete request head. False when
// the connection has ended. One read per readiness: the poll reports the socket again while
// it holds more, so a read that would only say "nothing more" is saved.
bool serve(int fd, std::string& pending, std::vector<int64_t>& stamps) {
  char buffer[65536];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  const int64_t now = monotonicNanos();
  pending.append(buffer, static_cast<size_t>(got));
  std::string replies;
  size_t end;
  while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
    pending.erase(0, end + 4);
    stamps.push_back(now);
    replies += RESPONSE;
  }
  return replies.empty() || write(fd, replies.data(), replies.size()) >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: stamp_server OUTPUT_FILE [LIFETIME_SECONDS]\n");
    return 2;
  }
  const int64_t deadline =
      monotonicNanos() + (argc > 2 ? std::atoll(argv[2]) : 120) * int64_t{1000000000};
  signal(SIGTERM, [](int) { stopping = 1; });
  signal(SIGINT, [](int) { stopping = 1; });
  const int listener = listenOnLoopback();
  const int poller = epoll_create1(0);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
  std::unordered_map<int, std::string> pending;
  std::vector<int64_t> stamps;
  stamps.reserve(1 << 24);
  epoll_event ready[256];
  while (!stopping && monotonicNanos() < deadline) {
    const int count = epoll_wait(poller, ready, 256, 0);
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener) {
        int client;
        while ((client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
          const int one = 1;
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          event.data.fd = client;
          epoll_ctl(poller, EPOLL_CTL_ADD, client, &event);
          pending[client];
        }
      } else if (!serve(fd, pending[fd], stamps)) {
        close(fd);
        pending.erase(fd);
      }
    }
  }
  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 2;
  for (int64_t stamp : stamps) std::fprintf(out, "%lld\n", static_cast<long long>(stamp));
  std::fclose(out);
  return 0;
}
