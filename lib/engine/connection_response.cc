// Reading and parsing the response of a connection, and what follows a complete request.

#include <cstdio>
#include <cstring>
#include <string>

#include "lib/engine/connection.h"
#include "lib/engine/failures.h"
#include "lib/engine/io_thread.h"
#include "lib/targets/target_url.h"
#include "lib/util/clock.h"
#include "lib/util/verbose.h"

namespace kelv {
namespace {

// Shared by every connection of every thread; written once before any I/O thread runs. The
// parser only finds the end of each response, its status and keep-alive: no header or body
// bytes are delivered, so nothing is copied.
http_parser_settings parserSettings;

int onMessageComplete(http_parser* parser) {
  static_cast<Connection*>(parser->data)->MarkResponseDone();
  return 0;
}

// A response to HEAD announces a body it does not carry; 1 tells the parser so.
int onHeadersComplete(http_parser* parser) {
  return static_cast<Connection*>(parser->data)->ExpectsNoBody() ? 1 : 0;
}

void writeRaw(const char* data, size_t length) { std::fwrite(data, 1, length, stdout); }

// What the first error of the kinds found here says.
constexpr const char* CUT_OFF = "connection closed before the response was complete";
constexpr const char* NOT_A_RESPONSE = "not a valid HTTP response";

}  // namespace

void Connection::InitParserSettings() {
  http_parser_settings_init(&parserSettings);
  parserSettings.on_message_complete = onMessageComplete;
  parserSettings.on_headers_complete = onHeadersComplete;
}

StepResult Connection::ReadReady(int events) {
  verbosef(thread->verbose, "I/O ready on read path: %i\n", events);
  if (readLen >= READ_BUFFER_SIZE) {
    // The parser has left a whole buffer unconsumed without an error: a read of capacity 0
    // would look like the end of the stream, so give up on this response instead.
    verbosef(thread->verbose, "Parsing error %i\n", static_cast<int>(HPE_UNKNOWN));
    return FailRead(PhaseResult::PARSE_ERROR, ErrorKind::PARSE, NOT_A_RESPONSE,
                    "a whole buffer that the parser could not take");
  }
  // With nothing left over the bytes land in the thread's buffer, which every connection
  // of the thread shares and which stays in the cache.
  char* data = readLen == 0 ? thread->readScratch.get() : readBuf.get();
  size_t count = 0;
  IoResult result = socket->Read(data + readLen, READ_BUFFER_SIZE - readLen, &count);
  if (!result.status.ok()) {
    if (thread->verbose) {
      verbosef(true, "Error reading from socket: %s\n", result.status.ToString().c_str());
    }
    StopIo();
    if (CountError(transferErrorKind(result, false, true))) ShowError(ioFailureReason(result));
    ReadDone(PhaseResult::READ_FAILED);
    return StepResult::FAILED;
  }
  switch (result.ioStatus) {
    case IoStatus::OK:
      return ParseReceived(data, count);
    case IoStatus::END_OF_STREAM:
      return EndOfStream();
    case IoStatus::NEED_READ:
    case IoStatus::NEED_WRITE:
      FollowDirection(result.ioStatus, EV_READ, "I/O would block on read",
                      "I/O would block on write while reading", true);
      return StepResult::WAIT;
  }
  return StepResult::WAIT;
}

// count 0 on a plain socket is the end of the stream; handing the parser zero bytes tells it
// so, which completes a body that runs to the end of the stream and fails a cut-off one.
StepResult Connection::ParseReceived(const char* data, size_t count) {
  verbosef(thread->verbose, "Successfully read %zu bytes\n", count);
  thread->RecordRead(count);
  size_t length = readLen + count;
  if (thread->verbose) writeRaw(data, length);
  size_t parsed = http_parser_execute(&parser, &parserSettings, data, length);
  verbosef(thread->verbose, "Parsed %zu\n", parsed);
  const http_errno error = HTTP_PARSER_ERRNO(&parser);
  if (error != HPE_OK) {
    verbosef(thread->verbose, "Parsing error %i\n", static_cast<int>(error));
    // A response the stream's end cuts off is not a malformed one.
    if (count == 0) return FailRead(PhaseResult::PARSE_ERROR, ErrorKind::CLOSED_EARLY, CUT_OFF);
    return FailRead(PhaseResult::PARSE_ERROR, ErrorKind::PARSE, NOT_A_RESPONSE,
                    http_errno_description(error));
  }
  readLen = length - parsed;
  if (readLen > 0) std::memmove(readBuf.get(), data + parsed, readLen);
  if (responseDone) {
    StopIo();
    ReadDone(PhaseResult::OK);
    return StepResult::WAIT;
  }
  if (count == 0) return FailRead(PhaseResult::STREAM_ENDED, ErrorKind::CLOSED_EARLY, CUT_OFF);
  return StepResult::AGAIN;
}

StepResult Connection::EndOfStream() {
  verbosef(thread->verbose, "EOF. Done = %i\n", responseDone ? 1 : 0);
  // Zero bytes tell the parser that the stream has ended, as on a plain connection: a body
  // without a length or chunking ends here. A stream cut off without the notification is a
  // failed read instead (TRUNCATED), so this is never mistaken for a complete response.
  if (!responseDone) {
    static_cast<void>(http_parser_execute(&parser, &parserSettings, readBuf.get(), 0));
  }
  if (!responseDone) return FailRead(PhaseResult::STREAM_ENDED, ErrorKind::CLOSED_EARLY, CUT_OFF);
  StopIo();
  ReadDone(PhaseResult::OK);
  return StepResult::WAIT;
}

StepResult Connection::FailRead(PhaseResult result, ErrorKind kind, const char* reason,
                                const char* detail) {
  StopIo();
  if (CountError(kind)) {
    ShowError(detail == nullptr ? std::string(reason) : std::string(reason) + " (" + detail + ")");
  }
  ReadDone(result);
  return StepResult::FAILED;
}

// A failure has been counted, under its kind, where it happened.
void Connection::ReadDone(PhaseResult result) {
  if (result != PhaseResult::OK) {
    verbosef(thread->verbose, "Error on read: %i\n", static_cast<int>(result));
    EndRequest(true);  // same target, same bytes, on a new connection
    return;
  }
  const int64_t now = timeNow();
  if (paced) {
    thread->RecordScheduledResult(parser.status_code, dueTime, startTime, now);
  } else {
    thread->RecordResult(parser.status_code, now - startTime);
  }
  if (http_should_keep_alive(&parser) == 0) {
    verboseLine(thread->verbose, "Server does not want keep-alive");
    EndRequest(true);
    return;
  }
  const TargetUrl* previous = url;
  url = TargetUrl::Next(thread->randomState);
  if (url == previous) {
    EndRequest(false);
  } else if (previous->SameServer(*url, thread->index)) {
    needsRebuild = true;
    EndRequest(false);
  } else {
    verboseLine(thread->verbose, "Switching to a different server");
    needsRebuild = true;
    EndRequest(true);
  }
}

}  // namespace kelv
