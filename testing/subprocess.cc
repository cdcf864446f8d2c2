#include "testing/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "lib/util/status.h"

extern char** environ;

namespace kelv {
namespace {

constexpr int CHILD_EXEC_FAILED = 127;
constexpr int READER_POLL_MILLIS = 50;
constexpr int WAIT_STEP_MILLIS = 5;
constexpr size_t READ_CHUNK = 65536;

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int millis) {
  return Clock::now() + std::chrono::milliseconds(millis);
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  for (const std::string& item : extra) {
    std::string name = item.substr(0, item.find('='));
    std::erase_if(entries, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
    entries.push_back(item);
  }
  return entries;
}

// Child side after fork: only async-signal-safe calls until exec.
[[noreturn]] void execChild(int inFd, int outFd, int errFd, int reportFd, const char* directory,
                            char** argv, char** envp) {
  setpgid(0, 0);
  // As from an interactive shell, whatever the test runner ignores: a background job of a
  // script starts with SIGINT ignored, and the programs keep an ignored stop signal ignored.
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Lift the sources above the standard descriptors so that no dup2 overwrites another source.
  inFd = fcntl(inFd, F_DUPFD_CLOEXEC, 3);
  outFd = fcntl(outFd, F_DUPFD_CLOEXEC, 3);
  errFd = fcntl(errFd, F_DUPFD_CLOEXEC, 3);
  if (inFd < 0 || outFd < 0 || errFd < 0 || dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 ||
      dup2(errFd, 2) < 0 || (directory != nullptr && chdir(directory) != 0)) {
    int error = errno;
    static_cast<void>(write(reportFd, &error, sizeof error));  // the parent reads it or not
    _exit(CHILD_EXEC_FAILED);
  }
  // Every other descriptor of the test (listeners, accepted sockets) stays out of the child.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  execvpe(argv[0], argv, envp);
  int error = errno;
  static_cast<void>(write(reportFd, &error, sizeof error));
  _exit(CHILD_EXEC_FAILED);
}

struct Pipe {
  int read = -1;
  int write = -1;
  bool Open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    read = ends[0];
    write = ends[1];
    return true;
  }
  void CloseRead() {
    if (read >= 0) close(read);
    read = -1;
  }
  void CloseWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
  void CloseBoth() {
    CloseRead();
    CloseWrite();
  }
};

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, const SubprocessOptions& options) {
  Launch(argv, options);
  if (Started()) reader = std::thread([this] { ReaderLoop(); });
}

Subprocess::~Subprocess() {
  if (Started() && !reaped) Kill();
  if (reader.joinable()) {
    {
      std::lock_guard<std::mutex> guard(lock);
      out.ended = err.ended = true;
    }
    reader.join();
  }
  for (int fd : {out.fd, err.fd, stdinFd}) {
    if (fd >= 0) close(fd);
  }
}

void Subprocess::Launch(const std::vector<std::string>& argv, const SubprocessOptions& options) {
  if (argv.empty()) {
    startError = "no program given";
    return;
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environmentWith(options.extraEnv);
  std::vector<char*> argPointers = pointersTo(args);
  std::vector<char*> envPointers = pointersTo(env);
  const char* directory =
      options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

  Pipe in, outPipe, errPipe, report;
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool opened = devNull >= 0 && outPipe.Open() && report.Open() &&
                (options.mergeStderr || errPipe.Open()) && (!options.stdinPipe || in.Open());
  if (!opened) {
    startError = "pipe: " + errnoText(errno);
  } else {
    pid = fork();
    if (pid == 0) {
      execChild(options.stdinPipe ? in.read : devNull, outPipe.write,
                options.mergeStderr ? outPipe.write : errPipe.write, report.write, directory,
                argPointers.data(), envPointers.data());
    }
    if (pid < 0) startError = "fork: " + errnoText(errno);
  }
  if (devNull >= 0) close(devNull);
  in.CloseRead();
  outPipe.CloseWrite();
  errPipe.CloseWrite();
  report.CloseWrite();
  if (pid > 0) {
    setpgid(pid, pid);  // also here, so that signalling the group cannot race the child
    int childErrno = 0;
    ssize_t got = ::read(report.read, &childErrno, sizeof childErrno);
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
      startError = argv[0] + ": " + errnoText(childErrno);
      Reap(true);
      pid = -1;
    }
  }
  report.CloseRead();
  if (pid <= 0) {
    in.CloseWrite();
    outPipe.CloseRead();
    errPipe.CloseRead();
    return;
  }
  stdinFd = in.write;
  out.fd = outPipe.read;
  out.ended = false;
  err.fd = errPipe.read;
  err.ended = err.fd < 0;
}

void Subprocess::ReaderLoop() {
  char buffer[READ_CHUNK];
  for (;;) {
    pollfd fds[2];
    Stream* streams[2];
    nfds_t count = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (Stream* s : {&out, &err}) {
        if (s->ended) continue;
        fds[count] = pollfd{s->fd, POLLIN, 0};
        streams[count++] = s;
      }
    }
    if (count == 0) return;
    if (poll(fds, count, READER_POLL_MILLIS) < 0 && errno != EINTR) return;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      std::lock_guard<std::mutex> guard(lock);
      if (n > 0) {
        streams[i]->data.append(buffer, static_cast<size_t>(n));
      } else {
        streams[i]->ended = true;
      }
      changed.notify_all();
    }
  }
}

bool Subprocess::ReadLine(Stream& stream, std::string* line, int timeoutMillis) {
  std::unique_lock<std::mutex> guard(lock);
  bool ready = changed.wait_until(guard, deadlineAfter(timeoutMillis), [&] {
    return stream.data.find('\n') != std::string::npos || stream.ended;
  });
  size_t end = stream.data.find('\n');
  if (!ready || (end == std::string::npos && stream.data.empty())) return false;
  if (end == std::string::npos) end = stream.data.size();
  *line = stream.data.substr(0, end);
  stream.data.erase(0, end + 1);
  return true;
}

bool Subprocess::ReadStdoutLine(std::string* line, int timeoutMillis) {
  return ReadLine(out, line, timeoutMillis);
}

bool Subprocess::ReadStderrLine(std::string* line, int timeoutMillis) {
  return ReadLine(err, line, timeoutMillis);
}

bool Subprocess::WaitForStdoutLine(const std::string& text, int timeoutMillis,
                                   std::string* found) {
  Clock::time_point deadline = deadlineAfter(timeoutMillis);
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !ReadStdoutLine(&line, static_cast<int>(left.count()))) return false;
    if (line.find(text) == std::string::npos) continue;
    if (found != nullptr) *found = line;
    return true;
  }
}

std::string Subprocess::TakeStdout() {
  std::lock_guard<std::mutex> guard(lock);
  return std::exchange(out.data, std::string());
}

std::string Subprocess::TakeStderr() {
  std::lock_guard<std::mutex> guard(lock);
  return std::exchange(err.data, std::string());
}

bool Subprocess::WaitForOutputEnd(int timeoutMillis) {
  std::unique_lock<std::mutex> guard(lock);
  return changed.wait_until(guard, deadlineAfter(timeoutMillis),
                            [&] { return out.ended && err.ended; });
}

bool Subprocess::WriteStdin(const std::string& data) {
  size_t done = 0;
  while (stdinFd >= 0 && done < data.size()) {
    ssize_t n = ::write(stdinFd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return stdinFd >= 0;
}

void Subprocess::CloseStdin() {
  if (stdinFd >= 0) close(stdinFd);
  stdinFd = -1;
}

bool Subprocess::Reap(bool block) {
  if (reaped) return true;
  if (pid <= 0) return false;
  int raw = 0;
  pid_t got;
  do {
    got = waitpid(pid, &raw, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return false;
  reaped = true;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

bool Subprocess::Wait(int timeoutMillis, int* exitStatus) {
  Clock::time_point deadline = deadlineAfter(timeoutMillis);
  while (!Reap(false)) {
    if (pid <= 0 || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(WAIT_STEP_MILLIS));
  }
  if (exitStatus != nullptr) *exitStatus = status;
  return true;
}

bool Subprocess::Running() { return pid > 0 && !Reap(false); }

void Subprocess::Signal(int signalNumber) {
  if (pid > 0 && !reaped) kill(pid, signalNumber);
}

void Subprocess::SignalGroup(int signalNumber) {
  if (pid > 0 && !reaped) killpg(pid, signalNumber);
}

void Subprocess::Kill() {
  SignalGroup(SIGKILL);
  Reap(true);
}

SubprocessResult Subprocess::Run(const std::vector<std::string>& argv, int timeoutMillis,
                                 const SubprocessOptions& options) {
  SubprocessResult result;
  Clock::time_point deadline = deadlineAfter(timeoutMillis);
  Subprocess child(argv, options);
  if (!child.Started()) {
    result.error = child.StartError();
    return result;
  }
  child.WaitForOutputEnd(timeoutMillis);
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  result.finished = child.Wait(std::max<int>(0, static_cast<int>(left.count())),
                               &result.exitStatus);
  if (!result.finished) child.Kill();
  child.WaitForOutputEnd(1000);
  result.out = child.TakeStdout();
  result.err = child.TakeStderr();
  return result;
}

std::string binaryPath(const std::string& name) {
  const char* dir = std::getenv("KELV_BIN_DIR");
  return dir != nullptr ? std::string(dir) + "/" + name : name;
}

std::string sourcePath(const std::string& relative) {
  const char* dir = std::getenv("KELV_SOURCE_DIR");
  return (dir != nullptr ? std::string(dir) : std::string(KELV_TESTING_DIR) + "/..") + "/" +
         relative;
}

}  // namespace kelv
