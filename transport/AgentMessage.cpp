#include "transport/AgentMessage.h"

#include <atomic>

#include "transport/Json.h"
#include "base/Utf8.h"

namespace mv {
namespace {
std::atomic<AgentConnection*> g_connection{nullptr};
}  // namespace

void SetAgentConnection(AgentConnection* connection) {
  g_connection.store(connection, std::memory_order_release);
}

bool IsLongPolling() { return g_connection.load(std::memory_order_acquire) != nullptr; }

void SendToAgent(const rapidjson::Document& reply) {
  AgentConnection* connection = g_connection.load(std::memory_order_acquire);
  if (connection == nullptr) return;
  rapidjson::Document envelope;
  envelope.SetObject();
  AddString(envelope, "message", "nh_to_agent");
  rapidjson::Value payload(reply, envelope.GetAllocator());
  envelope.AddMember("payload", payload, envelope.GetAllocator());
  // The parser passes invalid UTF-8 in strings through, and a reply echoes
  // the command name: such a message is dropped rather than sent as text
  // that is not UTF-8.
  std::string body = ToJsonString(envelope);
  if (!IsValidUtf8(body)) return;
  connection->postBodyAsync(body);
}

}  // namespace mv
