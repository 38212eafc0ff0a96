// The session's connection to the sharing server, as the session controller
// drives it. LongPoll is the HTTPS implementation; tests may supply another.
#pragma once

#include <rapidjson/document.h>

#include <string>

#include "transport/AgentMessage.h"

namespace mv {

// Answers of poll().
inline constexpr int kPollBatch = 0;      // a batch was delivered
inline constexpr int kPollNothing = 1;    // nothing yet: poll again
inline constexpr int kPollError = 2;      // error, or no session token
inline constexpr int kPollClosed = 3;     // server closed the session, or transport failure

// A batch as a poll delivered it: its text, stripped, and the document
// parsed from it, so that nobody parses it again.
struct PollBatch {
  std::string text;
  rapidjson::Document doc;
};

class SessionClient : public AgentConnection {
 public:
  // Handshake (blocking): exchanges the session identifier for a token.
  // Answers true when a non-empty token is held afterwards.
  virtual bool initSession(const std::string& session_id) = 0;
  // One long poll (blocking). On kPollBatch `batch` receives the batch;
  // otherwise it is left as it was. `batch` may be null.
  virtual int poll(PollBatch* batch) = 0;
  // Whether the last poll() ended without an answer from the server (only
  // read after a kPollClosed, on the thread that polls).
  virtual bool lastPollTransportFailed() const { return false; }
  // Whether the replies waiting to be posted are past their cap (any thread).
  virtual bool repliesBackedUp() { return false; }
  // Posts the close notice when a token is held (blocking), then forgets it.
  virtual void close() = 0;
  // Ends a blocked initSession() or poll() at once, as a transport failure,
  // and makes later ones fail at once. Safe from any thread; the session
  // controller calls it in teardown, after close().
  virtual void abortRequests() = 0;
};

}  // namespace mv
