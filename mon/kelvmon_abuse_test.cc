// kelvmon under abuse. Rounds of mixed abuse: hundreds of clients at once, clients that leave
// in the middle of their replies, random bytes and lines far longer than its line buffer. It
// must go on answering, and once the clients are gone its threads and memory must be back where
// they were: a connection thread that never ends, or memory kept per client, shows up here.
// And a flood of 2,000 clients at once, far beyond its limit of clients: its threads and memory
// stay bounded while they are held, and a proper client is still answered.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lib/util/unique_fd.h"
#include "mon/mon_test_client.h"
#include "mon/running_mon.h"

namespace kelv {
namespace {

constexpr int CLIENT_THREADS = 6;
constexpr int CLIENTS_PER_THREAD = 60;  // all of them open at once: 360 clients
constexpr int ROUNDS = 4;
constexpr int PENDING_COMMANDS = 200;
constexpr size_t RANDOM_BYTES = 4096;
constexpr size_t LONG_LINE_BYTES = 1 << 20;
constexpr int SETTLE_TIMEOUT_MILLIS = 15000;
// Allocator caches may still move by some pages from one round to the next.
constexpr long RSS_MARGIN_KB = 512;

// Figures of a process from /proc/PID/status; -1 where a line was missing.
struct ProcessFigures {
  long rssKb = -1;
  int threads = -1;
};

ProcessFigures readFigures(pid_t pid) {
  ProcessFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) figures.rssKb = std::stol(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) figures.threads = std::stoi(line.substr(8));
  }
  return figures;
}

// Polls until the process is down to the given thread count or the time is up; the last
// figures read.
ProcessFigures waitForThreads(pid_t pid, int threads) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(SETTLE_TIMEOUT_MILLIS);
  ProcessFigures figures = readFigures(pid);
  while (figures.threads > threads && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    figures = readFigures(pid);
  }
  return figures;
}

// What the clients of a round saw going as it should.
struct RoundCounts {
  std::atomic<int> greeted{0};
  std::atomic<int> answered{0};
  std::atomic<int> closedOnLongLine{0};
};

std::string randomBytes(std::mt19937& random) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(RANDOM_BYTES, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(random));
  return bytes;
}

// One way to treat an open client, by its number: ask properly, vanish in the middle of many
// replies, send random bytes and go, or send a line that never ends.
void treatClient(MonTestClient& client, int number, std::mt19937& random, RoundCounts& counts) {
  switch (number % 4) {
    case 0: {
      client.Send("CPU\nMEM\n");
      counts.answered +=
          isFigureReply(client.ReadReplies(1)) && isFigureReply(client.ReadReplies(1));
      break;
    }
    case 1: {
      std::string burst;
      for (int i = 0; i < PENDING_COMMANDS; ++i) burst += "MEM\n";
      client.Send(burst);
      client.Abort();
      break;
    }
    case 2:
      client.Send(randomBytes(random));
      client.Close();
      break;
    default: {
      // kelvmon closes once its buffer is full, so most of this is never read.
      static_cast<void>(client.Send(std::string(LONG_LINE_BYTES, 'x')));
      bool closed = false;
      counts.closedOnLongLine += client.ReadUntilClosed(&closed).empty() && closed;
      break;
    }
  }
}

// One client thread: opens its clients one after another (each is greeted before the next
// connects, so the short listen queue does not overflow), holds them all, then treats them.
void abuseFrom(int port, unsigned seed, RoundCounts& counts) {
  std::mt19937 random(seed);
  std::vector<std::unique_ptr<MonTestClient>> clients;
  for (int i = 0; i < CLIENTS_PER_THREAD; ++i) {
    clients.push_back(std::make_unique<MonTestClient>(port));
    if (clients.back()->Ask("HELLO\n") != "Hi!\n") return;
    ++counts.greeted;
  }
  for (int i = 0; i < CLIENTS_PER_THREAD; ++i) treatClient(*clients[i], i, random, counts);
}

void abuseRound(int port, int round, RoundCounts& counts) {
  std::vector<std::thread> threads;
  for (int t = 0; t < CLIENT_THREADS; ++t) {
    const unsigned seed = static_cast<unsigned>(round * CLIENT_THREADS + t);
    threads.emplace_back([port, seed, &counts] { abuseFrom(port, seed, counts); });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(KelvmonAbuse, KeepsAnsweringAndReturnsToItsBaseline) {
  std::signal(SIGPIPE, SIG_IGN);
  // Room for every client of a round: here the limit is not what is tried.
  RunningMon mon(RunningMon::WithOptions({"--max-clients", "1000"}));
  ASSERT_GT(mon.port, 0) << mon.process.StartError();
  const pid_t pid = mon.process.Pid();
  const int idleThreads = readFigures(pid).threads;
  ASSERT_GT(idleThreads, 0);

  // A first round fills the allocator's and the thread library's caches; the memory after it
  // is the baseline.
  RoundCounts warmup;
  abuseRound(mon.port, 0, warmup);
  ProcessFigures baseline = waitForThreads(pid, idleThreads);
  ASSERT_EQ(baseline.threads, idleThreads);

  constexpr int CLIENTS = CLIENT_THREADS * CLIENTS_PER_THREAD;
  for (int round = 1; round <= ROUNDS; ++round) {
    RoundCounts counts;
    abuseRound(mon.port, round, counts);
    EXPECT_EQ(counts.greeted.load(), CLIENTS) << "round " << round;
    EXPECT_EQ(counts.answered.load(), CLIENTS / 4) << "round " << round;
    EXPECT_EQ(counts.closedOnLongLine.load(), CLIENTS / 4) << "round " << round;
    ASSERT_TRUE(mon.process.Running()) << "round " << round;
    MonTestClient probe(mon.port);
    ASSERT_EQ(probe.Ask("HELLO\n"), "Hi!\n") << "round " << round;
  }

  const ProcessFigures after = waitForThreads(pid, idleThreads);
  EXPECT_EQ(after.threads, idleThreads);
  // A sanitizer keeps freed memory in quarantine: there resident size says nothing.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LE(after.rssKb, baseline.rssKb + RSS_MARGIN_KB)
      << "baseline " << baseline.rssKb << " kB after " << ROUNDS << " rounds of " << CLIENTS
      << " clients";
#endif
}

constexpr int FLOOD_CLIENTS = 2000;
constexpr int DEFAULT_MAX_CLIENTS = 64;
constexpr int FLOOD_TIMEOUT_MILLIS = 60000;
// What 64 served clients may cost, at most (128 KiB each: a thread whose stack is touched a
// little, a snapshot of the host's processes); a thread for each of 2,000 would cost far more.
constexpr long FLOOD_RSS_MARGIN_KB = 64 * 128;

// Enough descriptors for the whole flood in this process.
bool descriptorsFor(int count) {
  rlimit limit = {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(count) + 256;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// One client of the flood: connected without waiting, then served by poll.
struct FloodClient {
  UniqueFd fd;
  std::string reply;
  bool done = false;  // its reply line came, or the connection ended
};

std::vector<FloodClient> connectAll(int port, int count) {
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<FloodClient> clients(static_cast<size_t>(count));
  for (FloodClient& client : clients) {
    client.fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int rc = ::connect(client.fd.Get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    client.done = rc != 0 && errno != EINPROGRESS;
  }
  return clients;
}

// Polls every client that is not done, for writing until it has sent and then for reading;
// the indexes of those that are ready.
std::vector<size_t> ready(std::vector<FloodClient>& clients, const std::vector<bool>& sent) {
  std::vector<pollfd> polled;
  std::vector<size_t> index;
  for (size_t i = 0; i < clients.size(); ++i) {
    if (clients[i].done) continue;
    polled.push_back({clients[i].fd.Get(), static_cast<short>(sent[i] ? POLLIN : POLLOUT), 0});
    index.push_back(i);
  }
  std::vector<size_t> found;
  if (polled.empty() || ::poll(polled.data(), polled.size(), 100) <= 0) return found;
  for (size_t i = 0; i < polled.size(); ++i) {
    if (polled[i].revents != 0) found.push_back(index[i]);
  }
  return found;
}

// Every client says HELLO once it is connected and then reads one line, or to the end.
void greetAll(std::vector<FloodClient>& clients) {
  std::vector<bool> sent(clients.size(), false);
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(FLOOD_TIMEOUT_MILLIS);
  while (std::chrono::steady_clock::now() < end) {
    const std::vector<size_t> found = ready(clients, sent);
    bool open = false;
    for (const FloodClient& client : clients) open = open || !client.done;
    if (!open) return;
    for (const size_t i : found) {
      FloodClient& client = clients[i];
      if (!sent[i]) {
        sent[i] = ::send(client.fd.Get(), "HELLO\n", 6, MSG_NOSIGNAL) == 6;
        client.done = !sent[i] && errno != EAGAIN;
        continue;
      }
      char buffer[64];
      const ssize_t got = ::recv(client.fd.Get(), buffer, sizeof buffer, 0);
      if (got > 0) client.reply.append(buffer, static_cast<size_t>(got));
      client.done =
          (got <= 0 && errno != EAGAIN) || got == 0 || client.reply.find('\n') != std::string::npos;
    }
  }
}

TEST(KelvmonAbuse, FloodBeyondTheLimitStaysBounded) {
  std::signal(SIGPIPE, SIG_IGN);
  ASSERT_TRUE(descriptorsFor(FLOOD_CLIENTS))
      << "this test needs " << FLOOD_CLIENTS << " descriptors";
  RunningMon mon;
  ASSERT_GT(mon.port, 0) << mon.process.StartError();
  const pid_t pid = mon.process.Pid();
  const int idleThreads = readFigures(pid).threads;
  // A first flood fills the caches; the memory after it is the baseline.
  {
    std::vector<FloodClient> warmup = connectAll(mon.port, DEFAULT_MAX_CLIENTS * 2);
    greetAll(warmup);
  }
  ASSERT_EQ(waitForThreads(pid, idleThreads).threads, idleThreads);
  [[maybe_unused]] const ProcessFigures baseline = readFigures(pid);  // unchecked under sanitizers

  std::vector<FloodClient> flood = connectAll(mon.port, FLOOD_CLIENTS);
  greetAll(flood);
  int greeted = 0;
  int busy = 0;
  for (const FloodClient& client : flood) {
    greeted += client.reply == "Hi!\n";
    busy += client.reply == "Busy\n";
  }
  // Every client got one answer: the first ones the limit allows are served, the rest told.
  EXPECT_EQ(greeted, DEFAULT_MAX_CLIENTS);
  EXPECT_EQ(busy, FLOOD_CLIENTS - DEFAULT_MAX_CLIENTS);
  const ProcessFigures held = readFigures(pid);
  EXPECT_LE(held.threads, idleThreads + DEFAULT_MAX_CLIENTS);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LE(held.rssKb, baseline.rssKb + FLOOD_RSS_MARGIN_KB) << "baseline " << baseline.rssKb;
#endif
  // While the flood holds every place, a proper client is told so; once it leaves, a proper
  // client that tries again after "Busy" is answered.
  MonTestClient during(mon.port);
  EXPECT_EQ(during.Ask("HELLO\n"), "Busy\n");
  flood.clear();
  EXPECT_TRUE(greetedAfterRetries(mon.port));
  EXPECT_TRUE(mon.process.Running());
  EXPECT_EQ(waitForThreads(pid, idleThreads).threads, idleThreads);
}

}  // namespace
}  // namespace kelv
