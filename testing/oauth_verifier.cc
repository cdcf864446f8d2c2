#include "testing/oauth_verifier.h"

#include <gtest/gtest.h>

#include "testing/subprocess.h"

namespace kelv {
namespace {

// oauthlib is installed for the system interpreter, which another python3 on PATH may
// not see.
constexpr char SYSTEM_PYTHON[] = "/usr/bin/python3";
constexpr int VERIFY_TIMEOUT_MILLIS = 60000;

}  // namespace

std::vector<std::string> verifyOAuthSignatures(const std::vector<SignedRequest>& requests) {
  std::vector<std::string> argv = {SYSTEM_PYTHON, sourcePath("testing/oauth_verify.py")};
  for (const SignedRequest& r : requests) {
    argv.insert(argv.end(), {r.method, r.url, r.header, r.consumerSecret, r.tokenSecret});
  }
  const SubprocessResult result = Subprocess::Run(argv, VERIFY_TIMEOUT_MILLIS);
  EXPECT_TRUE(result.finished) << result.error << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(result.out.substr(start, end - start));
  }
  return lines;
}

}  // namespace kelv
