// The application delegate: takes the launch URL, asks the user for consent,
// runs the session's handshake and poll loop, and tears the session down.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "transport/SessionClient.h"

namespace mv {

class AppDelegate : public ApplicationDelegate {
 public:
  // Makes the session's client for a server host; called once, after consent.
  using ClientFactory = std::function<std::shared_ptr<SessionClient>(const std::string& server)>;

  // Memory of batches (text and parsed document) handed to the main thread
  // and not yet run beyond which the worker stops polling until they ran.
  static constexpr size_t kMaxPendingBatchBytes = 32 * 1024 * 1024;

  explicit AppDelegate(ClientFactory make_client,
                       size_t max_pending_batch_bytes = kMaxPendingBatchBytes);
  // The platform must have joined its worker thread before the delegate goes:
  // the worker runs the poll loop on this object.
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Launch.
  void ApplicationWillFinishLaunching() override;
  void ApplicationDidFinishLaunching() override;
  void handleGetURLEvent(const std::string& url);
  bool parseAndValidateURL(const std::string& url);
  static bool serverAllowed(std::string_view host);

  // Session.
  void startSession();
  void runPollLoop();
  void showBareLaunchInfoAndQuit();
  void ApplicationWillTerminate() override;

  std::shared_ptr<SessionClient> longPoll() const { return _longPoll; }
  void setLongPoll(std::shared_ptr<SessionClient> client);

  // State, for the program's own checks and for tests.
  const std::string& server() const { return _server; }
  const std::string& sessionId() const { return _sessionId; }
  bool didFinishLaunching() const { return _didFinishLaunching; }
  bool started() const { return _started; }

 private:
  void runHandshake(const std::string& session_id);
  // The batch was parsed on the polling thread; runs it from `first` for a
  // slice of time, then goes on from the main queue. `bytes`: what it holds.
  void runBatch(const std::shared_ptr<PollBatch>& batch, size_t first, size_t bytes);
  void batchDone(size_t bytes);
  void requestTermination();

  std::string _server;     // empty until a launch URL is accepted
  std::string _sessionId;
  bool _didFinishLaunching = false;
  bool _started = false;
  bool _consented = false;
  std::shared_ptr<SessionClient> _longPoll;

  ClientFactory make_client_;
  // Set when teardown begins; the worker then stops without posting more work.
  std::atomic<bool> terminating_{false};

  // While a message box holds the main thread the server may keep sending
  // batches; they wait in memory, so polling pauses once too much waits.
  const size_t max_pending_batch_bytes_;
  std::mutex pending_mutex_;
  std::condition_variable pending_drained_;
  size_t pending_batch_bytes_ = 0;  // guarded by pending_mutex_
};

}  // namespace mv
