// How a connection's received bytes travel: reads land in a buffer its thread shares while
// nothing is left over, and what the parser leaves must lead the next read's bytes, also
// when other connections of the thread have read in between.

#include <gtest/gtest.h>

#include <string>

#include "testing/engine_test_util.h"
#include "testing/scripted_server.h"

namespace kelv {
namespace {

// The parser stops after an upgrade's head and leaves the bytes of the new protocol; the
// next request's read shows them (verbose prints every parsed byte) ahead of the next answer.
TEST(ReadPath, BytesLeftByTheParserLeadTheNextRead) {
  ScriptedServerOptions options;
  options.behaviour = "upgrade";
  options.body = "LEFT-BY-THE-PARSER";
  ScriptedServer server(options);
  ASSERT_TRUE(server.ok()) << server.Error();
  TargetListForTest targets({server.Url()});
  auto thread = makeThread(3);
  thread->verbose = true;
  const std::string verbose = runUntilServed(*thread, server, 6).verbose;
  server.Stop();
  const std::string head = "HTTP/1.1 101 Switching Protocols\r\n";
  // Each connection: its first read ends in the leftover, its second starts with it.
  EXPECT_GE(countOccurrences(verbose, head + "Connection: Upgrade\r\nUpgrade: echo\r\n\r\n" +
                                          options.body + "Parsed "),
            3)
      << verbose;
  EXPECT_GE(countOccurrences(verbose, options.body + head), 3) << verbose;
}

}  // namespace
}  // namespace kelv
