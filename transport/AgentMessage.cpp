#include "transport/AgentMessage.h"

#include <atomic>

#include "transport/Json.h"

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
  connection->postBodyAsync(ToJsonString(envelope));
}

}  // namespace mv
