#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <utility>

namespace mv {
namespace {
std::atomic<Platform*> g_platform{nullptr};
std::function<void(std::string_view)>& DiagnosticLog() {
  static std::function<void(std::string_view)> log;
  return log;
}
}  // namespace

Platform* CurrentPlatform() { return g_platform.load(std::memory_order_acquire); }

void SetCurrentPlatform(Platform* platform) {
  g_platform.store(platform, std::memory_order_release);
}

void SetDiagnosticLog(std::function<void(std::string_view)> log) { DiagnosticLog() = std::move(log); }

void LogDiagnostic(std::string_view message) {
  if (const auto& log = DiagnosticLog()) {
    log(message);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  }
}

}  // namespace mv
