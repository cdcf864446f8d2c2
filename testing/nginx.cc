#include "testing/nginx.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "testing/loopback.h"

namespace kelv {
namespace {

constexpr const char* NGINX_BINARY = "/usr/sbin/nginx";
constexpr int START_ATTEMPTS = 3;
constexpr int LISTEN_TIMEOUT_MILLIS = 10000;
constexpr int STOP_TIMEOUT_MILLIS = 5000;
constexpr int LOG_POLL_MILLIS = 20;
constexpr int LOG_SETTLE_MILLIS = 100;

// A single-quoted nginx string.
std::string quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// As root the worker would become "nobody" and could not read the scratch directory.
std::string userDirective() {
  if (geteuid() != 0) return "";
  const passwd* user = getpwuid(geteuid());
  const group* grp = getgrgid(getegid());
  if (user == nullptr || grp == nullptr) return "";
  return std::string("user ") + user->pw_name + " " + grp->gr_name + ";\n";
}

std::string listenLines(uint16_t port, bool ipv6, const char* suffix) {
  std::string lines = "    listen 127.0.0.1:" + std::to_string(port) + suffix + ";\n";
  if (ipv6) lines += "    listen [::1]:" + std::to_string(port) + suffix + ";\n";
  return lines;
}

}  // namespace

NginxServer::NginxServer(const NginxOptions& nginxOptions) : options(nginxOptions) {
  if (dir.Path().empty()) {
    error = "cannot create a scratch directory";
    return;
  }
  for (int attempt = 0; attempt < START_ATTEMPTS && !Launch(); ++attempt) {
  }
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::Configuration() const {
  std::string d = dir.Path();
  std::ostringstream conf;
  conf << userDirective() << "worker_processes 1;\n"
       << "worker_rlimit_nofile 65536;\n"
       << "pid " << d << "/nginx.pid;\n"
       << "error_log " << d << "/error.log warn;\n"
       << "events { worker_connections 8192; }\n"
       << "http {\n"
       << "  default_type text/plain;\n"
       << "  server_tokens off;\n"
       << "  keepalive_requests 2147483647;\n"
       << "  keepalive_timeout " << options.keepaliveTimeoutSeconds << "s;\n"
       << "  client_body_temp_path " << d << "/client_body;\n"
       << "  proxy_temp_path " << d << "/proxy;\n"
       << "  fastcgi_temp_path " << d << "/fastcgi;\n"
       << "  uwsgi_temp_path " << d << "/uwsgi;\n"
       << "  scgi_temp_path " << d << "/scgi;\n"
       << "  log_format counts '$connection $connection_requests $status $request_method "
          "$request_uri"
       << (options.logTimes ? " $msec" : "") << "';\n";
  if (options.accessLog) {
    conf << "  access_log " << d << "/access.log counts;\n";
  } else {
    conf << "  access_log off;\n";
  }
  conf << "  server {\n" << listenLines(httpPort, options.ipv6, "");
  if (httpsPort != 0) {
    conf << listenLines(httpsPort, options.ipv6, " ssl") << "    ssl_certificate "
         << options.certFile << ";\n"
         << "    ssl_certificate_key " << options.keyFile << ";\n";
  }
  conf << "    root " << d << "/html;\n"
       << "    location = / { return 200 " << quoted(options.rootBody) << "; }\n"
       << "    location = /moved { return 302 /; }\n"
       << "  }\n}\n";
  return conf.str();
}

bool NginxServer::Launch() {
  httpPort = pickFreeLoopbackPort();
  bool https = !options.certFile.empty() && !options.keyFile.empty();
  httpsPort = https ? pickFreeLoopbackPort() : 0;
  if (httpPort == 0 || (https && (httpsPort == 0 || httpsPort == httpPort))) {
    error = "no free loopback port";
    return false;
  }
  if (!dir.WriteFile("nginx.conf", Configuration()) || !dir.WriteFile("html/.keep", "")) {
    error = "cannot write the configuration";
    return false;
  }
  auto child = std::make_unique<Subprocess>(std::vector<std::string>{
      NGINX_BINARY, "-p", dir.Path() + "/", "-c", dir.File("nginx.conf"), "-e",
      dir.File("error.log"), "-g", "daemon off;"});
  if (!child->Started()) {
    error = child->StartError();
    return false;
  }
  bool listening = waitForLoopbackListener(httpPort, LISTEN_TIMEOUT_MILLIS) &&
                   (!https || waitForLoopbackListener(httpsPort, LISTEN_TIMEOUT_MILLIS));
  if (!listening || !child->Running()) {
    error = "nginx did not start: " + child->TakeStderr() + ErrorLog();
    return false;
  }
  process = std::move(child);
  error.clear();
  return true;
}

void NginxServer::Stop() {
  if (process == nullptr) return;
  process->Signal(SIGTERM);
  if (!process->Wait(STOP_TIMEOUT_MILLIS)) process->Kill();
  process.reset();
}

std::string NginxServer::HttpUrl(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(httpPort) + std::string(path);
}

std::string NginxServer::HttpsUrl(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(httpsPort) + std::string(path);
}

bool NginxServer::AddFile(std::string_view path, std::string_view content) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return dir.WriteFile("html/" + std::string(path), content);
}

std::string NginxServer::AccessLog() const { return readWholeFile(dir.File("access.log")); }

std::string NginxServer::ErrorLog() const { return readWholeFile(dir.File("error.log")); }

int NginxServer::LoggedRequests() const {
  if (!options.accessLog) return -1;
  std::string log = AccessLog();
  return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

int NginxServer::LoggedConnections() const {
  if (!options.accessLog) return -1;
  std::istringstream log(AccessLog());
  std::set<std::string> serials;
  std::string line;
  while (std::getline(log, line)) serials.insert(line.substr(0, line.find(' ')));
  return static_cast<int>(serials.size());
}

int NginxServer::WaitForLoggedRequests(int count, int timeoutMillis) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  int seen = LoggedRequests();
  while (seen < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(LOG_POLL_MILLIS));
    seen = LoggedRequests();
  }
  // A request answered just now may still be on its way to the log: let it settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(LOG_SETTLE_MILLIS));
  return LoggedRequests();
}

}  // namespace kelv
