#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/signing/oauth.h"

namespace kelv {

// Everything the command line decides. Only the option parser writes it; the driver hands
// the values to each IOThread and reads the rest itself.
struct Settings {
  int32_t concurrency = 1;
  int32_t durationSeconds = 60;
  int32_t warmupSeconds = 0;
  std::string inputFile;
  int32_t keepAlive = -1;  // -1: option not given; any given value turns keep-alive off
  std::string contentType;
  bool verbose = false;
  std::string method;  // empty: POST with a body file, GET otherwise
  std::string cipherList;
  std::string caFile;
  int32_t numThreads = -1;  // 0 or less: one per online processor
  std::string monitorHost1;
  std::string monitorHost2;
  std::string monitorProcess;  // --monitor-process: a name or number each monitor is asked about
  std::string runName;
  bool csvOutput = false;
  bool verifyPeer = false;
  int32_t thinkTime = 0;  // milliseconds
  bool oneRequest = false;
  double timeoutSeconds = 0;  // --timeout; 0: none given (one-request mode then has its own)
  double rate = 0;            // -R, requests per second over all connections; 0: closed loop
  std::vector<std::string> headerLines;  // without line ends, in the order added
  unsigned headerFlags = 0;              // HEADER_* bits of the headers the user supplied
  std::optional<OAuthCredentials> oauthCredentials;
  std::string url;  // the single argument: a URL, or "@" and a URL file name
  std::string jsonPath;  // --json: the result's file, "-" for standard output; empty: none
  int64_t startAtWall = 0;  // --start-at, nanoseconds since the epoch; 0: start at once
  std::vector<std::string> mergeFiles;  // --merge: the results to merge, in order
  std::string htmlPath;  // --html: the report page's file; empty: none

  // Whether the result's JSON takes the place of the text report on standard output.
  bool JsonOnStandardOutput() const { return jsonPath == "-"; }

  const OAuthCredentials* OAuth() const { return oauthCredentials ? &*oauthCredentials : nullptr; }
};

// What main does once the options are read.
enum class ParseAction {
  RUN,          // settings are complete: load the targets and run
  CSV_HEADER,   // -T: print the CSV header line, exit 0
  HELP,         // -h, or an empty URL argument: usage, exit 0
  VERSION,      // --version: version lines, exit 0
  MERGE,        // --merge: the arguments are result files, to report as one run
  USAGE_ERROR,  // usage on standard error, exit 1
};

struct ParseResult {
  ParseAction action = ParseAction::RUN;
  Settings settings;
};

// Reads argv with getopt_long (which may permute argv). Diagnostics of bad options and
// values go to standard error at once; the usage text is left to the caller. getopt's
// state is reset first, so the parser may be called more than once in a process.
ParseResult parseOptions(int argc, char** argv);

// Appends a user header line unchanged and sets the HEADER_* bit its name matches.
void addHeaderLine(Settings& settings, std::string_view text);
// "Authorization: Basic " and the Base64 form of the whole user:password value.
std::string basicAuthorizationLine(std::string_view userPassword);
// key:secret:token:secret; missing pieces stay empty, pieces after the fourth are ignored.
OAuthCredentials parseOAuthCredentials(std::string_view text);

}  // namespace kelv
