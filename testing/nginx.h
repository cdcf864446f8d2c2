#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {

struct NginxOptions {
  // PEM certificate and key (e.g. from testing/test_certs); with both set nginx also serves
  // HTTPS on a second port.
  std::string certFile;
  std::string keyFile;
  // Log every request to the access log, one line per request:
  //   "<connection serial> <request number on that connection> <status> <method> <uri>"
  // so that tests can count requests and connections. Off by default (full speed).
  bool accessLog = false;
  // Ends each access log line with " <msec>": when nginx logged it, seconds since the epoch
  // with milliseconds.
  bool logTimes = false;
  // Listen on ::1 as well as on 127.0.0.1 (same port numbers).
  bool ipv6 = false;
  // The body of "/" (answered from the configuration, no file I/O); "/moved" answers 302.
  std::string rootBody = "ok";
  int keepaliveTimeoutSeconds = 75;
};

// Debian's nginx (/usr/sbin/nginx) for black-box tests: one worker, on free loopback ports,
// with its configuration, logs, pid file, temporary paths and document root in a scratch
// directory of its own; unlimited keep-alive requests; as root the worker stays root so that
// it can read the scratch directory. Started by the constructor (ok() tells whether it
// listens), stopped with SIGTERM (then SIGKILL) by Stop or the destructor.
class NginxServer {
 public:
  explicit NginxServer(const NginxOptions& options = {});
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;
  ~NginxServer();

  bool ok() const { return process != nullptr; }
  const std::string& Error() const { return error; }

  uint16_t HttpPort() const { return httpPort; }
  uint16_t HttpsPort() const { return httpsPort; }  // 0 without a certificate
  // "http://127.0.0.1:<port>" + path (or "https://..." on the HTTPS port).
  std::string HttpUrl(std::string_view path = "/") const;
  std::string HttpsUrl(std::string_view path = "/") const;

  // Places a file in the document root, served at "/" + path from now on.
  bool AddFile(std::string_view path, std::string_view content);

  // Requests in the access log so far, and the distinct connections they came on (-1 when
  // the access log is off).
  int LoggedRequests() const;
  int LoggedConnections() const;
  // Waits until the log holds at least count requests and stops growing; the final count.
  int WaitForLoggedRequests(int count, int timeoutMillis) const;
  std::string AccessLog() const;
  std::string ErrorLog() const;

  void Stop();

 private:
  bool Launch();
  std::string Configuration() const;

  NginxOptions options;
  ScratchDir dir{"kelv-nginx"};
  std::unique_ptr<Subprocess> process;
  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  std::string error;
};

}  // namespace kelv
