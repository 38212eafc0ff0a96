#include "transport/LongPoll.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>
#include <list>
#include <string_view>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "base/Log.h"
#include "transport/Json.h"
#include "base/Utf8.h"

namespace mv {
namespace {

constexpr const char* kUserAgent = "MorrowvaneHelper/1.0";
// Connections the replies share, the usual limit per host of a browser.
constexpr size_t kReplyConnections = 6;

// libcurl's process-wide state, set up once before the first client.
void EnsureCurlGlobal() {
  struct Global {
    Global() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~Global() { curl_global_cleanup(); }
  };
  static Global global;
}

// Everything outside RFC 3986's unreserved set is escaped, so that no token
// can end the query value or change the URL.
std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

// Unicode category Z, U+0009..U+000D and U+0085.
bool IsStrippable(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The code point that starts at byte `i` of valid UTF-8 text, and its length.
std::pair<char32_t, size_t> DecodeAt(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return {c, length};
}

// `text` without white space and line breaks at either end; nothing when it
// is not valid UTF-8. Walks the bytes: a large batch is not converted.
std::optional<std::string_view> Strip(std::string_view text) {
  if (!IsValidUtf8(text)) return std::nullopt;
  size_t front = 0;
  while (front < text.size()) {
    const auto [c, length] = DecodeAt(text, front);
    if (!IsStrippable(c)) break;
    front += length;
  }
  size_t back = text.size();
  while (back > front) {
    size_t start = back - 1;
    while ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!IsStrippable(DecodeAt(text, start).first)) break;
    back = start;
  }
  return text.substr(front, back - front);
}

// The whole text as one JSON value; a NUL byte inside makes it not JSON
// (ParseJson would otherwise read only up to it).
bool ParseWhole(std::string_view text, rapidjson::Document& doc) {
  return text.find('\0') == std::string::npos && ParseJson(text, doc);
}

// Where the values of the root object's non-empty string "token" members
// lie in the text, found while the reader walks it. The reader is iterative
// and nothing is rebuilt, so an answer nested to any depth is safe.
class TokenValueFinder
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TokenValueFinder> {
 public:
  TokenValueFinder(std::string_view text, const rapidjson::MemoryStream& stream)
      : text_(text), stream_(stream) {}

  // Byte ranges [first, second) of the values, quotation marks included.
  std::vector<std::pair<size_t, size_t>> ranges;

  bool Default() {
    key_end_.reset();
    return true;
  }
  bool String(const char*, rapidjson::SizeType length, bool) {
    // The reader has just taken the value's closing quotation mark; between
    // the key and the value there are only blanks and the colon.
    if (key_end_ && length > 0) ranges.emplace_back(text_.find('"', *key_end_), stream_.Tell());
    return Default();
  }
  bool Key(const char* name, rapidjson::SizeType length, bool) {
    if (depth_ == 1 && std::string_view(name, length) == "token") key_end_ = stream_.Tell();
    return true;
  }
  bool StartObject() {
    ++depth_;
    return Default();
  }
  bool EndObject(rapidjson::SizeType) {
    --depth_;
    return true;
  }
  bool StartArray() {
    ++depth_;
    return Default();
  }
  bool EndArray(rapidjson::SizeType) {
    --depth_;
    return true;
  }

 private:
  std::string_view text_;
  const rapidjson::MemoryStream& stream_;
  size_t depth_ = 0;
  std::optional<size_t> key_end_;  // just after a "token" key of the root
};

}  // namespace

int ClassifyPollText(const std::string& body, std::string* batch, rapidjson::Document* doc) {
  const std::string_view stripped = Strip(body).value_or(std::string_view());
  if (stripped == "\"timeout\"" || stripped == "timeout") return kPollNothing;
  if (stripped.empty() || stripped == "\"\"" || stripped == "\"close\"" || stripped == "close") {
    return kPollClosed;
  }
  rapidjson::Document parsed;
  if (!ParseWhole(stripped, parsed) || !parsed.IsObject() || JsonHas(parsed, "error") ||
      !JsonHas(parsed, "messages")) {
    return kPollError;
  }
  if (batch != nullptr) *batch = stripped;
  if (doc != nullptr) doc->Swap(parsed);
  return kPollBatch;
}

std::optional<std::string> TokenFromHandshake(const std::string& body) {
  rapidjson::Document doc;
  if (!ParseWhole(body, doc) || !doc.IsObject() || !JsonHas(doc, "token")) return std::nullopt;
  return JsonStr(doc, "token", "");
}

std::string HandshakeLogText(const std::string& body) {
  if (body.find('\0') != std::string::npos) return body;
  // The same stream as the parse of the answer, so a byte-order mark is
  // skipped the same way and offsets count bytes of `body`.
  rapidjson::MemoryStream memory(body.data(), body.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(memory);
  TokenValueFinder finder(body, memory);
  rapidjson::Reader reader;
  if (!reader.Parse<rapidjson::kParseIterativeFlag>(input, finder)) return body;
  std::string logged = body;
  for (auto range = finder.ranges.rbegin(); range != finder.ranges.rend(); ++range) {
    logged.replace(range->first, range->second - range->first, "\"<redacted>\"");
  }
  return logged;
}

namespace {

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

struct Body {
  std::string text;
};

// Refusing the write (answering less than given) ends the transfer with
// CURLE_WRITE_ERROR: a body over the limit is never accumulated.
size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const size_t n = size * count;
  const size_t needed = body->text.size() + n;
  if (needed > LongPoll::kMaxBodyBytes) return 0;
  // Growth doubles, but never past the limit: a body that stops just short
  // of it costs the limit, not twice the limit.
  if (needed > body->text.capacity()) {
    body->text.reserve(std::min(std::max(needed, 2 * body->text.capacity()), LongPoll::kMaxBodyBytes));
  }
  body->text.append(data, n);
  return n;
}

// The idle limit: a transfer ends when no byte has moved either way for the
// limit, and the clock restarts with every byte. (libcurl's low-speed check
// averages over several seconds, so after a burst it fires late.)
struct IdleWatch {
  std::chrono::seconds limit{30};
  std::chrono::steady_clock::time_point last_activity;
  curl_off_t down = 0;
  curl_off_t up = 0;
  bool expired = false;

  void Start() {
    last_activity = std::chrono::steady_clock::now();
    down = up = 0;
    expired = false;
  }
};

int CheckIdle(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto* watch = static_cast<IdleWatch*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (down != watch->down || up != watch->up) {
    watch->down = down;
    watch->up = up;
    watch->last_activity = now;
    return 0;
  }
  watch->expired = now - watch->last_activity >= watch->limit;
  return watch->expired ? 1 : 0;
}

// What went wrong with a finished transfer, for the log.
std::string ErrorText(CURLcode result, const char* error_buffer, const IdleWatch& watch) {
  if (watch.expired) return curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
  if (error_buffer[0] != '\0') return error_buffer;
  return curl_easy_strerror(result);
}

void LogReplyOutcome(long status, CURLcode result, const std::string& error) {
  if (result == CURLE_OK && status == 200) return;
  MVLogWrite("MorrowvaneHelper: reply POST failed: code=" + std::to_string(status) +
             " err=" + (result == CURLE_OK ? std::string("none") : error));
}

}  // namespace

// The cookie store of one client, shared by its GETs and POSTs on several
// threads: a load balancer's sticky cookie set on the handshake goes out on
// every later request. It lives in memory only.
class CookieShare {
 public:
  CookieShare() {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  }
  ~CookieShare() { curl_share_cleanup(share_); }  // after every easy handle using it
  CookieShare(const CookieShare&) = delete;
  CookieShare& operator=(const CookieShare&) = delete;

  void Attach(CURL* easy) const {
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // the engine on, no file read
  }

 private:
  static std::mutex& MutexFor(void* user, curl_lock_data data) {
    auto* self = static_cast<CookieShare*>(user);
    return self->mutexes_[static_cast<size_t>(data) % self->mutexes_.size()];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    MutexFor(user, data).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) { MutexFor(user, data).unlock(); }

  CURLSH* share_ = curl_share_init();
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

struct LongPoll::Curl {
  CookieShare cookies;  // first in, last out: it outlives the easy handles
  CURLM* get_multi = curl_multi_init();
  CURL* get = curl_easy_init();
  CURLM* post_multi = curl_multi_init();
  CURL* post = curl_easy_init();
  CURLM* async_multi = curl_multi_init();
  curl_slist* connect_to = nullptr;
  curl_slist* post_headers = nullptr;
  IdleWatch get_watch;
  IdleWatch post_watch;

  Curl() = default;
  Curl(const Curl&) = delete;
  Curl& operator=(const Curl&) = delete;
  ~Curl() {
    curl_easy_cleanup(get);
    curl_easy_cleanup(post);
    curl_multi_cleanup(get_multi);
    curl_multi_cleanup(post_multi);
    curl_multi_cleanup(async_multi);
    curl_slist_free_all(connect_to);
    curl_slist_free_all(post_headers);
  }

  // What every request shares: HTTPS only with TLS 1.2 or later whatever
  // the system's OpenSSL settings allow, no redirects, the idle limit (no
  // overall limit), the user agent, the client's cookies and any content
  // coding libcurl can decode. Verification stays at libcurl's default (on).
  void Configure(CURL* easy, const TestTransport& test, IdleWatch& watch) const {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    cookies.Attach(easy);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, test.idle_limit_seconds);
    watch.limit = std::chrono::seconds(test.idle_limit_seconds);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, CheckIdle);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    if (!test.ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, test.ca_file.c_str());
    if (connect_to != nullptr) {
      curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect_to);
      curl_easy_setopt(easy, CURLOPT_PROXY, "");  // the mapping is to this machine
    }
  }

  void ConfigurePost(CURL* easy, const TestTransport& test, IdleWatch& watch,
                     const std::string& url, const std::string& body) const {
    Configure(easy, test, watch);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, post_headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, DiscardBody);
  }
};

namespace {

// Runs one transfer of `easy` on `multi` (which keeps the connection for the
// next one) until it ends or `aborted` is raised; a wakeup of `multi` makes
// the flag seen at once.
CURLcode RunTransfer(CURLM* multi, CURL* easy, IdleWatch& watch, const std::atomic<bool>& aborted) {
  if (aborted) return CURLE_ABORTED_BY_CALLBACK;
  watch.Start();
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  for (bool done = false; !done;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done || aborted) break;
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  curl_multi_remove_handle(multi, easy);
  return result;
}

}  // namespace

LongPoll::LongPoll(std::string server) : LongPoll(std::move(server), TestTransport{}) {}

LongPoll::LongPoll(std::string server, TestTransport test)
    : _server(std::move(server)), transport_(std::move(test)) {
  EnsureCurlGlobal();
  curl_ = std::make_unique<Curl>();
  if (!transport_.connect_to.empty()) {
    curl_->connect_to = curl_slist_append(nullptr, transport_.connect_to.c_str());
  }
  curl_->post_headers = curl_slist_append(nullptr, "Content-Type: text/plain");
  // No "Expect: 100-continue" round trip before larger bodies.
  curl_->post_headers = curl_slist_append(curl_->post_headers, "Expect:");

  curl_->Configure(curl_->get, transport_, curl_->get_watch);
  curl_easy_setopt(curl_->get, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl_->get, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
  // One connection for the handshake and the polls, reused while the server
  // keeps it open.
  curl_multi_setopt(curl_->get_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, 1L);
  // Replies share a few connections, kept open for the next ones.
  curl_multi_setopt(curl_->async_multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(kReplyConnections));
  curl_multi_setopt(curl_->async_multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kReplyConnections));

  post_thread_ = std::thread([this] { postLoop(); });
}

LongPoll::~LongPoll() {
  {
    std::lock_guard lock(queue_mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(curl_->async_multi);
  post_thread_.join();
}

std::optional<std::string> LongPoll::urlForQuery(const std::string& query) const {
  const std::string text = "https://" + _server + "/nativehelper" + query;
  CURLU* url = curl_url();
  const CURLUcode parsed = curl_url_set(url, CURLUPART_URL, text.c_str(), 0);
  curl_url_cleanup(url);
  if (parsed != CURLUE_OK) return std::nullopt;
  return text;
}

std::optional<std::string> LongPoll::getBlocking(const std::string& query) {
  const std::optional<std::string> url = urlForQuery(query);
  if (!url) return std::nullopt;
  std::lock_guard lock(get_mutex_);
  Body body;
  curl_easy_setopt(curl_->get, CURLOPT_URL, url->c_str());
  curl_easy_setopt(curl_->get, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl_->get, CURLOPT_WRITEDATA, &body);
  const CURLcode result = RunTransfer(curl_->get_multi, curl_->get, curl_->get_watch, aborted_);
  curl_easy_setopt(curl_->get, CURLOPT_WRITEDATA, nullptr);
  if (result != CURLE_OK || !IsValidUtf8(body.text)) return std::nullopt;
  return std::move(body.text);
}

int64_t LongPoll::postBlocking(const std::string& query, const std::string& body) {
  const std::optional<std::string> url = urlForQuery(query);
  if (!url) return 0;
  std::lock_guard lock(post_mutex_);
  if (aborted_) return 0;
  curl_->ConfigurePost(curl_->post, transport_, curl_->post_watch, *url, body);
  curl_easy_setopt(curl_->post, CURLOPT_TIMEOUT_MS, static_cast<long>(kCloseNoticeLimit.count()));
  RunTransfer(curl_->post_multi, curl_->post, curl_->post_watch, aborted_);
  long status = 0;
  curl_easy_getinfo(curl_->post, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::optional<std::string> LongPoll::token() const {
  std::lock_guard lock(token_mutex_);
  return _token;
}

std::string LongPoll::tokenQuery(const std::string& token) const {
  return "?token=" + PercentEncode(token);
}

bool LongPoll::initSession(const std::string& session_id) {
  const std::optional<std::string> text = getBlocking("?id=" + PercentEncode(session_id));
  MVLogWrite("MorrowvaneHelper: initSession GET ?id=" + session_id + " -> " +
             (text ? HandshakeLogText(*text) : std::string("(nil/transport error)")));
  if (!text) return false;
  std::optional<std::string> held = TokenFromHandshake(*text);
  if (!held) return false;
  const bool connected = !held->empty();
  std::lock_guard lock(token_mutex_);
  _token = std::move(held);
  return connected;
}

int LongPoll::poll(PollBatch* batch) {
  const std::optional<std::string> held = token();
  if (!held || held->empty()) return kPollError;
  waitForReplyRoom();
  const std::optional<std::string> body = getBlocking(tokenQuery(*held));
  last_poll_failed_ = !body;
  return ClassifyPollText(body.value_or(std::string()), batch ? &batch->text : nullptr,
                          batch ? &batch->doc : nullptr);
}

void LongPoll::postBodyAsync(const std::string& body) {
  const std::optional<std::string> held = token();
  if (!held || held->empty()) return;
  std::optional<std::string> url = urlForQuery(tokenQuery(*held));
  if (!url) return;
  {
    std::lock_guard lock(queue_mutex_);
    if (!reply_url_ || *reply_url_ != *url) reply_url_ = std::make_shared<const std::string>(std::move(*url));
    queued_reply_bytes_ += queue_.emplace_back(PendingPost{reply_url_, body}).Bytes();
  }
  curl_multi_wakeup(curl_->async_multi);
}

bool LongPoll::repliesBackedUp() {
  std::lock_guard lock(queue_mutex_);
  return queued_reply_bytes_ > kMaxQueuedReplyBytes && !aborted_;
}

void LongPoll::waitForReplyRoom() {
  std::unique_lock lock(queue_mutex_);
  if (queued_reply_bytes_ <= kMaxQueuedReplyBytes) return;
  const std::string waiting = std::to_string(queued_reply_bytes_);
  lock.unlock();
  MVLogWrite("MorrowvaneHelper: " + waiting + " bytes of replies wait to be posted; polling paused");
  lock.lock();
  replies_drained_.wait(lock, [this] { return queued_reply_bytes_ <= kMaxQueuedReplyBytes || aborted_; });
  lock.unlock();
  MVLogWrite("MorrowvaneHelper: polling resumes");
}

void LongPoll::replyDone(size_t bytes) {
  {
    std::lock_guard lock(queue_mutex_);
    queued_reply_bytes_ -= bytes;
  }
  replies_drained_.notify_all();
}

void LongPoll::close() {
  const std::optional<std::string> held = token();
  if (!held || held->empty()) return;
  rapidjson::Document notice;
  notice.SetObject();
  AddString(notice, "event", "close");
  AddString(notice, "reason", "normal");
  postBlocking(tokenQuery(*held), ToJsonString(notice));
  std::lock_guard lock(token_mutex_);
  _token.reset();
}

void LongPoll::abortRequests() {
  {
    // A poll between its check of the flag and its wait sees it now.
    std::lock_guard lock(queue_mutex_);
    aborted_ = true;
  }
  replies_drained_.notify_all();
  curl_multi_wakeup(curl_->get_multi);
  curl_multi_wakeup(curl_->post_multi);
  curl_multi_wakeup(curl_->async_multi);
}

void LongPoll::postLoop() {
  struct AsyncPost {
    PendingPost request;
    CURL* easy = curl_easy_init();
    IdleWatch watch;
    char error[CURL_ERROR_SIZE] = {};
    AsyncPost(const AsyncPost&) = delete;
    explicit AsyncPost(PendingPost pending) : request(std::move(pending)) {}
    ~AsyncPost() { curl_easy_cleanup(easy); }
  };
  std::list<AsyncPost> in_flight;
  CURLM* multi = curl_->async_multi;
  const std::string aborted_text = curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK);

  const auto finish = [&](std::list<AsyncPost>::iterator it, CURLcode result) {
    long status = 0;
    curl_easy_getinfo(it->easy, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi, it->easy);
    LogReplyOutcome(status, result, ErrorText(result, it->error, it->watch));
    replyDone(it->request.Bytes());
    in_flight.erase(it);
  };

  // Replies wait here, in order, for one of the connections; a batch of
  // thousands must not open thousands of connections (and file descriptors).
  std::deque<PendingPost> waiting;
  for (;;) {
    {
      std::lock_guard lock(queue_mutex_);
      if (stopping_) break;
      std::move(queue_.begin(), queue_.end(), std::back_inserter(waiting));
      queue_.clear();
    }
    while (!waiting.empty() && (aborted_ || in_flight.size() < kReplyConnections)) {
      AsyncPost& post = in_flight.emplace_back(std::move(waiting.front()));
      waiting.pop_front();
      curl_->ConfigurePost(post.easy, transport_, post.watch, *post.request.url, post.request.body);
      curl_easy_setopt(post.easy, CURLOPT_ERRORBUFFER, post.error);
      // The idle limit counts from the start of the request, not the wait.
      post.watch.Start();
      if (aborted_ || curl_multi_add_handle(multi, post.easy) != CURLM_OK) {
        LogReplyOutcome(0, CURLE_ABORTED_BY_CALLBACK, aborted_text);
        replyDone(post.request.Bytes());
        in_flight.pop_back();
      }
    }
    if (aborted_) {
      while (!in_flight.empty()) finish(in_flight.begin(), CURLE_ABORTED_BY_CALLBACK);
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    bool finished_any = false;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      for (auto it = in_flight.begin(); it != in_flight.end(); ++it) {
        if (it->easy == msg->easy_handle) {
          finish(it, msg->data.result);
          finished_any = true;
          break;
        }
      }
    }
    // A freed connection takes the next waiting reply at once.
    if (!(finished_any && !waiting.empty())) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // Replies still queued or in flight when the client goes are lost with
  // it; each says so in the log, as an aborted one does.
  size_t lost = in_flight.size() + waiting.size();
  {
    std::lock_guard lock(queue_mutex_);
    lost += queue_.size();
    queue_.clear();
  }
  for (AsyncPost& post : in_flight) curl_multi_remove_handle(multi, post.easy);
  for (size_t i = 0; i < lost; ++i) LogReplyOutcome(0, CURLE_ABORTED_BY_CALLBACK, aborted_text);
}

}  // namespace mv
