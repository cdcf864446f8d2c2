#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelv {

struct SubprocessOptions {
  std::vector<std::string> extraEnv;  // "NAME=value" entries added to the inherited environment
  std::string workingDirectory;       // empty: the caller's
  bool stdinPipe = false;             // false: standard input is /dev/null
  bool mergeStderr = false;           // true: standard error goes to the stdout pipe
};

// What a process left behind once it has ended (see Subprocess::Run).
struct SubprocessResult {
  bool finished = false;  // false when it had to be killed at the timeout, or did not start
  int exitStatus = -1;    // the exit code, or 128 + the signal number
  std::string out;
  std::string err;
  std::string error;  // why it did not start, when it did not
};

// A child process for tests: started with an argument vector (argv[0] is searched in PATH), in
// its own process group, with SIGPIPE, SIGINT and SIGTERM restored to their defaults and no
// descriptor of the test beyond the three standard ones. A reader thread drains its stdout
// and stderr as they come, so the child never blocks on a full pipe. The destructor kills the
// whole process group (SIGKILL) if the child is still running, and reaps it.
class Subprocess {
 public:
  explicit Subprocess(const std::vector<std::string>& argv, const SubprocessOptions& options = {});
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  ~Subprocess();

  // Runs a process to its end, at most timeoutMillis, and returns what it printed.
  static SubprocessResult Run(const std::vector<std::string>& argv, int timeoutMillis,
                              const SubprocessOptions& options = {});

  bool Started() const { return pid > 0; }
  const std::string& StartError() const { return startError; }
  pid_t Pid() const { return pid; }

  // The next line of stdout / stderr without its "\n". False when none came within the time
  // or the stream ended (a last line without "\n" is still delivered).
  bool ReadStdoutLine(std::string* line, int timeoutMillis);
  bool ReadStderrLine(std::string* line, int timeoutMillis);
  // Waits until a stdout line contains the text, skipping others; the line when found.
  bool WaitForStdoutLine(const std::string& text, int timeoutMillis, std::string* line = nullptr);

  // Everything received so far that no Read*Line call has taken.
  std::string TakeStdout();
  std::string TakeStderr();
  // Waits until both output streams have ended (the child closed them), at most the time.
  bool WaitForOutputEnd(int timeoutMillis);

  // Writes to the child's standard input (stdinPipe only); CloseStdin sends end-of-file.
  bool WriteStdin(const std::string& data);
  void CloseStdin();

  // Waits for the child to end; its exit status (exit code, or 128 + signal) when it did.
  bool Wait(int timeoutMillis, int* exitStatus = nullptr);
  bool Running();
  // Sends a signal to the child alone, or to its whole process group.
  void Signal(int signalNumber);
  void SignalGroup(int signalNumber);
  // SIGKILL to the process group, then reaps the child.
  void Kill();

 private:
  struct Stream {
    int fd = -1;
    std::string data;
    bool ended = true;
  };

  void Launch(const std::vector<std::string>& argv, const SubprocessOptions& options);
  void ReaderLoop();
  bool ReadLine(Stream& stream, std::string* line, int timeoutMillis);
  bool Reap(bool block);

  pid_t pid = -1;
  std::string startError;
  int stdinFd = -1;
  bool reaped = false;
  int status = -1;

  std::mutex lock;
  std::condition_variable changed;
  Stream out;
  Stream err;
  std::thread reader;
};

// The path of a program of this build (KELV_BIN_DIR/name), or of a file of the source tree.
std::string binaryPath(const std::string& name);
std::string sourcePath(const std::string& relative);

}  // namespace kelv
