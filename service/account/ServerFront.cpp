#include "ServerFront.h"

#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace cvservice {

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kIoSeconds = 5;  // a worker's wait for one read or write to make progress
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kWriteBuffer = 16 * 1024;  // smaller writes of an answer are sent together

// One client connection: owned by the event thread while it waits for a request, by one worker
// while a request runs.
struct TConn {
  int fd = -1;
  SSL* ssl = nullptr;
  bool handshaken = false;
  std::string in;          // bytes read and not yet taken by a request
  std::size_t taken = 0;   // of `in`, given to the running request
  std::size_t needed = 0;  // bytes of `in` the next request spans, once its header is known
  Clock::time_point deadline;
  bool waitingForRequest = true;  // idle between requests (the deadline is the idle limit)
  bool refused = false;           // answered by the front; closed next
  bool lingering = false;         // refused: what the client still sends is read and dropped
  std::size_t served = 0;
  std::string out;  // the answer's bytes not yet sent: the header and a small body go in one
  std::size_t loop = 0;     // the event thread that waits for it
  std::uint32_t armed = 0;  // the events that thread's epoll waits for; 0 while not known to it
  // The addresses, asked of the system once per connection rather than for every request.
  bool addressesKnown = false;
  std::string remoteIp, localIp;
  int remotePort = 0, localPort = 0;

  ~TConn() {
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    if (fd >= 0) ::close(fd);
  }
};

// Waits for `events` on a socket for at most `seconds`.
bool WaitFor(int fd, short events, int seconds) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, seconds * 1000);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

// Reads what is there without waiting: bytes read, 0 at the end of the connection, -1 when
// nothing is there now, -2 on an error.
ssize_t ReadSome(TConn& c, char* buffer, std::size_t size) {
  if (c.ssl) {
    ERR_clear_error();
    const int n = SSL_read(c.ssl, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
    if (n > 0) return n;
    const int e = SSL_get_error(c.ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -1;
    return e == SSL_ERROR_ZERO_RETURN ? 0 : -2;
  }
  ssize_t n;
  do {
    n = ::recv(c.fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
}

// Writes all of `data`, waiting up to kIoSeconds for each bit of progress.
bool WriteAll(TConn& c, const char* data, std::size_t size) {
  while (size > 0) {
    if (c.ssl) {
      ERR_clear_error();
      const int n = SSL_write(c.ssl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
      if (n > 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      const int e = SSL_get_error(c.ssl, n);
      if (e == SSL_ERROR_WANT_WRITE) {
        if (!WaitFor(c.fd, POLLOUT, kIoSeconds)) return false;
      } else if (e == SSL_ERROR_WANT_READ) {
        if (!WaitFor(c.fd, POLLIN, kIoSeconds)) return false;
      } else {
        return false;
      }
      continue;
    }
    const ssize_t n = ::send(c.fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(c.fd, POLLOUT, kIoSeconds)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Sends what the answer left in the connection's buffer.
bool Flush(TConn& c) {
  const bool ok = c.out.empty() || WriteAll(c, c.out.data(), c.out.size());
  c.out.clear();
  return ok;
}

// The request's stream for the server: the bytes the front read first, then the connection.
class TFrontStream final : public httplib::Stream {
 public:
  explicit TFrontStream(TConn& conn) : c_(conn) {}

  bool is_readable() const override {
    return c_.taken < c_.in.size() || (c_.ssl && SSL_pending(c_.ssl) > 0) || WaitFor(c_.fd, POLLIN, kIoSeconds);
  }
  // Writing waits for the socket itself, with its own limit.
  bool is_writable() const override { return true; }

  ssize_t read(char* ptr, size_t size) override {
    if (c_.taken < c_.in.size()) {
      const std::size_t n = std::min(size, c_.in.size() - c_.taken);
      std::memcpy(ptr, c_.in.data() + c_.taken, n);
      c_.taken += n;
      return static_cast<ssize_t>(n);
    }
    // Past what the front read: the request reads on (a route that takes more than was read).
    for (;;) {
      const ssize_t n = ReadSome(c_, ptr, size);
      if (n >= 0) return n;
      if (n == -2) return -1;
      if (!WaitFor(c_.fd, POLLIN, kIoSeconds)) return -1;
    }
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (c_.out.size() + size <= kWriteBuffer) {
      c_.out.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    if (!Flush(c_)) return -1;
    if (size <= kWriteBuffer) {
      c_.out.assign(ptr, size);
      return static_cast<ssize_t>(size);
    }
    return WriteAll(c_, ptr, size) ? static_cast<ssize_t>(size) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    KnowAddresses();
    ip = c_.remoteIp;
    port = c_.remotePort;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    KnowAddresses();
    ip = c_.localIp;
    port = c_.localPort;
  }
  socket_t socket() const override { return c_.fd; }

 private:
  void KnowAddresses() const {
    if (c_.addressesKnown) return;
    Address(true, c_.remoteIp, c_.remotePort);
    Address(false, c_.localIp, c_.localPort);
    c_.addressesKnown = true;
  }
  void Address(bool remote, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    if ((remote ? ::getpeername(c_.fd, a, &length) : ::getsockname(c_.fd, a, &length)) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }
  TConn& c_;
};

// Runs the accept loop's task at once: handing a new connection to the front takes no time.
class TInlineQueue final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

std::string Lower(std::string text) {
  for (char& ch : text)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return text;
}

// The request log: lines gathered in memory and written by a thread of its own in batches, so
// that no request waits for a write (nor for the others' lock on the stream).
class TRequestLog {
 public:
  explicit TRequestLog(int fd) : fd_(fd) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  ~TRequestLog() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    due_.notify_all();
    thread_.join();
    Write(pending_);
  }

  void Request(std::string_view method, std::string_view path, int status) {
    std::string line;
    line.reserve(method.size() + path.size() + 6);
    line.append(method).append(1, ' ').append(path).append(1, ' ').append(std::to_string(status));
    Text(std::move(line));
  }

  // One line; a control character in it cannot start a forged one.
  void Text(std::string line) {
    for (char& ch : line)
      if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
    line += '\n';
    std::unique_lock lock(mutex_);
    // A log that cannot be written as fast as requests come holds them up rather than lose lines.
    room_.wait(lock, [this] { return pending_.size() < kMaxPending || stopping_; });
    const bool first = pending_.empty();
    pending_ += line;
    if (first || pending_.size() >= kBatch) due_.notify_one();
  }

 private:
  static constexpr std::size_t kBatch = 64 * 1024;
  static constexpr std::size_t kMaxPending = 4 << 20;
  // How long the first line of a batch waits for others.
  static constexpr std::chrono::milliseconds kGather{100};

  void Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      due_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      due_.wait_for(lock, kGather, [this] { return stopping_ || pending_.size() >= kBatch; });
      if (stopping_) break;
      std::string batch;
      batch.swap(pending_);
      lock.unlock();
      room_.notify_all();
      Write(batch);
      lock.lock();
    }
  }

  void Write(const std::string& text) const {
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable due_, room_;
  bool stopping_ = false;
  std::string pending_;
  std::thread thread_;
};

char LowerChar(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

bool SameWithoutCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Characters a quick route's path may hold: none that the server's routes would decode.
bool IsQuickPathCharacter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '/' ||
         ch == '-' || ch == '.' || ch == '_' || ch == '~';
}

}  // namespace

std::string_view TQuickRequest::Header(std::string_view name) const {
  for (std::size_t at = 0; at < fields.size();) {
    std::size_t lf = fields.find('\n', at);
    if (lf == std::string_view::npos) lf = fields.size();
    const std::string_view line = fields.substr(at, lf - at);
    at = lf + 1;
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && SameWithoutCase(line.substr(0, colon), name)) return Trim(line.substr(colon + 1));
  }
  return {};
}

// The event threads, the workers and the connections between them.
class TFrontCore {
 public:
  // `runRequest` runs one request on the stream: false when the connection is to be closed.
  // `keepAlive` tells the server's kept-alive timeout (seconds) and most requests a connection.
  TFrontCore(const TFrontLimits& limits, std::function<bool(httplib::Stream&, std::size_t served)> runRequest,
             std::function<std::pair<long, std::size_t>()> keepAlive)
      : limits_(limits), runRequest_(std::move(runRequest)), keepAlive_(std::move(keepAlive)) {
    std::size_t loops = limits_.eventThreads;
    if (loops == 0) loops = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    // The front's threads take no signals: the program waits for its own.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    for (std::size_t i = 0; i < loops; ++i) {
      auto loop = std::make_unique<TLoop>();
      loop->epoll = ::epoll_create1(EPOLL_CLOEXEC);
      loop->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = loop->wake;
      ::epoll_ctl(loop->epoll, EPOLL_CTL_ADD, loop->wake, &ev);
      loops_.push_back(std::move(loop));
    }
    for (auto& loop : loops_) loop->thread = std::thread([this, l = loop.get()] { EventLoop(*l); });
    for (std::size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }

  ~TFrontCore() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      // Requests under way end at their next read or write.
      for (const int fd : activeFds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& loop : loops_) Wake(*loop);
    jobsChanged_.notify_all();
    for (auto& loop : loops_) loop->thread.join();
    for (auto& worker : workers_) worker.join();
    for (auto& loop : loops_) {
      loop->incoming.clear();
      ::close(loop->epoll);
      ::close(loop->wake);
    }
    jobs_.clear();
    // Every line is in once the threads have ended; the log writes the rest as it goes.
    log_.reset();
  }

  void SetBodyLimit(const std::string& path, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    bodyLimits_[path] = bytes;
  }

  void SetSsl(SSL_CTX* ctx) { sslCtx_ = ctx; }

  // Set before the server runs.
  void SetQuickRoute(const std::string& prefix, TQuickRoute route) {
    quickPrefix_ = prefix;
    quick_ = std::move(route);
  }
  TRequestLog& StartLog(int fd) {
    if (!log_) log_ = std::make_unique<TRequestLog>(fd);
    return *log_;
  }

  // From the accept loop: a new connection.
  void Adopt(int fd) {
    auto conn = std::make_unique<TConn>();
    conn->fd = fd;
    conn->loop = nextLoop_++ % loops_.size();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (sslCtx_) {
      conn->ssl = SSL_new(sslCtx_);
      if (!conn->ssl || SSL_set_fd(conn->ssl, fd) != 1) return;  // closed by ~TConn
    }
    conn->deadline = Clock::now() + std::chrono::seconds(limits_.headerSeconds);
    conn->waitingForRequest = false;  // the first request's header is due from now
    Hand(std::move(conn));
  }

 private:
  // One event thread: the connections it waits on, and those handed to it.
  struct TLoop {
    int epoll = -1;
    int wake = -1;
    std::mutex mutex;
    std::vector<std::unique_ptr<TConn>> incoming;
    std::thread thread;
  };
  using TParked = std::unordered_map<int, std::unique_ptr<TConn>>;

  // Gives a connection to its event thread to wait for its next request.
  void Hand(std::unique_ptr<TConn> conn) {
    TLoop& loop = *loops_[conn->loop];
    {
      std::lock_guard lock(loop.mutex);
      if (stopping_) return;
      loop.incoming.push_back(std::move(conn));
    }
    Wake(loop);
  }

  static void Wake(TLoop& loop) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(loop.wake, &one, sizeof one);
  }

  // Whether every worker has a request: a request queued for a moment while workers are free
  // is not busy, or a proxy's kept-alive connections would be cut under any load.
  bool Busy() const { return queued_.load(std::memory_order_relaxed) >= idleWorkers_.load(std::memory_order_relaxed); }

  // Level-triggered: a connection that stays with its event thread from one request to the next
  // costs no call to re-arm it. One that goes to a worker is forgotten first.
  void Arm(TLoop& loop, TConn& conn, std::uint32_t events) {
    events |= EPOLLRDHUP;
    if (conn.armed == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = conn.fd;
    ::epoll_ctl(loop.epoll, conn.armed ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, conn.fd, &ev);
    conn.armed = events;
  }

  void Forget(TLoop& loop, TConn& conn) {
    if (conn.armed) ::epoll_ctl(loop.epoll, EPOLL_CTL_DEL, conn.fd, nullptr);
    conn.armed = 0;
  }

  void EventLoop(TLoop& loop) {
    TParked parked;
    std::vector<epoll_event> events(256);
    std::vector<std::unique_ptr<TConn>> arrived;
    auto swept = Clock::now();
    for (;;) {
      const int n = ::epoll_wait(loop.epoll, events.data(), static_cast<int>(events.size()), 200);
      if (stopping_) break;
      {
        std::lock_guard lock(loop.mutex);
        arrived.swap(loop.incoming);
      }
      for (auto& conn : arrived) {
        const int fd = conn->fd;
        TConn& c = *conn;
        const auto it = parked.insert_or_assign(fd, std::move(conn)).first;
        // A request already read whole (pipelined) goes on at once; bytes TLS holds decrypted
        // wake no poll.
        const bool ready = Advance(c) || (!c.refused && c.ssl && SSL_pending(c.ssl) > 0 && Step(c) == TStep::ready);
        if (ready) {
          Run(loop, parked, it);
          continue;
        }
        if (c.refused) Linger(c);
        Arm(loop, c, EPOLLIN);
      }
      arrived.clear();
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == loop.wake) {
          std::uint64_t count;
          [[maybe_unused]] const ssize_t r = ::read(loop.wake, &count, sizeof count);
          continue;
        }
        const auto it = parked.find(fd);
        if (it == parked.end()) continue;
        TConn& c = *it->second;
        const TStep step = Step(c);
        if (step == TStep::wait) {
          Arm(loop, c, c.ssl && !c.handshaken && SSL_want_write(c.ssl) ? EPOLLOUT : EPOLLIN);
        } else if (step == TStep::close) {
          Forget(loop, c);
          parked.erase(it);
        } else {
          Run(loop, parked, it);
        }
      }
      // Deadlines: a header or body too slow, a connection idle too long. They are whole
      // seconds: a look every tenth of one is enough.
      const auto now = Clock::now();
      if (now - swept < std::chrono::milliseconds(100)) continue;
      swept = now;
      const bool busy = Busy();
      for (auto it = parked.begin(); it != parked.end();) {
        TConn& c = *it->second;
        auto deadline = c.deadline;
        if (c.waitingForRequest && busy)
          deadline = std::min(deadline, c.deadline - std::chrono::seconds(limits_.idleSeconds - limits_.busyIdleSeconds));
        if (now < deadline) {
          ++it;
          continue;
        }
        if (!c.waitingForRequest && !c.lingering && (c.handshaken || !c.ssl))
          Refuse(c, 408, "Request Timeout", "the request did not arrive in time");
        Forget(loop, c);
        it = parked.erase(it);
      }
    }
    for (auto& [fd, conn] : parked) Forget(loop, *conn);
  }

  // A parked connection with a whole request: answered here when the quick route can do it
  // without waiting (no hand-over to a worker, no system call beyond the read, a stat and the
  // send), else given to a worker.
  void Run(TLoop& loop, TParked& parked, TParked::iterator it) {
    TConn& c = *it->second;
    // A few requests one after another (pipelined) at most, then a worker goes on.
    for (int round = 0; round < 8 && !c.ssl; ++round) {
      if (AnswerQuick(c, false) != TQuickResult::answered) break;
      NextRequest(c);
      if (!SendNow(c)) {
        Forget(loop, c);
        parked.erase(it);
        return;
      }
      if (!c.out.empty()) break;  // a worker sends the rest, waiting as long as it may
      if (!Advance(c)) {
        if (c.refused) Linger(c);
        Arm(loop, c, EPOLLIN);
        return;
      }
    }
    Forget(loop, c);
    Dispatch(std::move(it->second));
    parked.erase(it);
  }

  // Answers the whole request at the start of `c.in` when the quick route takes it: the
  // answer is then in `c.out`.
  TQuickResult AnswerQuick(TConn& c, bool mayBlock) {
    if (!quick_ || c.needed == 0 || c.in.size() < c.needed) return TQuickResult::declined;
    const std::string_view request(c.in.data(), c.needed);
    const std::size_t lineEnd = request.find('\n');
    const std::string_view line = Trim(request.substr(0, lineEnd));
    if (line.compare(0, 4, "GET ") != 0) return TQuickResult::declined;
    const std::size_t space = line.find(' ', 4);
    if (space == std::string_view::npos || line.substr(space) != " HTTP/1.1") return TQuickResult::declined;
    const std::string_view path = line.substr(4, space - 4);
    if (path.compare(0, quickPrefix_.size(), quickPrefix_) != 0 ||
        !std::all_of(path.begin(), path.end(), IsQuickPathCharacter))
      return TQuickResult::declined;
    // Fields the routes would act on, and lines they would refuse, go their way.
    const std::string_view fields = request.substr(lineEnd + 1);
    for (std::size_t at = 0; at < fields.size();) {
      std::size_t lf = fields.find('\n', at);
      if (lf == std::string_view::npos) lf = fields.size();
      const std::string_view field = fields.substr(at, lf - at);
      at = lf + 1;
      if (Trim(field).empty()) break;
      const std::size_t colon = field.find(':');
      if (colon == 0 || colon == std::string_view::npos) return TQuickResult::declined;
      const std::string_view name = field.substr(0, colon);
      if (name.find_first_of(" \t") != std::string_view::npos) return TQuickResult::declined;
      // Keep-alive is what HTTP/1.1 does anyway (Qt names it); any other option goes the routes' way.
      if (SameWithoutCase(name, "connection") && !SameWithoutCase(Trim(field.substr(colon + 1)), "keep-alive"))
        return TQuickResult::declined;
      for (const std::string_view refused : {"content-length", "transfer-encoding", "expect", "range", "if-range",
                                             "upgrade"})
        if (SameWithoutCase(name, refused)) return TQuickResult::declined;
    }
    // The last request a connection may make closes it: the server's routes answer that one.
    const auto [timeout, most] = keepAlive_();
    if (c.served + 1 >= most) return TQuickResult::declined;
    TQuickRequest quick{"GET", path, fields, mayBlock};
    TQuickAnswer answer;
    const TQuickResult result = quick_(quick, answer);
    if (result != TQuickResult::answered) return result;
    ++c.served;
    const std::size_t length = answer.body ? answer.body->size() : 0;
    c.out.reserve(c.out.size() + 160 + answer.fields.size() + length);
    c.out.append("HTTP/1.1 200 OK\r\n").append(answer.fields);
    c.out.append("Content-Length: ").append(std::to_string(length));
    c.out.append("\r\nContent-Type: ").append(answer.contentType);
    c.out.append("\r\nKeep-Alive: timeout=").append(std::to_string(timeout)).append(", max=").append(std::to_string(most));
    c.out.append("\r\n\r\n");
    if (length) c.out.append(*answer.body);
    c.taken = c.needed;
    if (log_) log_->Request("GET", path, 200);
    return TQuickResult::answered;
  }

  // Past an answered request: the connection waits for its next one.
  void NextRequest(TConn& c) {
    c.in.erase(0, std::min(c.taken, c.in.size()));
    c.taken = 0;
    c.needed = 0;
    c.waitingForRequest = c.in.empty();
    c.deadline = Clock::now() + std::chrono::seconds(c.in.empty() ? limits_.idleSeconds : limits_.headerSeconds);
  }

  // Sends what it can of `c.out` without waiting: false when the connection failed.
  static bool SendNow(TConn& c) {
    std::size_t sent = 0;
    while (sent < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        return false;
      }
    }
    c.out.erase(0, sent);
    return true;
  }

  enum class TStep { wait, close, ready };

  // Reads what a parked connection has and tells what to do with it.
  TStep Step(TConn& c) {
    if (c.lingering) {
      char sink[kReadChunk];
      for (;;) {
        const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return TStep::close;
        if (n < 0 && errno != EINTR) return TStep::wait;
      }
    }
    if (c.ssl && !c.handshaken) {
      ERR_clear_error();
      const int r = SSL_accept(c.ssl);
      if (r != 1) {
        const int e = SSL_get_error(c.ssl, r);
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? TStep::wait : TStep::close;
      }
      c.handshaken = true;
    }
    char buffer[kReadChunk];
    for (;;) {
      const ssize_t n = ReadSome(c, buffer, sizeof buffer);
      if (n == 0 || n == -2) return TStep::close;
      if (n == -1) break;
      if (c.in.empty() && c.waitingForRequest) {
        // The first byte of a request: its header section is due within the limit.
        c.waitingForRequest = false;
        c.deadline = Clock::now() + std::chrono::seconds(limits_.headerSeconds);
      }
      c.in.append(buffer, static_cast<std::size_t>(n));
      // Never more than the request can take; the rest waits in the connection.
      if (c.needed ? c.in.size() >= c.needed : c.in.size() > limits_.requestLineBytes + limits_.headerBytes + 4)
        break;
      // A short read emptied the socket: asking again would only tell so (the poll reports
      // what comes later). TLS may hold decrypted bytes back, so it reads until told to wait.
      if (!c.ssl && static_cast<std::size_t>(n) < sizeof buffer) break;
    }
    if (Advance(c)) return TStep::ready;
    if (c.refused) Linger(c);
    return TStep::wait;
  }

  // Whether the buffered bytes hold a whole request the routes may take; answers what they may
  // not take itself and marks the connection refused.
  bool Advance(TConn& c) {
    if (c.in.empty()) return false;
    if (c.needed == 0) {
      // Find the end of the header section, counting lines as they come.
      std::size_t lineStart = 0, lines = 0, fieldsStart = 0;
      std::size_t end = std::string::npos;
      for (;;) {
        const std::size_t lf = c.in.find('\n', lineStart);
        const std::size_t available = lf == std::string::npos ? c.in.size() : lf;
        if (lines == 0 && available > limits_.requestLineBytes)
          return RefuseAndClose(c, 414, "URI Too Long", "the request line is too long");
        if (lines > 0 && available - fieldsStart > limits_.headerBytes)
          return RefuseAndClose(c, 431, "Request Header Fields Too Large", "the header fields are too large");
        if (lf == std::string::npos) return false;
        std::string_view line(c.in.data() + lineStart, lf - lineStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (lines == 0) {
          fieldsStart = lf + 1;
        } else if (line.empty()) {
          end = lf + 1;
          break;
        } else if (lines > limits_.headerLines) {
          return RefuseAndClose(c, 431, "Request Header Fields Too Large", "too many header fields");
        }
        ++lines;
        lineStart = lf + 1;
      }
      // The body the route takes.
      std::string head(c.in.data(), end);
      std::string method = head.substr(0, head.find(' '));
      const std::size_t targetAt = head.find(' ') + 1;
      std::string target = head.substr(targetAt, head.find_first_of(" \r\n", targetAt) - targetAt);
      target = target.substr(0, target.find('?'));
      // A request line the server cannot read leaves the rest of the request in the connection,
      // where it would be read as the next request: refused here, and the connection closed.
      static const std::set<std::string> kMethods = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
      const std::string version = head.substr(0, head.find('\n'));
      if (!kMethods.count(method) || target.empty() || target.front() != '/' ||
          (version.find(" HTTP/1.1") == std::string::npos && version.find(" HTTP/1.0") == std::string::npos))
        return RefuseAndClose(c, 400, "Bad Request", "malformed request line");
      std::size_t length = 0;
      bool chunked = false, expectContinue = false;
      for (std::size_t at = head.find('\n') + 1; at < head.size();) {
        const std::size_t lf = head.find('\n', at);
        const std::string line = head.substr(at, lf - at);
        at = lf + 1;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Lower(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
        if (name == "content-length") {
          if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 15)
            return RefuseAndClose(c, 400, "Bad Request", "the Content-Length is not a number");
          length = std::stoull(value);
        } else if (name == "transfer-encoding") {
          chunked = true;
        } else if (name == "expect" && Lower(value) == "100-continue") {
          expectContinue = true;
        }
      }
      if (!chunked) {
        std::size_t limit = limits_.defaultBodyBytes;
        if (method == "GET" || method == "HEAD") {
          limit = 0;
        } else {
          std::lock_guard lock(mutex_);
          if (const auto it = bodyLimits_.find(target); it != bodyLimits_.end()) limit = it->second;
        }
        if (length > limit) return RefuseAndClose(c, 413, "Payload Too Large", "the request body is too large");
        if (expectContinue && c.in.size() < end + length) {
          static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
          WriteAll(c, kContinue, sizeof kContinue - 1);
        }
      }
      // A chunked body is refused by the routes before it is read (411).
      c.needed = end + (chunked ? 0 : length);
      c.deadline = Clock::now() + std::chrono::seconds(limits_.bodySeconds);
    }
    return c.in.size() >= c.needed;
  }

  // After a refusal the answer must reach the client: closing with its request unread would
  // reset the connection and lose the answer. The rest is read and dropped for a short while.
  void Linger(TConn& c) {
    if (c.lingering) return;
    c.lingering = true;
    c.in.clear();
    c.in.shrink_to_fit();
    if (c.ssl) {
      SSL_free(c.ssl);
      c.ssl = nullptr;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.deadline = Clock::now() + std::chrono::seconds(2);
  }

  bool RefuseAndClose(TConn& c, int status, const char* reason, const char* message) {
    Refuse(c, status, reason, message);
    c.refused = true;
    return false;
  }


  void Refuse(TConn& c, int status, const char* reason, const char* message) {
    const std::string body = nlohmann::json{{"error", 6}, {"message", message}}.dump();
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n" + body;
    WriteAll(c, answer.data(), answer.size());
    const std::string line = "refused " + std::to_string(status) + ": " + message;
    if (log_) log_->Text(line);
    else std::fprintf(stderr, "%s\n", line.c_str());
  }

  void Dispatch(std::unique_ptr<TConn> conn) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      jobs_.push_back(std::move(conn));
      queued_.store(jobs_.size(), std::memory_order_relaxed);
    }
    jobsChanged_.notify_one();
  }

  void WorkerLoop() {
    for (;;) {
      std::unique_ptr<TConn> conn;
      {
        std::unique_lock lock(mutex_);
        ++idleWorkers_;
        jobsChanged_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        --idleWorkers_;
        if (stopping_) return;
        conn = std::move(jobs_.front());
        jobs_.pop_front();
        queued_.store(jobs_.size(), std::memory_order_relaxed);
        activeFds_.insert(conn->fd);
      }
      Serve(std::move(conn));
    }
  }

  void Serve(std::unique_ptr<TConn> conn) {
    TConn& c = *conn;
    // What an event thread could not send without waiting goes first.
    if (!Flush(c)) {
      Done(c);
      return;  // closed by ~TConn
    }
    bool ready = Advance(c);
    while (ready) {
      c.taken = 0;
      bool keep = true;
      if (AnswerQuick(c, true) != TQuickResult::answered) {
        TFrontStream stream(c);
        keep = runRequest_(stream, ++c.served);
      }
      if (!Flush(c) || (!keep && c.ssl)) {
        Done(c);
        return;  // closed by ~TConn
      }
      if (!keep) {
        // A request the client sent behind this one may be here unread: closing now would
        // reset the connection and drop what of the answer has not gone out yet. (TLS ends
        // with its own close notice, as before.)
        Done(c);
        Linger(c);
        Hand(std::move(conn));
        return;
      }
      c.in.erase(0, std::min(c.taken, c.in.size()));
      c.taken = 0;
      c.needed = 0;
      // A client that asks again at once (the next file of a download) is served by this worker
      // when no other request waits for one: handing it to the event thread and back costs more
      // than the request. When others wait, a next request already here goes behind them in
      // the workers' queue, still without the event thread. Only a request read whole here runs
      // here; anything else goes back.
      if (c.ssl) break;
      const bool busy = Busy();
      if (c.in.empty()) {
        // Whatever is there already; waiting for more would hold the worker.
        char buffer[kReadChunk];
        const ssize_t n = ReadSome(c, buffer, sizeof buffer);
        if (n == 0 || n == -2) {
          Done(c);
          return;  // closed by ~TConn
        }
        if (n < 0) break;
        c.in.assign(buffer, static_cast<std::size_t>(n));
      }
      c.waitingForRequest = false;
      c.deadline = Clock::now() + std::chrono::seconds(limits_.headerSeconds);
      ready = Advance(c);
      if (ready && busy) {
        Done(c);
        Dispatch(std::move(conn));
        return;
      }
    }
    Done(c);
    if (c.refused) {
      Linger(c);
    } else if (c.in.empty()) {
      c.waitingForRequest = true;
      c.deadline = Clock::now() + std::chrono::seconds(limits_.idleSeconds);
    } else if (c.needed == 0) {
      c.waitingForRequest = false;
      c.deadline = Clock::now() + std::chrono::seconds(limits_.headerSeconds);
    }
    Hand(std::move(conn));
  }

  void Done(TConn& c) {
    std::lock_guard lock(mutex_);
    activeFds_.erase(c.fd);
  }

  TFrontLimits limits_;
  std::function<bool(httplib::Stream&, std::size_t)> runRequest_;
  std::function<std::pair<long, std::size_t>()> keepAlive_;
  SSL_CTX* sslCtx_ = nullptr;
  std::string quickPrefix_;
  TQuickRoute quick_;
  std::unique_ptr<TRequestLog> log_;

  std::mutex mutex_;
  std::atomic<bool> stopping_ = false;
  std::deque<std::unique_ptr<TConn>> jobs_;
  std::condition_variable jobsChanged_;
  // Read without the lock by Busy(), a hint that need not be exact.
  std::atomic<std::size_t> idleWorkers_ = 0;
  std::atomic<std::size_t> queued_ = 0;
  std::set<int> activeFds_;
  std::map<std::string, std::size_t> bodyLimits_;
  std::vector<std::unique_ptr<TLoop>> loops_;
  std::atomic<std::size_t> nextLoop_ = 0;
  std::vector<std::thread> workers_;
};


namespace {

// The server library's own connection loop is replaced by the front's; the accept loop and the
// routing stay the library's.
template <class Base>
class TFrontServer final : public Base {
 public:
  template <class... Args>
  explicit TFrontServer(const TFrontLimits& limits, Args&&... args) : Base(std::forward<Args>(args)...) {
    this->new_task_queue = [] { return new TInlineQueue; };
    core_ = std::make_unique<TFrontCore>(
        limits,
        [this](httplib::Stream& stream, std::size_t served) {
          const bool last = served >= this->keep_alive_max_count_;
          bool closed = false;
          const bool ok = this->process_request(stream, last, closed, [](httplib::Request&) {});
          return ok && !closed && !last;
        },
        [this] {
          return std::pair<long, std::size_t>(static_cast<long>(this->keep_alive_timeout_sec_),
                                              this->keep_alive_max_count_);
        });
    if constexpr (std::is_same_v<Base, httplib::SSLServer>) {
      if (this->is_valid()) core_->SetSsl(this->ssl_context());
    }
  }
  ~TFrontServer() override { core_.reset(); }

  TFrontCore& Core() { return *core_; }

 private:
  bool process_and_close_socket(socket_t sock) override {
    // The library listens with a backlog of 5: connections beyond it wait for a SYN retry (a
    // second or more) under load. A listening socket takes a new backlog when listened on again.
    std::call_once(backlogOnce_, [this] { ::listen(this->svr_sock_, 1024); });
    core_->Adopt(sock);
    return true;
  }

  std::unique_ptr<TFrontCore> core_;
  std::once_flag backlogOnce_;
};

}  // namespace

std::unique_ptr<httplib::Server> MakeFrontServer(const std::string& cert, const std::string& key,
                                                 const TFrontLimits& limits) {
  if (cert.empty()) return std::make_unique<TFrontServer<httplib::Server>>(limits);
  return std::make_unique<TFrontServer<httplib::SSLServer>>(limits, cert.c_str(), key.c_str());
}

void SetBodyLimit(httplib::Server& server, const std::string& path, std::size_t bytes) {
  if (auto* plain = dynamic_cast<TFrontServer<httplib::Server>*>(&server)) plain->Core().SetBodyLimit(path, bytes);
  if (auto* tls = dynamic_cast<TFrontServer<httplib::SSLServer>*>(&server)) tls->Core().SetBodyLimit(path, bytes);
}

namespace {

TFrontCore* CoreOf(httplib::Server& server) {
  if (auto* plain = dynamic_cast<TFrontServer<httplib::Server>*>(&server)) return &plain->Core();
  if (auto* tls = dynamic_cast<TFrontServer<httplib::SSLServer>*>(&server)) return &tls->Core();
  return nullptr;
}

}  // namespace

void SetQuickRoute(httplib::Server& server, const std::string& prefix, TQuickRoute route) {
  if (TFrontCore* core = CoreOf(server)) core->SetQuickRoute(prefix, std::move(route));
}

bool LogRequests(httplib::Server& server, int fd) {
  TFrontCore* core = CoreOf(server);
  if (!core) return false;
  TRequestLog& log = core->StartLog(fd);
  server.set_logger([&log](const httplib::Request& req, const httplib::Response& res) {
    log.Request(req.method, req.path, res.status);
  });
  return true;
}

bool IsFrontServer(const httplib::Server& server) {
  return dynamic_cast<const TFrontServer<httplib::Server>*>(&server) ||
         dynamic_cast<const TFrontServer<httplib::SSLServer>*>(&server);
}

}  // namespace cvservice
