// The agent message envelope: every reply and notice to the server travels as
// {"message":"nh_to_agent","payload":<reply>}.
#pragma once

#include <string>

#include <rapidjson/document.h>

namespace mv {

// What SendToAgent hands envelopes to: the session's long-poll client.
class AgentConnection {
 public:
  virtual ~AgentConnection() = default;
  // Starts a POST of `body` and returns at once; drops it without a word
  // while the connection holds no session token.
  virtual void postBodyAsync(const std::string& body) = 0;
};

// Installs the session's connection (once, on the main thread, before the
// first command can arrive). The caller keeps ownership.
void SetAgentConnection(AgentConnection* connection);

// True once a connection is installed.
bool IsLongPolling();

// Wraps a deep copy of `reply`'s root in the envelope and posts it
// asynchronously; without a connection nothing is built or sent, and a
// message that is not valid UTF-8 is dropped.
void SendToAgent(const rapidjson::Document& reply);

}  // namespace mv
