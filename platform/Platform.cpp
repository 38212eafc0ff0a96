#include "platform/Platform.h"

#include <atomic>

namespace mv {
namespace {
std::atomic<Platform*> g_platform{nullptr};
}  // namespace

Platform* CurrentPlatform() { return g_platform.load(std::memory_order_acquire); }

void SetCurrentPlatform(Platform* platform) {
  g_platform.store(platform, std::memory_order_release);
}

}  // namespace mv
