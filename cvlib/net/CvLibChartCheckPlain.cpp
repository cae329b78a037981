// The engine's small files: over a plain connection of the downloader's own, and fetched ahead
// over several connections while earlier files are written. docs/chart-check.md, "Downloads".
#include "CvLibChartCheckDownloadParts.h"

namespace cvlib {
namespace detail {

using namespace dl;

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
bool Downloader::AcceptPlainHead(const QByteArray& head, qint64 size, bool& closeAfter, bool* inOrder) {
  const QList<QByteArray> lines = head.split('\n');
  const QByteArray status = lines.first().trimmed();
  const bool http11 = status.startsWith("HTTP/1.1 ");
  if (!http11 && !status.startsWith("HTTP/1.0 ")) return false;
  if (status.mid(9, 4) != "200 " && status.mid(9) != "200") return false;
  qint64 length = -1;
  bool close = !http11;
  bool saysInOrder = false;
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
    } else if (name == kInOrderName && value == kInOrderValue) {
      saysInOrder = true;
    }
  }
  if (length != size) return false;
  closeAfter = close;
  if (inOrder) *inOrder = http11 && saysInOrder;
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
