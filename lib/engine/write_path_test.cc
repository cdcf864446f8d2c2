// How a connection's received bytes travel: reads land in a buffer its thread shares while
// nothing is left over, and what the parser leaves must lead the next read's bytes, also
// when other connections of the thread have read in between.

#include <gtest/gtest.h>

#include <string>

#include "testing/engine_test_util.h"
#include "testing/scripted_server.h"
#include "testing/wait_until.h"

namespace kelv {
namespace {

constexpr int WAIT_MILLIS = 10000;

// The parser stops after an upgrade's head and leaves the bytes of the new protocol; the
// next request's read shows them (verbose prints every parsed byte) ahead of the next answer.
TEST(ReadPath, BytesLeftByTheParserLeadTheNextRead) {
  ScriptedServerOptions options;
  options.behaviour = "upgrade";
  options.body = "LEFT-BY-THE-PARSER";
  ScriptedServer server(options);
  ASSERT_TRUE(server.ok()) << server.Error();
  TargetListForTest targets({server.Url()});
  constexpr int CONNECTIONS = 3;
  auto thread = makeThread(CONNECTIONS);
  thread->verbose = true;
  // On each socket the second answer's read starts with the leftover, which the parser
  // refuses, so the socket is replaced: every socket carries at most two requests. Waits for
  // three sockets with their second request, whose answers the stop still reads, however
  // unevenly a busy machine shares the requests out over the connections.
  const auto secondRequestsSent = [&] {
    int sockets = 0;
    for (const std::string& bytes : server.Received()) {
      sockets += countOccurrences(bytes, "GET ") >= 2;
    }
    return sockets >= CONNECTIONS;
  };
  const auto untilJoined = [&] {
    EXPECT_TRUE(waitUntil(secondRequestsSent, WAIT_MILLIS)) << server.Received().size();
    thread->RequestStop(2);
    EXPECT_TRUE(joinWithin(*thread, WAIT_MILLIS));
  };
  const std::string verbose = runAndCollect(*thread, untilJoined).verbose;
  server.Stop();
  const std::string head = "HTTP/1.1 101 Switching Protocols\r\n";
  // On each socket: its first read ends in the leftover, its second starts with it.
  EXPECT_GE(countOccurrences(verbose, head + "Connection: Upgrade\r\nUpgrade: echo\r\n\r\n" +
                                          options.body + "Parsed "),
            CONNECTIONS)
      << verbose;
  EXPECT_GE(countOccurrences(verbose, options.body + head), CONNECTIONS) << verbose;
}

}  // namespace
}  // namespace kelv
