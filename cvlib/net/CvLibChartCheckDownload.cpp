// The chart-check engine's downloads: a part file written by a thread of its own while the data
// streams in and is hashed, verified, and renamed into place. docs/chart-check.md, "Downloads".
#include "CvLibChartCheckDownloadParts.h"

#include <QDir>
#include <QFile>

namespace cvlib {

using namespace dl;

namespace detail {

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
  d.hash = cvcrypto::EVP_MD_CTX_new();
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
  cvcrypto::EVP_DigestFinal_ex(d.hash, digest, &length);
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

}  // namespace detail

}  // namespace cvlib
