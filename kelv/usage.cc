#include "kelv/usage.h"

namespace kelv {
namespace {

constexpr char USAGE_TEXT[] =
    "Usage: kelv [options] [URL | @file]\n"
    "-1 --one                Send just one request and exit\n"
    "-c --concurrency        Number of concurrent requests (default 1)\n"
    "-d --duration           Test duration in seconds\n"
    "-f --input-file         File name to send on PUT and POST requests\n"
    "-h --help               Display this message\n"
    "-k --keep-alive         Keep-alive duration:\n"
    "      0 to disable, non-zero for timeout\n"
    "-t --content-type       Value of the Content-Type header\n"
    "-u --username-password  Credentials for HTTP Basic authentication\n"
    "       in username:password format\n"
    "-v --verbose            Verbose output\n"
    "   --version            Version information\n"
    "-w --warmup             Warm-up duration, in seconds (default 0)\n"
    "-x --method             HTTP request method (default GET)\n"
    "-C --cipherlist         Cipher list offered to server for HTTPS\n"
    "-F --certificate        PEM file containing CA certificates to trust\n"
    "-H --header             HTTP header line in Name: Value format\n"
    "-K --iothreads          Number of I/O threads to spawn\n"
    "       default == number of CPU cores\n"
    "-N --name               Name to put in CSV output to identify test run\n"
    "-O --oauth              OAuth 1.0 signature\n"
    "       in format consumerkey:secret:token:secret\n"
    "-S --csv-output         Output all test results in a single CSV line\n"
    "-T --header-line        Do not run, but output a single CSV header line\n"
    "-V --verify             Verify TLS peer\n"
    "-W --think-time         Think time to wait in between requests\n"
    "        in milliseconds\n"
    "-M --monitor            Host name and port number of kelvmon\n"
    "-X --monitor2           Second host name and port number of kelvmon\n"
    "   --json               Write the whole result as JSON to a file\n"
    "       (- for standard output, in place of the report)\n"
    "   --merge              Report the JSON results named as arguments\n"
    "       as if from one run\n"
    "   --start-at           Wait until then to connect: a UTC time\n"
    "       (2026-12-09T13:00:00Z) or seconds since the epoch\n"
    "   --html               Write the result as a page of charts\n"
    "       and tables to a file, for any browser\n"
    "\n"
    "The last argument may be an http or https URL, or an \"@\" symbol\n"
    "followed by a file name. If a file name, then kelv will read the file\n"
    "as a list of URLs, one per line, and randomly test each one.\n"
    "\n"
    "  if -S is used then output is CSV-separated on one line:\n"
    "  name,throughput,avg. latency,threads,connections,duration,completed,successful,errors,"
    "sockets,min. latency,max. latency,50%,90%,98%,99%\n"
    "\n"
    "  if -O is used then the value is four parameters, separated by a colon:\n"
    "  consumer key:secret:token:secret. You may omit the last two.\n"
    "\n";

}  // namespace

void printUsage(std::ostream& out) { out << USAGE_TEXT << std::flush; }

}  // namespace kelv
