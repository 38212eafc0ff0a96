// A minimal program on the Qt platform for the single-instance tests. It
// prints "launched" once launching has finished, "url <text>" for each
// open-URL event and "ended <status>" when RunApplication returns. A URL
// ending in "/stop" ends it; so does "--quit-when-launched", and at the
// latest a 30-second bound.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/linux/LinuxPlatform.h"

namespace {

class ProbeDelegate final : public mv::ApplicationDelegate {
 public:
  ProbeDelegate(mv::Platform& platform, bool quit_when_launched)
      : platform_(platform), quit_when_launched_(quit_when_launched) {}

  void ApplicationWillFinishLaunching() override {
    platform_.SetOpenURLHandler([this](const std::string& url) {
      std::printf("url %s\n", url.c_str());
      std::fflush(stdout);
      if (url.ends_with("/stop")) platform_.Terminate();
    });
  }
  void ApplicationDidFinishLaunching() override {
    std::printf("launched\n");
    std::fflush(stdout);
    if (quit_when_launched_) {
      platform_.Terminate();
      return;
    }
    platform_.PostToMainAfter(std::chrono::seconds(30), [this] { platform_.Terminate(); });
  }
  void ApplicationWillTerminate() override {}

 private:
  mv::Platform& platform_;
  bool quit_when_launched_;
};

}  // namespace

int main(int argc, char** argv) {
  bool quit_when_launched = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--quit-when-launched") quit_when_launched = true;
  }
  std::string error;
  std::unique_ptr<mv::Platform> platform = mv::CreateLinuxPlatform(argc, argv, &error);
  if (!platform) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  mv::SetCurrentPlatform(platform.get());
  ProbeDelegate delegate(*platform, quit_when_launched);
  const int status = platform->RunApplication(delegate);
  std::printf("ended %d\n", status);
  mv::SetCurrentPlatform(nullptr);
  return status;
}
