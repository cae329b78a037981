#pragma once

// What the engine's download files share: CvLibChartCheckDownload.cpp (a download's way from
// the answer through the writer to its name) and CvLibChartCheckPlain.cpp (small files over a
// plain connection of the downloader's own, and the files fetched ahead over several).
#include "CvLibNetClients.h"
#include "CvLibDownloadFiles.h"

#include "CvLibCrypto.h"
#include "CvLibErrors.h"
#include "CvLibFiles.h"
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <xxhash.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {
namespace dl {

constexpr qint64 kWriteChunk = 8 * 1024 * 1024;   // downloads reach the disk in chunks this big
constexpr qint64 kReplyBuffer = 4 * 1024 * 1024;  // what Qt may hold of a download unread
constexpr qint64 kDirectAlign = 4096;             // block alignment of direct I/O

constexpr qsizetype kMaxPlainHead = 64 * 1024;  // an answer's header on the plain connection
constexpr int kMaxConnections = detail::kMaxConnections;  // files fetched at once, at most
constexpr int kAheadPerConnection = 3;          // files announced ahead for each connection
constexpr int kPipelined = 2;                   // requests out at once on a proven connection
// The field (name and value in lower case) of an answer whose server answers requests sent one
// behind another in their order.
constexpr char kInOrderName[] = "corvane-pipelining";
constexpr char kInOrderValue[] = "in-order";

// Files up to this size are renamed in place unsynced, with a time that marks them unsettled,
// and settled by one sync for many of them: a sync for each small file costs far more than
// fetching it. Larger files are synced one by one before the rename.
constexpr qint64 kSettleMaxFile = 1024 * 1024;
constexpr size_t kSettleFiles = 512;             // a batch is settled after this many files
constexpr qint64 kSettleBytes = 64 * 1024 * 1024;  // or this many bytes
// The nanoseconds of an unsettled file's time: the second is the listed one, but a file whose
// time is not exactly the listed second is taken as current only after its checksum is checked.
constexpr long kUnsettledNanoseconds = 1;

inline int WriteError() { return errno == ENOSPC || errno == EDQUOT ? ceDiskFull : ceFileWrite; }

inline bool WriteAt(int fd, const char* data, qint64 size, qint64 pos) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, static_cast<size_t>(size), static_cast<off_t>(pos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= n;
    pos += n;
  }
  return true;
}

}  // namespace dl

namespace detail {

using namespace dl;

// Does a download's disk work on a thread of its own, one job at a time: it writes one buffer
// while the next is received and hashed, hashes the part an interrupted attempt left, and
// syncs the file at the end, so that a slow disk never holds up the event thread.
// The data goes to disk with direct I/O where the file system allows it: it then passes
// through memory once, for the hash, instead of also being copied into the page cache.
class Downloader::Writer {
 public:
  // One thread serves the downloads one after the other: starting a thread for each small file
  // cost more than its download.
  Writer() : fThread([this] { Run(); }) {}
  ~Writer() {
    {
      std::lock_guard lock(fMutex);
      fQuit = true;
    }
    fWake.notify_all();
    fThread.join();
    Unbind();
  }
  // Takes on a download's part file (and its direct descriptor, which it then owns); onIdle
  // runs on the writer's thread each time a job is done. Only while unbound.
  void Bind(int fd, int directFd, std::function<void()> onIdle) {
    std::lock_guard lock(fMutex);
    fFd = fd;
    fDirectFd = directFd;
    fOnIdle = std::move(onIdle);
    fError = 0;
  }
  // Finishes the job under way and lets go of the download.
  void Unbind() {
    Wait();
    std::lock_guard lock(fMutex);
    if (fDirectFd >= 0) ::close(fDirectFd);
    fFd = fDirectFd = -1;
    fOnIdle = nullptr;
  }
  // Hands over a buffer to be written at pos, after the job before it is done; the buffer
  // must stay untouched until the writer is idle again. 0 or the error of an earlier job.
  int SubmitWrite(const char* data, qint64 size, qint64 pos) {
    return Submit([this, data, size, pos] {
      if (const auto& hook = DownloadWriteHook()) hook();
      return Write(data, size, pos);
    });
  }
  int SubmitSync() {
    return Submit([this] { return ::fsync(fFd) == 0 || errno == EINVAL ? ceOK : WriteError(); });
  }
  // Any other job on the file; it returns 0 or an error code.
  int Submit(std::function<int()> job) {
    std::unique_lock lock(fMutex);
    fWake.wait(lock, [this] { return !fJob; });
    if (fError) return fError;
    fJob = std::move(job);
    lock.unlock();
    fWake.notify_all();
    return ceOK;
  }
  int Wait() {
    std::unique_lock lock(fMutex);
    fWake.wait(lock, [this] { return !fJob; });
    return fError;
  }
  bool Busy() {
    std::lock_guard lock(fMutex);
    return static_cast<bool>(fJob);
  }

 private:
  void Run() {
    std::unique_lock lock(fMutex);
    for (;;) {
      fWake.wait(lock, [this] { return fJob || fQuit; });
      if (!fJob) return;
      lock.unlock();
      const int error = fJob();
      lock.lock();
      if (error && !fError) fError = error;
      fJob = nullptr;
      // The notice of the download the job was for, even when the next one binds meanwhile.
      const std::function<void()> onIdle = fOnIdle;
      fWake.notify_all();
      if (onIdle) {
        lock.unlock();
        onIdle();
        lock.lock();
      }
    }
  }
  // Whole blocks from an aligned position directly, the rest through the page cache.
  int Write(const char* data, qint64 size, qint64 pos) {
    qint64 direct = 0;
    if (fDirectFd >= 0 && pos % kDirectAlign == 0) {
      direct = size / kDirectAlign * kDirectAlign;
      if (direct > 0 && !WriteAt(fDirectFd, data, direct, pos)) {
        if (errno != EINVAL) return WriteError();
        // The file system took the flag but not the write: no direct I/O for this file.
        ::close(fDirectFd);
        fDirectFd = -1;
        direct = 0;
      }
    }
    return WriteAt(fFd, data + direct, size - direct, pos + direct) ? ceOK : WriteError();
  }

  int fFd = -1;
  int fDirectFd = -1;
  std::function<void()> fOnIdle;
  std::mutex fMutex;
  std::condition_variable fWake;
  std::function<int()> fJob;  // the job under way; empty when idle
  bool fQuit = false;
  int fError = 0;
  std::thread fThread;  // last: starts when everything above is ready
};

// A target folder, open for the downloads into it and for settling their files.
struct Downloader::Folder {
  int fd = -1;
  QString key;  // its path and layout
  dev_t dev = 0;
  ino_t ino = 0;
  bool fineTimes = false;  // its file system keeps a file time's nanoseconds (seen on a file)
  ~Folder() {
    if (fd >= 0) ::close(fd);
  }
};

// Settles the small files renamed in place unsynced: syncs their file systems, then gives each
// its exact time, which from then on marks it current without reading it. Until then a crash may
// leave one torn, but its time (a nanosecond past the listed second) has it checked by its
// checksum before it counts as current. Runs on a thread of its own, one batch at a time.
class Downloader::Settler {
 public:
  struct File {
    std::shared_ptr<Folder> folder;
    QByteArray name;
    dev_t dev = 0;
    ino_t ino = 0;
    qint64 time = 0;
  };

  ~Settler() {
    // What is left is settled now; the batch under way is waited for.
    if (fThread.joinable()) fThread.join();
    Settle(std::move(fPending));
  }

  void Add(File file, qint64 size) {
    fPending.push_back(std::move(file));
    fPendingBytes += size;
    if (fPending.size() >= kSettleFiles || fPendingBytes >= kSettleBytes) StartBatch();
  }

  // Hands everything waiting to the thread, after the batch under way; returns at once.
  void StartAll() {
    if (fPending.empty()) return;
    std::thread before = std::move(fThread);
    fDone = std::make_shared<std::atomic<bool>>(false);
    fThread = std::thread([before = std::move(before), files = std::move(fPending), done = fDone]() mutable {
      if (before.joinable()) before.join();
      Settle(std::move(files));
      *done = true;
    });
    fPending.clear();
    fPendingBytes = 0;
  }

  // Hands the files so far to the thread, unless it is still busy with the batch before.
  void StartBatch() {
    if (fPending.empty()) return;
    if (fThread.joinable()) {
      if (!*fDone) return;
      fThread.join();
    }
    fDone = std::make_shared<std::atomic<bool>>(false);
    fThread = std::thread([files = std::move(fPending), done = fDone]() mutable {
      Settle(std::move(files));
      *done = true;
    });
    fPending.clear();
    fPendingBytes = 0;
  }

 private:
  static void Settle(std::vector<File> files) {
    if (files.empty()) return;
    // One sync for each file system; a failed one leaves its files unsettled (checked later).
    std::vector<std::pair<const Folder*, bool>> synced;
    std::vector<std::pair<dev_t, bool>> devices;
    for (const File& file : files) {
      const Folder* folder = file.folder.get();
      if (std::any_of(synced.begin(), synced.end(), [folder](const auto& s) { return s.first == folder; })) continue;
      struct stat st {};
      bool ok = ::fstat(folder->fd, &st) == 0;
      if (ok) {
        auto known = std::find_if(devices.begin(), devices.end(), [&st](const auto& d) { return d.first == st.st_dev; });
        if (known != devices.end()) {
          ok = known->second;
        } else {
          ok = ::syncfs(folder->fd) == 0;
          devices.emplace_back(st.st_dev, ok);
        }
      }
      synced.emplace_back(folder, ok);
    }
    for (const File& file : files) {
      const Folder* folder = file.folder.get();
      const auto entry = std::find_if(synced.begin(), synced.end(), [folder](const auto& s) { return s.first == folder; });
      if (!entry->second) continue;
      // Only the very file renamed there, never through a link.
      struct stat st {};
      if (::fstatat(folder->fd, file.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
          st.st_dev != file.dev || st.st_ino != file.ino)
        continue;
      const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(file.time), 0}};
      ::utimensat(folder->fd, file.name.constData(), times, AT_SYMLINK_NOFOLLOW);
    }
  }

  std::vector<File> fPending;
  qint64 fPendingBytes = 0;
  std::shared_ptr<std::atomic<bool>> fDone = std::make_shared<std::atomic<bool>>(true);
  std::thread fThread;
};

struct Downloader::Download {
  InstallItem* item = nullptr;
  TItemFile file;
  QByteArray targetName, partName;  // in dirFd
  std::shared_ptr<Folder> folder;  // opened without links below the chosen folder
  int dirFd = -1;                           // folder's
  int fd = -1;     // the part file
  Downloader* owner = nullptr;
  std::unique_ptr<Writer> writer;  // the downloader's, bound to this download's part
  EVP_MD_CTX* hash = nullptr;
  // Beside the SHA-256, from the same bytes: the backup index keeps it for a fast check.
  XXH3_state_t* xxh3 = nullptr;
  int fileIndex = 0;
  qint64 offset = 0;   // bytes received: written, being written and in the buffer
  qint64 written = 0;  // bytes handed to the writer
  qint64 requestStart = 0;  // offset the running request started from
  char* buffers[2] = {nullptr, nullptr};  // the downloader's, kWriteChunk bytes each, aligned for direct I/O
  int current = 0;                        // the buffer being filled
  qint64 fill = 0;
  int fallbacks = 0;  // restarts from 0 after a refused range
  int error = 0;      // found while receiving; the reply is aborted
  unsigned serial = 0;        // tells the writer's notices for this download from stale ones
  bool hashingPart = false;    // the writer hashes what an earlier attempt left
  bool syncing = false;        // verified; the writer is syncing the part before it is renamed
  bool replyFinished = false;  // the whole answer is in; the rest waits only for the writer
  QTimer* idle = nullptr;      // of the running request; owned by its context
  QUrl url;                    // where the file is fetched from, after redirects
  int redirects = 0;
  // Over the downloader's own connection (a small file over plain http): the answer's header
  // as it arrives, and whether the request went out on a connection an earlier file used.
  bool plain = false;
  bool headDone = false;
  bool reusedSocket = false;
  bool resent = false;
  bool closeAfter = false;  // the answer ends its connection
  bool extra = false;       // bytes beyond the listed size came: the connection is unfit
  bool fromAhead = false;   // waits for the answer fetched ahead
  QByteArray head;
  char* Buffer() const { return buffers[current]; }
  ~Download() {
    if (owner) owner->ReleaseWriter(*this);  // finishes its write before the file closes
    if (fd >= 0) ::close(fd);
    if (hash) cvcrypto::EVP_MD_CTX_free(hash);
    if (xxh3) XXH3_freeState(xxh3);
  }
  void Hash(const char* data, size_t size) {
    cvcrypto::EVP_DigestUpdate(hash, data, size);
    XXH3_64bits_update(xxh3, data, size);
  }
  bool ResetHash() {
    return cvcrypto::EVP_DigestInit_ex(hash, cvcrypto::EVP_sha256(), nullptr) && XXH3_64bits_reset(xxh3) == XXH_OK;
  }
};

// Small files fetched ahead of their turn: up to `connections` kept-alive connections of their
// own, so that the round trips of several files overlap. Many servers drop a request they read
// ahead, so one goes out behind another only to a server that says it answers such requests in
// order (kInOrderName, as the service does): on a connection that answered a request whole
// over HTTP/1.1 with that field and kept it open, the next request goes out before the answer
// before it is in (kPipelined out at once). Over the internet that halves the round trips
// again, and the server still works on one request of each connection at a time. Should such a
// server drop one after all, that shows as silence, a close or a foreign answer after an
// answer: the request is asked again alone, and none goes behind another any more. The
// answers are held in memory in the order the files were announced; each is taken, checked and
// written when its download starts, so that the disk, the checks and the events still go one
// file after the other.
// Any answer but the plain one, a broken connection or a silent one makes the file go the
// ordinary way at its turn, where it ends as it would have without being fetched ahead.
class Downloader::Ahead {
 public:
  struct Fetch {
    const InstallItem* item = nullptr;
    int fileIndex = 0;
    QUrl url;
    qint64 size = 0;
    enum State { Queued, Sent, Ready, Failed } state = Queued;
    // Failed: 0 goes the ordinary way at its turn; else the download ends with this error, and
    // what arrived (got bytes of body) stays in its part as on the plain connection.
    int error = 0;
    int tries = 0;  // sends a kept connection dropped before the answer began
    bool behind = false;  // sent while an answer before it on its connection was still out
    bool orphan = false;  // no longer wanted: its answer is read and dropped
    QByteArray body;
    qint64 got = 0;
  };

  Ahead(Downloader& owner, int connections)
      : fOwner(owner), fConnections(std::max(connections, 1)), fRoot(std::make_unique<QObject>()) {}
  ~Ahead() {
    // Nothing of a connection may run from here on; deleting them drops their queued notices.
    for (const std::unique_ptr<Conn>& c : fConns) c->socket->disconnect();
    for (const std::unique_ptr<Conn>& c : fConns) c->socket->abort();
  }

  int Room() const { return fConnections * kAheadPerConnection - static_cast<int>(fFetches.size()); }

  void Add(const InstallItem* item, int fileIndex, const QUrl& url, qint64 size) {
    auto fetch = std::make_unique<Fetch>();
    fetch->item = item;
    fetch->fileIndex = fileIndex;
    fetch->url = url;
    fetch->size = size;
    fFetches.push_back(std::move(fetch));
    Pump();
  }

  // The file's download starts: the files announced before it are not asked for any more.
  // False (and nothing kept) when it was not announced.
  bool Take(const InstallItem* item, int fileIndex) {
    const auto it = std::find_if(fFetches.begin(), fFetches.end(), [&](const std::unique_ptr<Fetch>& f) {
      return f->item == item && f->fileIndex == fileIndex;
    });
    const bool found = it != fFetches.end();
    while (!fFetches.empty() && (!found || fFetches.front()->item != item || fFetches.front()->fileIndex != fileIndex))
      PopFront();
    return found;
  }

  Fetch* Front() const { return fFetches.empty() ? nullptr : fFetches.front().get(); }

  // Lets go of the first file. One still on its way keeps its connection until its answer is
  // in and dropped: closing the connection would leave the server at work on it meanwhile, one
  // request more than the connections allow.
  void PopFront() {
    std::unique_ptr<Fetch> f = std::move(fFetches.front());
    fFetches.pop_front();
    if (f->state == Fetch::Sent)
      for (const std::unique_ptr<Conn>& c : fConns)
        if (std::find(c->sent.begin(), c->sent.end(), f.get()) != c->sent.end()) {
          f->orphan = true;
          c->orphans.push_back(std::move(f));
          break;
        }
    Pump();
  }

  // Tells the owner, from the event loop, that a file may have moved on.
  void Notify() {
    if (fNotifyQueued) return;
    fNotifyQueued = true;
    QMetaObject::invokeMethod(
        fRoot.get(),
        [this] {
          fNotifyQueued = false;
          fOwner.AheadMoved();
        },
        Qt::QueuedConnection);
  }

 private:

  struct Conn {
    QTcpSocket* socket = nullptr;  // children of fRoot
    QTimer* idle = nullptr;
    QString host;
    int port = 0;
    std::deque<Fetch*> sent;  // in the order of their answers
    std::vector<std::unique_ptr<Fetch>> orphans;  // of sent, those no longer wanted
    bool headDone = false;
    bool closeAfter = false;
    bool inOrder = false;  // the answer under way is HTTP/1.1 and says it answers in order
    bool answered = false;  // an answer came whole: a break before the next is no server's fault
    bool proven = false;    // an inOrder answer came whole and kept the connection: fit to pipeline
    bool retired = false;   // of the time before StopPipelining: takes no new request
  };

  // Sends the queued files in their order while a connection has room.
  void Pump() {
    for (const std::unique_ptr<Fetch>& f : fFetches) {
      if (f->state != Fetch::Queued) continue;
      Conn* c = PickConn(f->url);
      if (!c) break;
      f->state = Fetch::Sent;
      f->got = 0;
      f->body.clear();
      f->behind = !c->sent.empty();
      c->sent.push_back(f.get());
      if (c->sent.size() == 1) c->idle->start();
      c->socket->write(fOwner.PlainRequest(f->url));
      if (c->socket->state() == QAbstractSocket::ConnectedState) c->socket->flush();
    }
  }

  // An idle connection to the file's server, a new one while fewer than allowed are open, a
  // proven one with room for a request behind the one it has out, or none when all are busy.
  Conn* PickConn(const QUrl& url) {
    const QString host = url.host();
    const int port = url.port(80);
    const auto same = [&](const Conn& c) { return c.host == host && c.port == port && !c.closeAfter && !c.retired; };
    for (const std::unique_ptr<Conn>& c : fConns)
      if (same(*c) && c->sent.empty()) return c.get();
    if (static_cast<int>(fConns.size()) >= fConnections) {
      // One idle on another server makes way.
      const auto idle = std::find_if(fConns.begin(), fConns.end(), [](const std::unique_ptr<Conn>& c) { return c->sent.empty(); });
      if (idle != fConns.end()) Drop(**idle);
    }
    if (static_cast<int>(fConns.size()) < fConnections) return Open(host, port);
    if (!fPipelining) return nullptr;
    Conn* best = nullptr;
    for (const std::unique_ptr<Conn>& c : fConns)
      if (same(*c) && c->proven && static_cast<int>(c->sent.size()) < kPipelined && (!best || c->sent.size() < best->sent.size()))
        best = c.get();
    return best;
  }

  Conn* Open(const QString& host, int port) {
    auto conn = std::make_unique<Conn>();
    Conn* c = conn.get();
    c->host = host;
    c->port = port;
    c->socket = new QTcpSocket(fRoot.get());
    c->socket->setProxy(QNetworkProxy::NoProxy);
    c->idle = new QTimer(c->socket);
    c->idle->setInterval(RequestTimeoutMs());
    // A request goes out at once, not after the ack of the one before.
    QObject::connect(c->socket, &QAbstractSocket::connected, c->socket,
                     [socket = c->socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    QObject::connect(c->socket, &QIODevice::readyRead, c->socket, [this, c] { Data(*c); });
    // Queued: the connection may be dropped inside a call of ours.
    QObject::connect(c->socket, &QAbstractSocket::errorOccurred, c->socket, [this, socket = c->socket] {
      if (Conn* found = Find(socket)) Broken(*found, false);
    }, Qt::QueuedConnection);
    QObject::connect(c->idle, &QTimer::timeout, c->socket, [this, c] { Broken(*c, true); });
    c->socket->connectToHost(host, static_cast<quint16>(port));
    fConns.push_back(std::move(conn));
    return c;
  }

  // Lets go of a connection; what it had out is asked again on another (first in line first).
  void Drop(Conn& c) {
    for (Fetch* f : c.sent)
      if (!f->orphan) f->state = Fetch::Queued;
    c.sent.clear();
    c.socket->disconnect();
    c.idle->stop();
    c.socket->abort();
    c.socket->deleteLater();
    fConns.erase(std::find_if(fConns.begin(), fConns.end(), [&c](const std::unique_ptr<Conn>& p) { return p.get() == &c; }));
  }

  Conn* Find(const QTcpSocket* socket) const {
    for (const std::unique_ptr<Conn>& c : fConns)
      if (c->socket == socket) return c.get();
    return nullptr;
  }

  void Settled(Conn& c, Fetch::State state, int error = 0) {
    Fetch* f = c.sent.front();
    c.sent.pop_front();
    c.headDone = false;
    if (state == Fetch::Ready) {
      c.answered = true;
      if (c.inOrder && !c.closeAfter) c.proven = true;
    }
    if (f->orphan) {
      c.orphans.erase(std::find_if(c.orphans.begin(), c.orphans.end(), [f](const auto& o) { return o.get() == f; }));
      return;
    }
    f->state = state;
    f->error = error;
    Notify();
  }

  void Data(Conn& c) {
    QTcpSocket* socket = c.socket;
    if (!c.sent.empty()) c.idle->start();
    while (!c.sent.empty()) {
      Fetch& f = *c.sent.front();
      if (!c.headDone) {
        // The header alone: what follows it belongs to this answer's body or to the next one.
        const QByteArray peeked = socket->peek(kMaxPlainHead + 1);
        const qsizetype end = peeked.indexOf("\r\n\r\n");
        if (end < 0) {
          // A header too long, or with bare line ends, is left to the ordinary road.
          if (peeked.size() > kMaxPlainHead || peeked.contains("\n\n")) {
            Refuse(c);
            return;
          }
          break;
        }
        bool closeAfter = false;
        bool inOrder = false;
        if (!AcceptPlainHead(peeked.left(end + 2), f.size, closeAfter, &inOrder)) {
          Refuse(c);
          return;
        }
        socket->skip(end + 4);
        c.closeAfter = closeAfter;
        c.inOrder = inOrder;
        c.headDone = true;
        f.body.resize(f.size);
        f.got = 0;
      }
      if (f.got < f.size) {
        const qint64 n = socket->read(f.body.data() + f.got, f.size - f.got);
        if (n > 0) f.got += n;
        if (f.got < f.size) break;
      }
      Settled(c, Fetch::Ready);
      if (c.closeAfter || c.retired) {
        Drop(c);
        Pump();
        return;
      }
    }
    if (c.sent.empty()) {
      c.idle->stop();
      // Bytes nobody asked for: the connection is unfit for the next request.
      if (socket->bytesAvailable() > 0) Drop(c);
      Pump();
    }
  }

  // An answer other than the plain one: its file goes the ordinary way, the rest on another
  // connection (this one cannot tell where the answer ends). Behind another, it may be the
  // answer to another request.
  void Refuse(Conn& c) {
    if (c.sent.front()->behind) StopPipelining();
    Settled(c, Fetch::Failed);
    Drop(c);
    Pump();
  }

  void Broken(Conn& conn, bool timedOut) {
    const QTcpSocket* socket = conn.socket;
    // What came with the end is taken first.
    if (!timedOut) Data(conn);
    Conn* c = Find(socket);
    if (!c) return;
    if (!c->sent.empty()) {
      Fetch& f = *c->sent.front();
      // A kept connection the server closed before it began the answer: once more on a new
      // one, as on the plain connection. The others it had out go again anyway.
      const bool started = c->headDone || c->socket->bytesAvailable() > 0;
      if (!started && f.behind) {
        // Silence or a close after an answer, for a request sent behind it: the server dropped
        // what it read ahead.
        StopPipelining();
      } else if (!timedOut && !started && c->answered && f.tries == 0) ++f.tries;
      else Settled(*c, Fetch::Failed, f.got > 0 ? ceChkIncomplete : ceChkNetwork);
    }
    Drop(*c);
    Pump();
  }

  // The server dropped a request sent behind another, or answered another in its place: none
  // goes so any more, and the connections it has are let go as their next answer ends (what
  // they still had out is asked again), so that every request from now on goes alone on a
  // connection opened after this. One of the old ones could hold a request the server dropped
  // and take the next answer for its own.
  void StopPipelining() {
    fPipelining = false;
    for (const std::unique_ptr<Conn>& c : fConns) c->retired = true;
  }

  Downloader& fOwner;
  const int fConnections;
  // Owns the connections; deleted after them, with their notices still queued.
  std::unique_ptr<QObject> fRoot;
  std::vector<std::unique_ptr<Conn>> fConns;
  std::deque<std::unique_ptr<Fetch>> fFetches;  // in the order announced
  bool fNotifyQueued = false;
  bool fPipelining = true;  // until a server drops a request sent behind another
};

}  // namespace detail
}  // namespace cvlib
