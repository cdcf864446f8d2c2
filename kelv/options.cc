#include "kelv/options.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/strings/ascii.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "lib/engine/io_thread.h"
#include "lib/signing/base64.h"
#include "lib/util/clock.h"
#include "lib/util/strings.h"
#include "lib/util/wall_time.h"

namespace kelv {
namespace {

// Options with a long form only have codes beyond every character.
constexpr int OPTION_TIMEOUT = 256;
constexpr int OPTION_MONITOR_PROCESS = 257;
constexpr int OPTION_JSON = 258;
constexpr int OPTION_MERGE = 259;
constexpr int OPTION_START_AT = 260;
constexpr int OPTION_HTML = 261;
// A timeout is kept in nanoseconds: at least one, and well inside 64 bits.
constexpr double MIN_TIMEOUT_SECONDS = 1e-9;
constexpr double MAX_TIMEOUT_SECONDS = 1e6;
// A slot is kept in nanoseconds: at least one a day, and well above one per nanosecond.
constexpr double MIN_RATE = 1.0 / 86400;
constexpr double MAX_RATE = 1e8;
// "proc " and the name must fit one line of kelvmon's 128-byte buffer, line end included.
constexpr size_t MAX_PROCESS_NAME = 122;

constexpr char SHORT_OPTIONS[] = "c:d:f:hk:t:u:vw:x:C:F:H:O:K:M:X:N:R:STVW:Z1";

const option LONG_OPTIONS[] = {
    {"concurrency", required_argument, nullptr, 'c'},
    {"duration", required_argument, nullptr, 'd'},
    {"input-file", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"keep-alive", required_argument, nullptr, 'k'},
    {"content-type", required_argument, nullptr, 't'},
    {"username-password", required_argument, nullptr, 'u'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'Z'},
    {"warmup", required_argument, nullptr, 'w'},
    {"method", required_argument, nullptr, 'x'},
    {"cipherlist", required_argument, nullptr, 'C'},
    {"certificate", required_argument, nullptr, 'F'},
    {"header", required_argument, nullptr, 'H'},
    {"oauth", required_argument, nullptr, 'O'},
    {"iothreads", required_argument, nullptr, 'K'},
    {"monitor", required_argument, nullptr, 'M'},
    {"monitor2", required_argument, nullptr, 'X'},
    {"monitor-process", required_argument, nullptr, OPTION_MONITOR_PROCESS},
    {"name", required_argument, nullptr, 'N'},
    {"csv-output", no_argument, nullptr, 'S'},
    {"header-line", no_argument, nullptr, 'T'},
    {"verify", no_argument, nullptr, 'V'},
    {"one", no_argument, nullptr, '1'},
    {"think-time", required_argument, nullptr, 'W'},
    {"timeout", required_argument, nullptr, OPTION_TIMEOUT},
    {"rate", required_argument, nullptr, 'R'},
    {"json", required_argument, nullptr, OPTION_JSON},
    {"merge", no_argument, nullptr, OPTION_MERGE},
    {"start-at", required_argument, nullptr, OPTION_START_AT},
    {"html", required_argument, nullptr, OPTION_HTML},
    {nullptr, 0, nullptr, 0},
};

struct KnownHeader {
  const char* name;
  unsigned flag;
};

// Compared in this order; the first match wins.
constexpr KnownHeader KNOWN_HEADERS[] = {
    {"Host", HEADER_HOST},
    {"Content-Length", HEADER_CONTENT_LENGTH},
    {"Content-Type", HEADER_CONTENT_TYPE},
    {"Authorization", HEADER_AUTHORIZATION},
    {"Connection", HEADER_CONNECTION},
    {"User-Agent", HEADER_USER_AGENT},
};

// The decisions that wait until every option has been read.
struct OptionState {
  ParseResult result;
  bool showHelp = false;
  bool showVersion = false;
  bool usageError = false;
  bool thinkTimeGiven = false;
  bool merge = false;
};

// Options whose value goes as it is into every request's head, or into the CSV line (-N): a
// CR or LF there would split each request, or the line, in two.
constexpr std::string_view ONE_LINE_OPTIONS = "HtuxN";

// False, with the reason on standard error, for a value that would break its line.
bool oneLineValue(int letter, std::string_view value) {
  if (letter == 'H' && value.empty()) {
    std::fprintf(stderr, "kelv: an empty header line (-H) would end the request head\n");
    return false;
  }
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    std::fprintf(stderr, "kelv: the value of option -%c must not hold a line break\n", letter);
    return false;
  }
  return true;
}

// A base-10 32-bit number with optional blanks around it and an optional sign.
bool readNumber(const char* value, int letter, int32_t* target) {
  int32_t number = 0;
  if (!absl::SimpleAtoi(value, &number)) {
    std::fprintf(stderr, "kelv: invalid number \"%s\" for option -%c\n", value, letter);
    return false;
  }
  *target = number;
  return true;
}

// A plain decimal number ("0.5", "10") from `lowest` to `highest`, with optional blanks
// around it.
bool readDecimal(const char* value, double lowest, double highest, double* target) {
  const absl::string_view text = absl::StripAsciiWhitespace(value);
  const size_t digits = std::count_if(text.begin(), text.end(), absl::ascii_isdigit);
  const size_t points = std::count(text.begin(), text.end(), '.');
  double number = 0;
  if (digits == 0 || digits + points != text.size() || points > 1 ||
      !absl::SimpleAtod(text, &number) || number < lowest || number > highest) {
    return false;
  }
  *target = number;
  return true;
}

// A positive number of requests per second.
bool readRate(const char* value, double* target) {
  if (readDecimal(value, MIN_RATE, MAX_RATE, target)) return true;
  std::fprintf(stderr,
               "kelv: invalid rate \"%s\": a positive number of requests per second up to %.0f "
               "is expected\n",
               value, MAX_RATE);
  return false;
}

// A positive decimal number of seconds.
bool readSeconds(const char* value, double* target) {
  if (!readDecimal(value, MIN_TIMEOUT_SECONDS, MAX_TIMEOUT_SECONDS, target)) {
    std::fprintf(stderr,
                 "kelv: invalid timeout \"%s\": a positive number of seconds up to %.0f is "
                 "expected\n",
                 value, MAX_TIMEOUT_SECONDS);
    return false;
  }
  return true;
}

// A UTC time still to come (see parseWallTime).
bool readStartTime(const char* value, int64_t* target) {
  const std::optional<int64_t> wall = parseWallTime(value);
  if (!wall) {
    std::fprintf(stderr,
                 "kelv: invalid start time \"%s\": a UTC time such as 2026-12-09T13:00:00Z or "
                 "seconds since the epoch is expected\n",
                 value);
    return false;
  }
  if (*wall <= wallClockNow()) {
    std::fprintf(stderr, "kelv: the start time %s (--start-at) has passed\n",
                 isoTimeMillis(*wall).c_str());
    return false;
  }
  *target = *wall;
  return true;
}

int32_t* numberField(Settings& settings, int letter) {
  switch (letter) {
    case 'c':
      return &settings.concurrency;
    case 'd':
      return &settings.durationSeconds;
    case 'k':
      return &settings.keepAlive;
    case 'K':
      return &settings.numThreads;
    case 'w':
      return &settings.warmupSeconds;
    case 'W':
      return &settings.thinkTime;
    default:
      return nullptr;
  }
}

// Acts on one getopt_long result. False when the loop must end at once (-T).
bool applyOption(OptionState& state, int letter, const char* value) {
  Settings& settings = state.result.settings;
  if (int32_t* number = numberField(settings, letter)) {
    if (!readNumber(value, letter, number)) state.usageError = true;
    if (letter == 'W') state.thinkTimeGiven = true;
    return true;
  }
  if (ONE_LINE_OPTIONS.find(static_cast<char>(letter)) != std::string_view::npos &&
      !oneLineValue(letter, value)) {
    state.usageError = true;
    return true;
  }
  switch (letter) {
    case 'f':
      settings.inputFile = value;
      break;
    case 'h':
      state.showHelp = true;
      break;
    case 't':
      settings.contentType = value;
      break;
    case 'u':
      addHeaderLine(settings, basicAuthorizationLine(value));
      break;
    case 'v':
      settings.verbose = true;
      break;
    case 'Z':
      state.showVersion = true;
      break;
    case 'x':
      settings.method = value;
      break;
    case 'C':
      settings.cipherList = value;
      break;
    case 'F':
      settings.caFile = value;
      break;
    case 'H':
      addHeaderLine(settings, value);
      break;
    case 'O':
      settings.oauthCredentials = parseOAuthCredentials(value);
      settings.headerFlags |= HEADER_AUTHORIZATION;
      break;
    case 'M':
      settings.monitorHost1 = value;
      break;
    case 'X':
      settings.monitorHost2 = value;
      break;
    case OPTION_MONITOR_PROCESS:
      settings.monitorProcess = value;
      break;
    case 'N':
      settings.runName = value;
      break;
    case 'S':
      settings.csvOutput = true;
      break;
    case 'T':
      state.result.action = ParseAction::CSV_HEADER;
      return false;
    case 'V':
      settings.verifyPeer = true;
      break;
    case '1':
      settings.oneRequest = true;
      break;
    case OPTION_TIMEOUT:
      if (!readSeconds(value, &settings.timeoutSeconds)) state.usageError = true;
      break;
    case 'R':
      if (!readRate(value, &settings.rate)) state.usageError = true;
      break;
    case OPTION_JSON:
      settings.jsonPath = value;
      break;
    case OPTION_MERGE:
      state.merge = true;
      break;
    case OPTION_START_AT:
      if (!readStartTime(value, &settings.startAtWall)) state.usageError = true;
      break;
    case OPTION_HTML:
      settings.htmlPath = value;
      break;
    default:
      state.usageError = true;
      break;  // '?' and ':': getopt has said why
  }
  return true;
}

// Values that parse as numbers but would leave the run without meaning.
bool valuesInRange(const Settings& settings) {
  if (settings.concurrency < 1) {
    std::fprintf(stderr, "kelv: the connection count (-c) must be 1 or more, not %d\n",
                 settings.concurrency);
    return false;
  }
  const std::string& process = settings.monitorProcess;
  if (process.size() > MAX_PROCESS_NAME || process.find_first_of("\r\n") != std::string::npos) {
    std::fprintf(stderr,
                 "kelv: the process (--monitor-process) must be a name or number of at most %zu "
                 "characters on one line\n",
                 MAX_PROCESS_NAME);
    return false;
  }
  if (settings.csvOutput && settings.JsonOnStandardOutput()) {
    std::fprintf(stderr, "kelv: -S and --json - would both write to standard output\n");
    return false;
  }
  if (settings.thinkTime < 0) {
    std::fprintf(stderr, "kelv: the think time (-W) must be 0 or more, not %d\n",
                 settings.thinkTime);
    return false;
  }
  return true;
}

// A send schedule leaves no room for think time, and one-request mode sends no stream.
bool rateCombines(const OptionState& state) {
  const Settings& settings = state.result.settings;
  if (settings.rate <= 0) return true;
  if (state.thinkTimeGiven) {
    std::fprintf(stderr, "kelv: a rate (-R) and a think time (-W) cannot be combined\n");
    return false;
  }
  if (settings.oneRequest) {
    std::fprintf(stderr, "kelv: a rate (-R) and one-request mode (-1) cannot be combined\n");
    return false;
  }
  return true;
}

// --merge takes every argument as a result file.
ParseAction decideMerge(Settings& settings, int argc, char** argv) {
  if (optind >= argc) {
    std::fprintf(stderr, "kelv: --merge needs one or more result files\n");
    return ParseAction::USAGE_ERROR;
  }
  settings.mergeFiles.assign(argv + optind, argv + argc);
  return ParseAction::MERGE;
}

// The order of the decisions after the loop: help, version, usage errors, then the URL.
ParseAction decide(OptionState& state, int argc, char** argv) {
  if (state.showHelp) return ParseAction::HELP;
  if (state.showVersion) return ParseAction::VERSION;
  Settings& settings = state.result.settings;
  if (state.usageError || !valuesInRange(settings) || !rateCombines(state)) {
    return ParseAction::USAGE_ERROR;
  }
  if (state.merge) return decideMerge(settings, argc, argv);
  if (argc - optind != 1) return ParseAction::USAGE_ERROR;
  settings.url = argv[optind];
  // After every -H and -u line, so that a user's own Content-Type line comes first.
  if (!settings.contentType.empty()) {
    addHeaderLine(settings, absl::StrCat("Content-Type: ", settings.contentType));
  }
  if (settings.url.empty()) return ParseAction::HELP;
  return ParseAction::RUN;
}

}  // namespace

ParseResult parseOptions(int argc, char** argv) {
  OptionState state;
  optind = 0;  // glibc: 0 re-initialises getopt completely, including its permutation state
  int letter;
  while ((letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
    if (!applyOption(state, letter, optarg)) return std::move(state.result);
  }
  state.result.action = decide(state, argc, argv);
  return std::move(state.result);
}

void addHeaderLine(Settings& settings, std::string_view text) {
  std::string_view name = text.substr(0, text.find(':'));
  for (const KnownHeader& known : KNOWN_HEADERS) {
    if (equalsIgnoreCase(name, known.name)) {
      settings.headerFlags |= known.flag;
      break;
    }
  }
  settings.headerLines.emplace_back(text);
}

std::string basicAuthorizationLine(std::string_view userPassword) {
  const int length = static_cast<int>(userPassword.size());
  std::string encoded(static_cast<size_t>(base64EncodedLength(length)) + 1, '\0');
  const int written = base64Encode(
      encoded.data(), reinterpret_cast<const unsigned char*>(userPassword.data()), length);
  encoded.resize(written > 0 ? static_cast<size_t>(written) - 1 : 0);  // written counts the NUL
  return absl::StrCat("Authorization: Basic ", encoded);
}

OAuthCredentials parseOAuthCredentials(std::string_view text) {
  // Empty pieces are kept: "k::t" leaves the consumer secret empty.
  std::vector<absl::string_view> pieces =
      absl::StrSplit(absl::string_view(text.data(), text.size()), ':');
  OAuthCredentials credentials;
  std::string* fields[] = {&credentials.consumerKey, &credentials.consumerSecret,
                           &credentials.token, &credentials.tokenSecret};
  for (size_t i = 0; i < pieces.size() && i < std::size(fields); ++i)
    fields[i]->assign(pieces[i].data(), pieces[i].size());
  return credentials;
}

}  // namespace kelv
