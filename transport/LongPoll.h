// The HTTPS long-poll client: the helper's only connection to the sharing
// server. Handshake and polls are GETs on one reused connection; replies are
// POSTed in order from a background thread over a few shared connections,
// without blocking the caller; the close notice is POSTed blocking. Cookies
// the server sets are kept in memory for the client's later requests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "transport/SessionClient.h"

namespace mv {

// How the body of a poll answer reads (`body`: what the GET brought, empty
// when it brought nothing): stripped of white space and line breaks at both
// ends, it is "timeout" (kPollNothing), empty or "close" (kPollClosed), a JSON
// object with "messages" and without "error" (kPollBatch; `batch`, when
// given, receives the stripped text, and `doc` the document parsed from it)
// or anything else (kPollError). Text that is not valid UTF-8 counts as no
// text.
int ClassifyPollText(const std::string& body, std::string* batch,
                     rapidjson::Document* doc = nullptr);

// The token a handshake answer hands over: nothing when the answer leaves the
// held token as it was (not a JSON object, or no "token" member); otherwise
// the member's string, empty when it is not a string.
std::optional<std::string> TokenFromHandshake(const std::string& body);

// The handshake answer as the log shows it: the body as it came, with the
// value of every non-empty string "token" member of its root object replaced
// by "<redacted>", so the log file never holds a live token.
std::string HandshakeLogText(const std::string& body);

class LongPoll : public SessionClient {
 public:
  // Lets tests reach a local server with verification still on: a trust
  // store, a "host:443:127.0.0.1:PORT" connect-to mapping (the URL keeps the
  // server's name, so the certificate's name is checked) and a shorter idle
  // limit. The program never uses it.
  struct TestTransport {
    std::string ca_file;
    std::string connect_to;
    long idle_limit_seconds = 30;
  };

  // Body size beyond which a response counts as a transport failure.
  static constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;
  // Replies waiting to be posted (or in flight) beyond which poll() waits
  // until they drain: a server that takes no replies gets no new batches.
  static constexpr size_t kMaxQueuedReplyBytes = 8 * 1024 * 1024;
  bool repliesBackedUp() override;

  // `server`: the accepted host name, without scheme, port or path. Makes no
  // request.
  explicit LongPoll(std::string server);
  LongPoll(std::string server, TestTransport test);
  ~LongPoll() override;

  LongPoll(const LongPoll&) = delete;
  LongPoll& operator=(const LongPoll&) = delete;

  // "https://" + server + "/nativehelper" + query; nothing when that is not
  // a valid URL.
  std::optional<std::string> urlForQuery(const std::string& query) const;
  // GET (blocking): the body when it arrived whole, was valid UTF-8 and not
  // over kMaxBodyBytes, whatever the status; otherwise nothing.
  std::optional<std::string> getBlocking(const std::string& query);
  // POST (blocking): the HTTP status, 0 when there was none. It gives up
  // after kCloseNoticeLimit in all, however the server trickles its answer:
  // the program waits for it while ending.
  int64_t postBlocking(const std::string& query, const std::string& body);

  static constexpr std::chrono::milliseconds kCloseNoticeLimit{3000};

  bool initSession(const std::string& session_id) override;
  int poll(PollBatch* batch) override;
  bool lastPollTransportFailed() const override { return last_poll_failed_; }
  void postBodyAsync(const std::string& body) override;
  void close() override;
  void abortRequests() override;

 private:
  struct Curl;  // libcurl handles, kept out of this header
  struct PendingPost {
    std::shared_ptr<const std::string> url;  // one for all replies under a token
    std::string body;
    size_t Bytes() const { return sizeof(PendingPost) + body.capacity(); }
  };

  std::optional<std::string> token() const;
  std::string tokenQuery(const std::string& token) const;
  void postLoop();
  // Waits while too many reply bytes are queued, unless the client is aborted.
  void waitForReplyRoom();
  void replyDone(size_t bytes);

  const std::string _server;
  const TestTransport transport_;

  mutable std::mutex token_mutex_;
  std::optional<std::string> _token;  // absent, or set by a handshake

  std::atomic<bool> aborted_{false};
  bool last_poll_failed_ = false;  // the polling thread's own

  std::mutex get_mutex_;   // one GET at a time on the reused handle
  std::mutex post_mutex_;  // one blocking POST at a time

  std::mutex queue_mutex_;
  std::deque<PendingPost> queue_;
  std::shared_ptr<const std::string> reply_url_;  // the last one queued
  size_t queued_reply_bytes_ = 0;  // queued or in flight
  std::condition_variable replies_drained_;
  bool stopping_ = false;

  std::unique_ptr<Curl> curl_;
  std::thread post_thread_;
};

}  // namespace mv
