// The chart-check engine's downloads: a part file written by a thread of its own while the data
// streams in and is hashed, verified, and renamed into place. docs/chart-check.md, "Downloads".
#include "CvLibChartCheckParts.h"

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

#include <openssl/evp.h>
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

namespace {

constexpr qint64 kWriteChunk = 8 * 1024 * 1024;   // downloads reach the disk in chunks this big
constexpr qint64 kReplyBuffer = 4 * 1024 * 1024;  // what Qt may hold of a download unread
constexpr qint64 kDirectAlign = 4096;             // block alignment of direct I/O

constexpr char kPartSuffix[] = ".cvpart";

constexpr qsizetype kMaxPlainHead = 64 * 1024;  // an answer's header on the plain connection
constexpr int kMaxConnections = 16;             // files fetched at once, at most
constexpr int kAheadPerConnection = 3;          // files announced ahead for each connection

// Files up to this size are renamed in place unsynced, with a time that marks them unsettled,
// and settled by one sync for many of them: a sync for each small file costs far more than
// fetching it. Larger files are synced one by one before the rename.
constexpr qint64 kSettleMaxFile = 1024 * 1024;
constexpr size_t kSettleFiles = 512;             // a batch is settled after this many files
constexpr qint64 kSettleBytes = 64 * 1024 * 1024;  // or this many bytes
// The nanoseconds of an unsettled file's time: the second is the listed one, but a file whose
// time is not exactly the listed second is taken as current only after its checksum is checked.
constexpr long kUnsettledNanoseconds = 1;

// Hidden, and with a suffix no listed file may have, so that no file of a list can take it.
QString PartName(const QString& name) {
  const QString plain = u'.' + name + QLatin1String(kPartSuffix);
  if (QFile::encodeName(plain).size() <= NAME_MAX) return plain;
  // A name near the limit: its hash keeps the part's name within it.
  const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(40);
  return u'.' + QString::fromLatin1(hash) + QLatin1String(kPartSuffix);
}

// A finished file gets the mode any file the user makes gets: the part was private meanwhile.
// Installed and stored files are writable by their owner alone, whatever the umask allows.
mode_t NewFileMode() { return static_cast<mode_t>(0644 & ~ProcessUmask()); }

// Opens each of `names` below the open folder `fd` without following a link; takes fd.
// Creates missing ones when `create`. The last folder's descriptor, or -1 with error set.
int OpenBelow(int fd, const QStringList& names, bool create, int& error) {
  for (const QString& name : names) {
    const QByteArray n = QFile::encodeName(name);
    if (create && ::mkdirat(fd, n.constData(), 0777) != 0 && errno != EEXIST) {
      error = ceDirCreate;
      ::close(fd);
      return -1;
    }
    const int next = ::openat(fd, n.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      struct stat st {};
      const bool link = ::fstatat(fd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      error = link ? ceChkLinkedFolder : errno == ENOENT ? ceFileNotFound : ceFileAccess;
      ::close(fd);
      return -1;
    }
    ::close(fd);
    fd = next;
  }
  error = ceOK;
  return fd;
}

int WriteError() { return errno == ENOSPC || errno == EDQUOT ? ceDiskFull : ceFileWrite; }

bool WriteAt(int fd, const char* data, qint64 size, qint64 pos) {
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

}  // namespace

QString DownloadPartPath(const QString& folder, const QString& name) {
  return QDir(folder).filePath(PartName(name));
}

bool IsDownloadPartName(const QString& name) {
  return name.endsWith(QLatin1String(kPartSuffix), Qt::CaseInsensitive);
}

QString DownloadStagedName(const QString& name) { return PartName(name + QLatin1String(kPartSuffix)); }

int DirCreateBelow(const QString& base, const QString& relative) {
  if (!IsSafeRelativeFolder(relative)) return ceChkUnsafeName;
  const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ceFileNotFound : ceFileAccess;
  int error = ceOK;
  const int last = OpenBelow(fd, relative.split(u'/', Qt::SkipEmptyParts), true, error);
  if (last >= 0) ::close(last);
  return error;
}

namespace detail {

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
    if (hash) EVP_MD_CTX_free(hash);
    if (xxh3) XXH3_freeState(xxh3);
  }
  void Hash(const char* data, size_t size) {
    EVP_DigestUpdate(hash, data, size);
    XXH3_64bits_update(xxh3, data, size);
  }
  bool ResetHash() {
    return EVP_DigestInit_ex(hash, EVP_sha256(), nullptr) && XXH3_64bits_reset(xxh3) == XXH_OK;
  }
};

// Small files fetched ahead of their turn: up to `connections` kept-alive connections of their
// own, one request out on each at a time, so that the round trips of several files overlap.
// (Requests are not sent before the answer before them came: a server that reads a request
// ahead may drop it, and its answers would then belong to other files.) The answers are held in
// memory in the order the files were announced; each is taken, checked and written when its download
// starts, so that the disk, the checks and the events still go one file after the other.
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
    bool answered = false;  // an answer came whole: a break before the next is no server's fault
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
      c->sent.push_back(f.get());
      if (c->sent.size() == 1) c->idle->start();
      c->socket->write(fOwner.PlainRequest(f->url));
      if (c->socket->state() == QAbstractSocket::ConnectedState) c->socket->flush();
    }
  }

  // An idle connection to the file's server, a new one while fewer than allowed are open, or
  // none when all are busy.
  Conn* PickConn(const QUrl& url) {
    const QString host = url.host();
    const int port = url.port(80);
    for (const std::unique_ptr<Conn>& c : fConns)
      if (c->host == host && c->port == port && !c->closeAfter && c->sent.empty()) return c.get();
    if (static_cast<int>(fConns.size()) >= fConnections) {
      // One idle on another server makes way.
      const auto idle = std::find_if(fConns.begin(), fConns.end(), [](const std::unique_ptr<Conn>& c) { return c->sent.empty(); });
      if (idle != fConns.end()) Drop(**idle);
    }
    return static_cast<int>(fConns.size()) < fConnections ? Open(host, port) : nullptr;
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
    if (state == Fetch::Ready) c.answered = true;
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
        if (!AcceptPlainHead(peeked.left(end + 2), f.size, closeAfter)) {
          Refuse(c);
          return;
        }
        socket->skip(end + 4);
        c.closeAfter = closeAfter;
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
      if (c.closeAfter) {
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
  // connection (this one cannot tell where the answer ends).
  void Refuse(Conn& c) {
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
      if (!timedOut && !started && c->answered && f.tries == 0) ++f.tries;
      else Settled(*c, Fetch::Failed, f.got > 0 ? ceChkIncomplete : ceChkNetwork);
    }
    Drop(*c);
    Pump();
  }

  Downloader& fOwner;
  const int fConnections;
  // Owns the connections; deleted after them, with their notices still queued.
  std::unique_ptr<QObject> fRoot;
  std::vector<std::unique_ptr<Conn>> fConns;
  std::deque<std::unique_ptr<Fetch>> fFetches;  // in the order announced
  bool fNotifyQueued = false;
};

Downloader::Downloader(ServiceClient& service, Progress progress, Done done)
    : fService(service), fProgress(std::move(progress)), fDone(std::move(done)),
      fWakeTarget(std::make_unique<QObject>()), fSettler(std::make_unique<Settler>()) {}

Downloader::~Downloader() {
  Cancel();
  fAhead.reset();
  DropSocket();
  std::free(fBuffers[0]);
  std::free(fBuffers[1]);
}

void Downloader::Cancel() {
  if (fDownload) {
    if (fDownload->plain && fDownload->idle) {
      fDownload->idle->stop();
      // The answer under way would be read by the next file's request.
      DropSocket();
      // What arrived is kept in the part, as on Qt's road.
      if (fDownload->fill > 0) WritePart();
    }
    fDownload->idle = nullptr;
  }
  fContext.reset();
  if (fReply) {
    fReply->disconnect();
    fReply->abort();
    delete fReply;
    fReply = nullptr;
  }
  // The writer finishes its write; what is on disk stays in the part for the next attempt.
  fDownload.reset();
  // Whatever was fetched ahead is dropped with its connections.
  fAhead.reset();
}

void Downloader::Finish() {
  if (fDownload) return;
  fSettler->StartAll();
  fFolder.reset();
  DropSocket();
  fAhead.reset();
}

void Downloader::SetConnections(int connections) {
  fConnections = std::clamp(connections, 1, kMaxConnections);
  if (!fDownload) fAhead.reset();
}

int Downloader::PrefetchRoom() const {
  if (fConnections < 2) return 0;
  return fAhead ? std::max(fAhead->Room(), 0) : fConnections * kAheadPerConnection;
}

bool Downloader::Prefetch(InstallItem* item, int fileIndex, const QString& folder) {
  if (fConnections < 2 || PrefetchRoom() <= 0 || !item || fileIndex < 0 || fileIndex >= item->FileCount()) return false;
  const TItemFile& file = item->Data().files[static_cast<size_t>(fileIndex)];
  // Only what the plain connection would fetch; the rest is left to Start to check and refuse.
  if (item->Status() == itemNameClash || !IsSafeFileName(file.name) || IsDownloadPartName(file.name) ||
      file.url.isEmpty() || !IsHex64(file.sha256) || !fService.IsWebURL(file.url))
    return false;
  const QUrl url = QUrl(fService.BaseURL()).resolved(QUrl(file.url));
  if (!CanFetchPlain(url, file.size)) return false;
  // A part of an earlier attempt is resumed on the ordinary road.
  struct stat st {};
  if (::lstat(QFile::encodeName(DownloadPartPath(folder, file.name)).constData(), &st) == 0 || errno != ENOENT)
    return false;
  if (!fAhead) fAhead = std::make_unique<Ahead>(*this, fConnections);
  fAhead->Add(item, fileIndex, url, file.size);
  return true;
}

// A file fetched ahead may be in: the download waiting for it takes it, or goes the ordinary
// way when its fetch failed.
void Downloader::AheadMoved() {
  if (!fDownload || !fDownload->fromAhead || !fAhead) return;
  Ahead::Fetch* f = fAhead->Front();
  Download& d = *fDownload;
  if (f && (f->state == Ahead::Fetch::Queued || f->state == Ahead::Fetch::Sent)) return;
  d.fromAhead = false;
  if (!f || (f->state == Ahead::Fetch::Failed && f->error == 0)) {
    if (f) fAhead->PopFront();
    if (const int error = BeginFetch()) {
      fDownload.reset();
      fDone(error);
    }
    return;
  }
  d.plain = true;
  if (f->state == Ahead::Fetch::Failed) {
    // Broken off or silent: as on the plain connection, what arrived stays in the part.
    const int error = f->error;
    PlainTake(f->body.constData(), f->got);
    fAhead->PopFront();
    if (d.fill > 0)
      if (const int written = WritePart()) {
        Fail(written, false);
        return;
      }
    Fail(error, true);
    return;
  }
  PlainTake(f->body.constData(), f->body.size());
  fAhead->PopFront();
  StoreVerified();
}

// Lets go of the running reply and its connections. Called from inside their handlers,
// so both are deleted later, never in the middle of a handler.
void Downloader::DropReply() {
  if (fDownload && fDownload->idle) {
    fDownload->idle->stop();
    fDownload->idle = nullptr;
  }
  if (fReply) {
    fReply->disconnect();
    fReply->deleteLater();
    fReply = nullptr;
  }
  if (fContext) fContext.release()->deleteLater();
}

void Downloader::Fail(int error, bool keepPart) {
  DropReply();
  if (fDownload) {
    if (!keepPart) ::unlinkat(fDownload->dirFd, fDownload->partName.constData(), 0);
    fDownload.reset();
  }
  fDone(error);
}

// Hands the filled buffer to the writer and goes on with the other one.
int Downloader::FlushBuffer() {
  Download& d = *fDownload;
  if (d.fill == 0) return ceOK;
  if (const int error = d.writer->SubmitWrite(d.Buffer(), d.fill, d.written)) return error;
  d.written += d.fill;
  d.fill = 0;
  d.current ^= 1;
  return ceOK;
}

// Everything received is on disk: 0 or the error of a write.
int Downloader::FlushAll() {
  const int error = FlushBuffer();
  const int waited = fDownload->writer ? fDownload->writer->Wait() : ceOK;
  return error ? error : waited;
}

// Opens the target folder. The trailing folders that are the layout's own are opened without
// following a link: one planted there (a backup someone else wrote) would have the files
// written outside the chosen folder. The chosen folder itself may be a link.
int Downloader::OpenTargetFolder(const QString& folder, const QStringList& layout, int& dirFd) {
  const QStringList parts = QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).split(u'/', Qt::SkipEmptyParts);
  qsizetype own = std::min(parts.size(), layout.size());
  while (own > 0 && parts.mid(parts.size() - own) != layout.mid(layout.size() - own)) --own;
  const QString chosen = u'/' + parts.mid(0, parts.size() - own).join(u'/');
  const int fd = ::open(QFile::encodeName(chosen).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ceFileNotFound : ceFileAccess;
  int error = ceOK;
  dirFd = OpenBelow(fd, parts.mid(parts.size() - own), false, error);
  return error;
}

// The part file in the target folder, never through a link, and resumed only when it is the
// user's own and nobody else could have written into it; anything else there is replaced.
int Downloader::OpenPart(Download& d, struct stat& st) {
  const char* name = d.partName.constData();
  d.fd = ::openat(d.dirFd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (d.fd >= 0 && (::fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
                    (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_nlink != 1)) {
    ::close(d.fd);
    d.fd = -1;
    if (::unlinkat(d.dirFd, name, 0) != 0) return ceFileCreate;
  } else if (d.fd < 0) {
    if (errno == ELOOP) {
      if (::unlinkat(d.dirFd, name, 0) != 0) return ceFileCreate;
    } else if (errno != ENOENT) {
      return ceFileCreate;
    }
  }
  if (d.fd < 0) {
    d.fd = ::openat(d.dirFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (d.fd < 0 || ::fstat(d.fd, &st) != 0) return ceFileCreate;
  }
  return ceOK;
}

// The target folder, kept open for the files after it while its path still leads to it: an
// item's files go one after the other into one folder.
int Downloader::TargetFolder(const QString& folder, const QStringList& layout, const struct stat& byPath, Download& d) {
  const QString key = folder + u'\n' + layout.join(u'/');
  if (!fFolder || fFolder->key != key || fFolder->dev != byPath.st_dev || fFolder->ino != byPath.st_ino) {
    fFolder.reset();
    auto opened = std::make_shared<Folder>();
    if (const int error = OpenTargetFolder(folder, layout, opened->fd)) return error;
    struct stat st {};
    if (::fstat(opened->fd, &st) != 0) return ceFileAccess;
    opened->key = key;
    opened->dev = st.st_dev;
    opened->ino = st.st_ino;
    fFolder = std::move(opened);
  }
  d.folder = fFolder;
  d.dirFd = fFolder->fd;
  return ceOK;
}

int Downloader::Start(InstallItem* item, int fileIndex, const QString& folder, const QStringList& layout,
                      bool staged) {
  auto fail = [this](int error) {
    fDownload.reset();
    return error;
  };
  const TItemFile& file = item->Data().files[static_cast<size_t>(fileIndex)];
  if (!IsSafeFileName(file.name) || IsDownloadPartName(file.name)) return fail(ceChkUnsafeName);
  if (item->Status() == itemNameClash) return fail(ceChkNameClash);
  if (file.url.isEmpty() || !IsHex64(file.sha256)) return fail(ceChkBadArgument);
  if (!fService.IsWebURL(file.url)) return fail(ceChkBadAnswer);
  struct stat byPath {};
  if (folder.isEmpty() || ::stat(QFile::encodeName(folder).constData(), &byPath) != 0 || !S_ISDIR(byPath.st_mode))
    return fail(ceFileNotFound);

  fDownload = std::make_unique<Download>();
  Download& d = *fDownload;
  d.owner = this;
  d.item = item;
  d.fileIndex = fileIndex;
  d.file = file;
  d.targetName = QFile::encodeName(staged ? DownloadStagedName(file.name) : file.name);
  d.partName = QFile::encodeName(PartName(file.name));
  if (const int error = TargetFolder(folder, layout, byPath, d)) return fail(error);
  d.hash = EVP_MD_CTX_new();
  d.xxh3 = XXH3_createState();
  // The buffers serve one download after the other: freeing them each time costs more than a
  // small file's whole download (the mapping is torn down on every thread).
  for (char*& buffer : fBuffers)
    if (!buffer) buffer = static_cast<char*>(std::aligned_alloc(kDirectAlign, kWriteChunk));
  d.buffers[0] = fBuffers[0];
  d.buffers[1] = fBuffers[1];
  if (!d.hash || !d.xxh3 || !d.buffers[0] || !d.buffers[1] || !d.ResetHash())
    return fail(ceChkChecksum);
  d.serial = ++fDownloadSerial;
  d.url = QUrl(fService.BaseURL()).resolved(QUrl(d.file.url));
  // A file fetched ahead is taken from memory once its answer is in (from the event loop, as
  // any other download ends); one whose fetch failed goes the ordinary way from here.
  if (fAhead && fAhead->Take(item, fileIndex)) {
    d.fromAhead = true;
    fAhead->Notify();
    return ceOK;
  }
  if (const int error = BeginFetch()) return fail(error);
  return ceOK;
}

// Asks for the current download's file: over the plain connection, or on Qt's road into its
// part file. An error found at once is returned.
int Downloader::BeginFetch() {
  Download& d = *fDownload;
  const TItemFile& file = d.file;
  // A small file with no part of an earlier attempt is held in memory until it is verified.
  struct stat st {};
  if (CanFetchPlain(d.url, file.size) && ::fstatat(d.dirFd, d.partName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT) {
    d.plain = true;
    SendPlain();
    return ceOK;
  }
  if (const int error = OpenPart(d, st)) return error;
  // A part left by an interrupted attempt is resumed from its last whole block (so that
  // direct I/O can go on); its bytes go through the hash first.
  qint64 keep = st.st_size;
  if (keep > file.size) keep = 0;
  else if (keep < file.size) keep = keep / kDirectAlign * kDirectAlign;
  if (keep != st.st_size && ::ftruncate(d.fd, keep) != 0) return ceFileWrite;
  // A small file goes through the page cache: it is synced with its batch, and writing its
  // first block straight to disk on its own made each one wait for the disk.
  d.writer = NewWriter(file.size > kSettleMaxFile ? OpenDirect(d.dirFd, d.partName, st) : -1);
  if (keep == 0) {
    SendRange();
    return ceOK;
  }
  // Hashing a large part takes a while: the writer does it, and WriterIdle goes on.
  d.hashingPart = true;
  Download* download = &d;
  d.writer->Submit([download, keep] {
    Download& part = *download;
    while (part.offset < keep) {
      const ssize_t n = ::pread(part.fd, part.Buffer(), static_cast<size_t>(std::min(keep - part.offset, kWriteChunk)),
                                static_cast<off_t>(part.offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return ceFileRead;
      part.Hash(part.Buffer(), static_cast<size_t>(n));
      part.offset += n;
    }
    return ceOK;
  });
  return ceOK;
}

// The part of an earlier attempt is hashed: fetch the rest, or check a complete one.
void Downloader::PartHashed() {
  Download& d = *fDownload;
  d.hashingPart = false;
  if (const int error = d.writer->Wait()) {
    Fail(error, true);
    return;
  }
  d.written = d.offset;
  if (d.offset == d.file.size) CompleteDownload();
  else SendRange();
}

void Downloader::SendRange() {
  Download& d = *fDownload;
  QNetworkRequest request = fService.MakeRequest(d.url);
  // Redirects are followed here, so that the session goes to the service's origin alone.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  if (d.offset > 0) request.setRawHeader("Range", "bytes=" + QByteArray::number(d.offset) + "-");
  d.requestStart = d.offset;
  fReply = fService.Network().get(request);
  fContext = std::make_unique<QObject>();
  QNetworkReply* reply = fReply;
  // Qt's network thread only stops reading the socket at the limit when the limit is set
  // again once the request is under way there; set only before, unread data would pile up in
  // memory while the disk is slower than the network.
  reply->setReadBufferSize(kReplyBuffer);
  QMetaObject::invokeMethod(
      fContext.get(), [reply] { reply->setReadBufferSize(kReplyBuffer); }, Qt::QueuedConnection);
  QObject::connect(reply, &QNetworkReply::metaDataChanged, fContext.get(),
                   [reply] { reply->setReadBufferSize(kReplyBuffer); });
  // A server that sends part of the file and then goes quiet ends the download as broken off.
  // Only the network counts: while the writer holds the data back the socket rests, and that
  // is no silence of the server's.
  d.idle = new QTimer(fContext.get());
  d.idle->setInterval(RequestTimeoutMs());
  QObject::connect(d.idle, &QTimer::timeout, fContext.get(), [this, reply] {
    if (!fDownload || fReply != reply) return;
    Download& current = *fDownload;
    if (current.replyFinished || (current.writer && current.writer->Busy())) {
      current.idle->start();
      return;
    }
    reply->abort();
  });
  d.idle->start();
  auto statusChecked = std::make_shared<bool>(false);
  QObject::connect(reply, &QNetworkReply::readyRead, fContext.get(), [this, reply, statusChecked] {
    fDownload->idle->start();
    if (!*statusChecked) {
      *statusChecked = true;
      if (!AcceptStatus(reply)) return;
    }
    Receive(reply);
  });
  QObject::connect(reply, &QNetworkReply::finished, fContext.get(), [this, reply, statusChecked] {
    if (!*statusChecked && fDownload->error == 0) {
      *statusChecked = true;
      if (!AcceptStatus(reply)) {
        // Refused (aborting a finished reply sends nothing more), unless it restarted.
        if (fReply == reply) ReplyFinished(reply);
        return;
      }
    }
    fDownload->replyFinished = true;
    if (fDownload->error) {
      ReplyFinished(reply);
      return;
    }
    Receive(reply);
    if (fDownload && fReply == reply) FinishWhenWritten();
  });
}

// Starts the file again from its first byte.
bool Downloader::Restart() {
  Download& d = *fDownload;
  if (d.fallbacks++ > 0 || d.writer->Wait() != 0 || ::ftruncate(d.fd, 0) != 0 ||
      !d.ResetHash())
    return false;
  d.offset = d.written = d.fill = d.requestStart = 0;
  return true;
}

// Checks the answer's status before the first byte is taken. False when the reply was
// given up (a restart or a failure is then under way).
bool Downloader::AcceptStatus(QNetworkReply* reply) {
  Download& d = *fDownload;
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (d.offset > 0 && status == 206) {
    const QByteArray range = reply->rawHeader("Content-Range");
    if (range.startsWith("bytes " + QByteArray::number(d.offset) + "-")) return true;
    d.error = ceChkBadAnswer;
  } else if (status == 200 && d.offset == 0) {
    return true;
  } else if (status == 200 || (d.offset > 0 && status == 416)) {
    // The service ignored or refused the range: the whole file again.
    if (Restart()) {
      if (status == 200) return true;
      DropReply();
      SendRange();
      return false;
    }
    d.error = ceChkHttp;
  } else if (status == 0) {
    return true;  // a network failure: finished tells it
  } else if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    // Onwards, but never from https to plain http, and not for ever.
    const QUrl next = d.url.resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
    if (d.redirects++ < 10 && ServiceClient::IsWebURL(next, d.url)) {
      d.url = next;
      DropReply();
      SendRange();
      return false;
    }
    d.error = ceChkHttp;
  } else {
    d.error = ceChkHttp;
  }
  reply->abort();
  return false;
}

void Downloader::Receive(QNetworkReply* reply) {
  Download& d = *fDownload;
  if (d.error) return;
  const qint64 before = d.offset;
  for (;;) {
    if (d.fill == kWriteChunk) {
      // Both buffers are taken: the rest waits in the reply until the writer is done, so
      // that a slow disk never holds up this thread.
      if (d.writer->Busy()) break;
      if (const int error = FlushBuffer()) {
        d.error = error;
        reply->abort();
        return;
      }
    }
    const qint64 n = reply->read(d.Buffer() + d.fill, kWriteChunk - d.fill);
    if (n <= 0) break;
    d.Hash(d.Buffer() + d.fill, static_cast<size_t>(n));
    d.fill += n;
    d.offset += n;
    if (d.offset > d.file.size) {
      d.error = ceChkChecksum;
      reply->abort();
      return;
    }
  }
  if (d.offset != before) {
    if (d.idle) d.idle->start();
    fProgress(d.offset);
  }
}

// A second descriptor of the part file for direct I/O, or -1; only when it is the same file
// as `opened` (the name may have been swapped meanwhile).
int Downloader::OpenDirect(int dirFd, const QByteArray& part, const struct stat& opened) {
  const int fd = ::openat(dirFd, part.constData(), O_WRONLY | O_DIRECT | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_dev != opened.st_dev || st.st_ino != opened.st_ino)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A writer for the current download's part file; its notices come back to WriterIdle.
std::unique_ptr<Downloader::Writer> Downloader::NewWriter(int directFd) {
  Download& d = *fDownload;
  std::unique_ptr<Writer> writer = fSpareWriter ? std::move(fSpareWriter) : std::make_unique<Writer>();
  writer->Bind(d.fd, directFd, [this, serial = d.serial] {
    QMetaObject::invokeMethod(fWakeTarget.get(), [this, serial] { WriterIdle(serial); }, Qt::QueuedConnection);
  });
  return writer;
}

// The download's writer, once its job is done, waits for the next download.
void Downloader::ReleaseWriter(Download& d) {
  if (!d.writer) return;
  d.writer->Unbind();
  if (!fSpareWriter) fSpareWriter = std::move(d.writer);
  d.writer.reset();
}

// The writer finished a buffer: take what waits in the reply, or end a finished answer.
void Downloader::WriterIdle(unsigned serial) {
  if (!fDownload || fDownload->serial != serial) return;
  if (fDownload->hashingPart) {
    PartHashed();
    return;
  }
  if (fDownload->syncing) {
    RenameSynced();
    return;
  }
  if (fDownload->error || !fReply) return;
  QNetworkReply* reply = fReply;
  Receive(reply);
  if (fDownload && fReply == reply && fDownload->replyFinished) FinishWhenWritten();
}

// Ends a finished answer once all of it is in the buffers and the writer has taken the last
// one; until then the writer's notices come back here.
void Downloader::FinishWhenWritten() {
  Download& d = *fDownload;
  if (!d.error) {
    if (fReply->bytesAvailable() > 0 || d.writer->Busy()) return;
    if (d.fill > 0) {
      d.error = FlushBuffer();
      if (!d.error) return;
    }
  }
  ReplyFinished(fReply);
}

void Downloader::ReplyFinished(QNetworkReply* reply) {
  Download& d = *fDownload;
  QNetworkReply::NetworkError netError = reply->error();
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  // Qt may report a connection the service closed mid-body as a clean end: an answer shorter
  // than its own Content-Length was broken off, whatever Qt says.
  bool hasLength = false;
  const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&hasLength);
  if (netError == QNetworkReply::NoError && hasLength && d.offset - d.requestStart < length)
    netError = QNetworkReply::RemoteHostClosedError;
  DropReply();
  const int flushed = FlushAll();
  if (!d.error) d.error = flushed;
  if (d.error) {
    // Damaged or unwritable data is not worth resuming.
    Fail(d.error, false);
    return;
  }
  if (netError == QNetworkReply::NoError && d.offset < d.file.size) {
    // The whole answer arrived and is shorter than announced: resuming cannot mend that.
    Fail(ceChkChecksum, false);
    return;
  }
  if (netError != QNetworkReply::NoError) {
    // Broken off: what arrived stays in the part file for the next attempt.
    const bool started = d.offset > 0;
    const int error = status != 0 && status != 200 && status != 206 ? ceChkHttp
                      : started ? ceChkIncomplete
                                : ceChkNetwork;
    Fail(error, true);
    return;
  }
  CompleteDownload();
}

// All of the file is in: its size and SHA-256 are the listed ones. Only once, at the end.
bool Downloader::Verified(Download& d) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(d.hash, digest, &length);
  const QString sha = QString::fromLatin1(
      QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
  if (d.offset != d.file.size || sha != d.file.sha256) return false;
  // The content is the one the SHA-256 vouches for: its XXH3 goes with the item into the
  // backup index.
  d.item->MutableData().files[static_cast<size_t>(d.fileIndex)].xxh3 = Xxh3Text(XXH3_64bits_digest(d.xxh3));
  return true;
}

void Downloader::CompleteDownload() {
  DropReply();
  if (!Verified(*fDownload)) {
    Fail(ceChkChecksum, false);
    return;
  }
  SettlePart();
}

// The verified part takes the file's mode and time and then its name.
void Downloader::SettlePart() {
  Download& d = *fDownload;
  struct stat st {};
  if (::fstat(d.fd, &st) != 0 || st.st_size != d.file.size) {
    Fail(ceChkChecksum, false);
    return;
  }
  if (::fchmod(d.fd, NewFileMode()) != 0 && errno != ENOSYS) {  // ENOSYS: a medium without modes
    Fail(ceFileWrite, false);
    return;
  }
  // Its modification time is what later tells whether the file is current. A small file gets
  // the unsettled time and is synced later with many others, where the file system keeps it.
  bool unsettled = d.file.size <= kSettleMaxFile;
  const struct timespec times[2] = {
      {0, UTIME_NOW}, {static_cast<time_t>(d.file.time), unsettled ? kUnsettledNanoseconds : 0}};
  if (::futimens(d.fd, times) != 0 || ::fstat(d.fd, &st) != 0) {
    Fail(ceFileWrite, false);
    return;
  }
  if (unsettled) {
    if (st.st_mtim.tv_nsec == kUnsettledNanoseconds) {
      d.folder->fineTimes = true;
      RenameUnsettled();
      return;
    }
    // Coarse file times: the file is synced before its rename like a large one.
    const struct timespec exact[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(d.file.time), 0}};
    if (::futimens(d.fd, exact) != 0) {
      Fail(ceFileWrite, false);
      return;
    }
  }
  // The file must be on disk before it takes its name: after a crash a file under the real
  // name with the right time but torn data would pass as current for good. The writer syncs
  // it, as a slow disk may take long.
  d.syncing = true;
  if (!d.writer) d.writer = NewWriter(-1);
  if (const int error = d.writer->SubmitSync()) Fail(error, false);
}

void Downloader::RenameSynced() {
  Download& d = *fDownload;
  const int synced = d.writer->Wait();
  ReleaseWriter(d);
  const int closed = ::close(d.fd);
  d.fd = -1;
  if (synced || closed != 0) {
    Fail(synced ? synced : ceFileWrite, false);
    return;
  }
  if (::renameat(d.dirFd, d.partName.constData(), d.dirFd, d.targetName.constData()) != 0) {
    Fail(ceFileWrite, false);
    return;
  }
  fDownload.reset();
  fDone(ceOK);
}

// A small file: renamed at once with its unsettled time, and synced and settled in a batch.
void Downloader::RenameUnsettled() {
  Download& d = *fDownload;
  ReleaseWriter(d);
  struct stat st {};
  const bool stated = ::fstat(d.fd, &st) == 0;
  const int closed = ::close(d.fd);
  d.fd = -1;
  if (!stated || closed != 0) {
    Fail(ceFileWrite, false);
    return;
  }
  if (::renameat(d.dirFd, d.partName.constData(), d.dirFd, d.targetName.constData()) != 0) {
    Fail(ceFileWrite, false);
    return;
  }
  fSettler->Add({d.folder, d.targetName, st.st_dev, st.st_ino, d.file.time}, d.file.size);
  fDownload.reset();
  fDone(ceOK);
}

// ---- small files over a plain connection of the downloader's own
//
// Qt's HTTP stack hands each answer from its network thread to this one and reads the answer's
// header a byte per system call: for a file of a few KB that costs several times the transfer.
// A small file over plain http therefore goes over a kept-alive connection read here, in the
// event loop. Only the plain answer is taken (200, the listed length, no transfer or content
// coding); any other is asked again through Qt's stack, which follows redirects and knows every
// answer, so that both roads end alike.

bool Downloader::CanFetchPlain(const QUrl& url, qint64 size) {
  if (size > kSettleMaxFile || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 ||
      url.host().isEmpty() || !url.userInfo().isEmpty())
    return false;
  // Only where Qt's road would go without a proxy too; asked once a server.
  const QString origin = url.authority(QUrl::FullyEncoded);
  if (origin != fPlainOrigin) {
    QNetworkAccessManager& network = fService.Network();
    bool direct = false;
    if (network.proxy().type() == QNetworkProxy::NoProxy) {
      direct = true;
    } else if (network.proxy().type() == QNetworkProxy::DefaultProxy && !network.proxyFactory()) {
      const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
      direct = proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
    }
    fPlainOrigin = origin;
    fPlainAllowed = direct;
  }
  return fPlainAllowed;
}

void Downloader::DropSocket() {
  if (!fSocket) return;
  fSocket->disconnect();
  fSocket->abort();
  fSocket->deleteLater();
  fSocket = nullptr;
}

void Downloader::SendPlain() {
  Download& d = *fDownload;
  const QString host = d.url.host();
  const int port = d.url.port(80);
  if (fSocket && (fSocket->state() != QAbstractSocket::ConnectedState || !fSocketReusable || fSocket->bytesAvailable() > 0 ||
                  fSocketHost != host || fSocketPort != port))
    DropSocket();
  d.reusedSocket = fSocket != nullptr;
  if (!fSocket) {
    QTcpSocket* socket = fSocket = new QTcpSocket(fWakeTarget.get());
    socket->setProxy(QNetworkProxy::NoProxy);
    fSocketHost = host;
    fSocketPort = port;
    // For the connection's life: each notice goes to the download under way, if any.
    QObject::connect(socket, &QIODevice::readyRead, socket, [this] { PlainData(); });
    // Queued: an error found inside a call of ours is taken up from the event loop.
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [this, socket] {
      if (socket == fSocket) PlainBroken(false);
    }, Qt::QueuedConnection);
    socket->connectToHost(host, static_cast<quint16>(port));
  }
  fSocketReusable = false;  // until this answer has ended where it said it would
  d.head.clear();
  d.headDone = false;

  const QByteArray message = PlainRequest(d.url);

  if (!fPlainIdle) {
    fPlainIdle = new QTimer(fWakeTarget.get());
    QObject::connect(fPlainIdle, &QTimer::timeout, fPlainIdle, [this] { PlainBroken(true); });
  }
  fPlainIdle->setInterval(RequestTimeoutMs());
  d.idle = fPlainIdle;
  d.idle->start();
  fSocket->write(message);
  // Out now where the connection is up, not on the event loop's next round.
  if (fSocket->state() == QAbstractSocket::ConnectedState) fSocket->flush();
}

// The request for url with the headers Qt's road would send (the session only to the service's
// origin).
QByteArray Downloader::PlainRequest(const QUrl& url) const {
  const QNetworkRequest request = fService.MakeRequest(url);
  QByteArray path = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
  if (!path.startsWith('/')) path.prepend('/');
  QByteArray message = "GET " + path + " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1() + "\r\n";
  for (const QByteArray& name : request.rawHeaderList()) message += name + ": " + request.rawHeader(name) + "\r\n";
  message += "Accept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n";
  return message;
}

// A plain request is under way (a queued notice may come after its answer was taken).
bool Downloader::PlainUnderWay() const {
  return fDownload && fDownload->plain && fDownload->idle && fSocket;
}

void Downloader::PlainData() {
  if (!PlainUnderWay()) return;
  Download& d = *fDownload;
  d.idle->start();
  const qint64 before = d.offset;
  if (!d.headDone) {
    d.head += fSocket->read(kMaxPlainHead + 1 - d.head.size());
    const qsizetype end = d.head.indexOf("\r\n\r\n");
    if (end < 0) {
      // A header too long, or with bare line ends, is left to Qt's road.
      if (d.head.size() > kMaxPlainHead || d.head.contains("\n\n")) FallBackToQt();
      return;
    }
    if (!AcceptPlainHead(d.head.left(end + 2), d.file.size, d.closeAfter)) {
      FallBackToQt();
      return;
    }
    d.headDone = true;
    PlainTake(d.head.constData() + end + 4, d.head.size() - end - 4);
    d.head.clear();
  }
  while (d.offset < d.file.size) {
    const qint64 n = fSocket->read(d.Buffer() + d.fill, d.file.size - d.offset);
    if (n <= 0) break;
    PlainTake(d.Buffer() + d.fill, n);
  }
  if (d.offset == d.file.size) {
    PlainComplete();
    return;
  }
  if (d.offset != before) fProgress(d.offset);
}

// Bytes of the body, already in place at the buffer's end when they came straight from the
// socket; whatever goes beyond the listed size makes the connection unfit for the next file.
void Downloader::PlainTake(const char* data, qint64 size) {
  Download& d = *fDownload;
  const qint64 take = std::min(size, d.file.size - d.offset);
  char* at = d.Buffer() + d.fill;
  if (data != at) std::memmove(at, data, static_cast<size_t>(take));
  d.Hash(at, static_cast<size_t>(take));
  d.fill += take;
  d.offset += take;
  if (take < size) d.extra = true;
}

// The plain answer: 200 with exactly the listed length, no transfer or content coding.
bool Downloader::AcceptPlainHead(const QByteArray& head, qint64 size, bool& closeAfter) {
  const QList<QByteArray> lines = head.split('\n');
  const QByteArray status = lines.first().trimmed();
  const bool http11 = status.startsWith("HTTP/1.1 ");
  if (!http11 && !status.startsWith("HTTP/1.0 ")) return false;
  if (status.mid(9, 4) != "200 " && status.mid(9) != "200") return false;
  qint64 length = -1;
  bool close = !http11;
  // Each line ends with "\r\n": after the last one comes an empty piece.
  for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
    const QByteArray& line = lines[i];
    const qsizetype colon = line.indexOf(':');
    if (!line.endsWith('\r') || colon <= 0 || line.front() == ' ' || line.front() == '\t') return false;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed().toLower();
    if (name == "content-length") {
      bool ok = false;
      const qint64 n = value.toLongLong(&ok);
      if (!ok || n < 0 || value.front() == '+' || (length >= 0 && length != n)) return false;
      length = n;
    } else if (name == "transfer-encoding" || (name == "content-encoding" && value != "identity")) {
      return false;
    } else if (name == "connection") {
      if (value.contains("close")) close = true;
      else if (value.contains("keep-alive")) close = false;
    }
  }
  if (length != size) return false;
  closeAfter = close;
  return true;
}

void Downloader::PlainComplete() {
  Download& d = *fDownload;
  fSocketReusable = !d.closeAfter && !d.extra && fSocket->bytesAvailable() == 0;
  DropReply();
  if (!fSocketReusable) DropSocket();
  StoreVerified();
}

// A whole small file is in the buffer: checked, and written under its name or through its part.
void Downloader::StoreVerified() {
  Download& d = *fDownload;
  fProgress(d.offset);
  if (!Verified(d)) {
    Fail(ceChkChecksum, false);
    return;
  }
  if (d.folder->fineTimes) {
    bool stored = false;
    if (const int error = StoreNew(stored)) {
      Fail(error, false);
      return;
    }
    if (stored) {
      fDownload.reset();
      fDone(ceOK);
      return;
    }
  }
  // A file already there is replaced through the part, whole or not at all.
  if (const int error = WritePart()) {
    Fail(error, false);
    return;
  }
  SettlePart();
}

// A verified file new to its folder is written under its own name at once: its unsettled time
// has it checked until its batch is synced. That needs a file system known to keep the time's
// nanoseconds. stored stays false when a file (or a link) is there already.
int Downloader::StoreNew(bool& stored) {
  Download& d = *fDownload;
  const int fd = ::openat(d.dirFd, d.targetName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno == EEXIST ? ceOK : ceFileCreate;
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(d.file.time), kUnsettledNanoseconds}};
  struct stat st {};
  int error = WriteAt(fd, d.Buffer(), d.fill, 0) ? ceOK : WriteError();
  if (!error && (::futimens(fd, times) != 0 || ::fstat(fd, &st) != 0)) error = ceFileWrite;
  if (::close(fd) != 0 && !error) error = ceFileWrite;
  if (!error && st.st_mtim.tv_nsec == kUnsettledNanoseconds) {
    fSettler->Add({d.folder, d.targetName, st.st_dev, st.st_ino, d.file.time}, d.file.size);
    stored = true;
    return ceOK;
  }
  ::unlinkat(d.dirFd, d.targetName.constData(), 0);
  // The nanosecond was lost after all: the part's road syncs the file before it takes the name.
  if (!error) d.folder->fineTimes = false;
  return error;
}

// What is in the buffer goes into the part file, made now: a plain download has none before.
int Downloader::WritePart() {
  Download& d = *fDownload;
  struct stat st {};
  if (d.fd < 0)
    if (const int error = OpenPart(d, st)) return error;
  if (::ftruncate(d.fd, 0) != 0 || !WriteAt(d.fd, d.Buffer(), d.fill, 0)) return WriteError();
  d.written = d.fill;
  d.fill = 0;
  return ceOK;
}

// The connection broke, or stayed silent for the request timeout.
void Downloader::PlainBroken(bool timedOut) {
  if (!PlainUnderWay()) return;
  // What came with the end is taken first: it may complete the file.
  if (!timedOut && fSocket->bytesAvailable() > 0) {
    const unsigned serial = fDownload->serial;
    PlainData();
    if (!PlainUnderWay() || fDownload->serial != serial) return;
  }
  Download& d = *fDownload;
  // A kept connection the service had closed before it saw the request: once more on a new one.
  if (!timedOut && d.reusedSocket && !d.resent && d.head.isEmpty() && !d.headDone) {
    d.resent = true;
    DropReply();
    DropSocket();
    SendPlain();
    return;
  }
  DropReply();
  DropSocket();
  // As on Qt's road: what arrived stays in the part for the next attempt.
  if (d.fill > 0)
    if (const int error = WritePart()) {
      Fail(error, false);
      return;
    }
  Fail(d.offset > 0 ? ceChkIncomplete : ceChkNetwork, true);
}

// An answer this road does not take: the file is asked for again on Qt's road, from its start.
void Downloader::FallBackToQt() {
  Download& d = *fDownload;
  DropReply();
  DropSocket();
  d.plain = false;
  d.head.clear();
  d.offset = d.fill = d.written = 0;
  struct stat st {};
  if (const int error = d.fd < 0 ? OpenPart(d, st) : ceOK) {
    Fail(error, false);
    return;
  }
  if (!d.ResetHash()) {
    Fail(ceChkChecksum, false);
    return;
  }
  if (::ftruncate(d.fd, 0) != 0) {
    Fail(ceFileWrite, false);
    return;
  }
  d.writer = NewWriter(-1);
  SendRange();
}

}  // namespace detail

}  // namespace cvlib
