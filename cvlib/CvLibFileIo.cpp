#include "CvLibFileIo.h"

#include "CvLibErrors.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace cvlib {
namespace {

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

QString RandomHex8() { return QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')); }

// Reads through a buffer of 1 MiB: few system calls, and the buffer stays in the processor's
// cache between the read, the observer and the write.
constexpr size_t kBufferSize = size_t{1} << 20;
// Below this size a file is read without the sequential-read hint (a call per file counts
// when there are thousands).
constexpr qint64 kHintFrom = qint64{256} << 10;
constexpr auto kKernelCallQuick = std::chrono::milliseconds(8);
constexpr auto kKernelCallSlow = std::chrono::milliseconds(30);

// One buffer per thread for all its copies: allocating one for each of thousands of small
// files would cost more than copying them.
char* CopyBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  return buffer.get();
}

}  // namespace

TFd::~TFd() {
  if (fd >= 0) ::close(fd);
}

void TFd::Reset(int f) {
  if (fd >= 0) ::close(fd);
  fd = f;
}

bool IsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

int OpenError(int err, int fallback) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return ceFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return ceFileAccess;
    default: return IsDiskFull(err) ? ceDiskFull : fallback;
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath, TTempName style) {
  const QFileInfo info(target);
  const QString folder = info.absolutePath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = style == TTempName::Named
                   ? folder + QStringLiteral("/.") + info.fileName() + QStringLiteral(".cvcopy-") + RandomHex8()
                   : folder + QStringLiteral("/.cvrun-") + RandomHex8() + RandomHex8();
    const int fd = ::open(Native(tempPath).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

int TCopyObserver::Started(int, qint64) { return ceOK; }
int TCopyObserver::Copied(int, const char*, qint64, qint64) { return ceOK; }
int TCopyObserver::Finished(int, int error) { return error; }

int CopyFile(const QString& source, const QString& target, const TCopyOptions& options) {
  if (source.isEmpty() || target.isEmpty()) return ceInvalidPath;
  TFd in(::open(Native(source).constData(), O_RDONLY | O_CLOEXEC | options.sourceFlags));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ceFileRead;
  // A file of the wrong size is known to be wrong before a byte is read.
  if (options.size >= 0 && st.st_size != options.size) return ceChkChecksum;

  // A new file under its own name where allowed and nothing is there yet; else (something is
  // there: an older copy, a link) a temporary name beside it.
  const QByteArray targetNative = Native(target);
  const mode_t mode = options.mode ? options.mode(in.fd, st) : static_cast<mode_t>(st.st_mode & 0777);
  QByteArray tempNative;
  TFd out(-1);
  if (options.newInPlace) {
    out.fd = ::open(targetNative.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (out.fd < 0 && errno != EEXIST) return OpenError(errno, ceFileCreate);
  }
  if (out.fd < 0) {
    struct stat tst {};
    const int there = options.followTargetLink ? ::stat(targetNative.constData(), &tst)
                                               : ::lstat(targetNative.constData(), &tst);
    if (there == 0 && S_ISDIR(tst.st_mode)) return ceFileCreate;
    QString tempPath;
    out.fd = CreateTempBeside(target, mode, tempPath, options.tempName);
    if (out.fd < 0) return OpenError(errno, ceFileCreate);
    tempNative = Native(tempPath);
  }
  const QByteArray& writtenName = tempNative.isEmpty() ? targetNative : tempNative;
  TCopyObserver* const observer = options.observer;
  bool finished = false;
  // Every failure below removes the partial copy.
  auto fail = [&](int error) {
    if (observer && !finished) observer->Finished(out.fd, error);
    finished = true;
    ::close(out.fd);
    out.fd = -1;
    ::unlink(writtenName.constData());
    return error;
  };

  const qint64 total = st.st_size;
  qint64 done = 0;
  if (observer) {
    if (const int error = observer->Started(out.fd, total)) return fail(error);
  }
  if (total > kHintFrom) ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  bool buffered = total < options.kernelFrom;
  if (!buffered) {
    // No trip through this process. What one call copies grows while calls are quick (each
    // costs a trip in and the observer's work) and shrinks while they are slow.
    const size_t chunkMin = std::max<size_t>(options.kernelChunkMin, 1);
    const size_t chunkMax = std::max(options.kernelChunkMax, chunkMin);
    size_t chunk = chunkMin;
    for (;;) {
      const auto started = std::chrono::steady_clock::now();
      const ssize_t n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, chunk, 0);
      const auto took = std::chrono::steady_clock::now() - started;
      if (took < kKernelCallQuick) chunk = std::min(chunk * 2, chunkMax);
      else if (took > kKernelCallSlow) chunk = std::max(chunk / 2, chunkMin);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (n == 0 && done == 0)) {
        // Not between these two file systems (or a source that claims to be empty, as some
        // proc-like and FUSE ones do): the plain way, from the start.
        const int err = errno;
        const bool unsupported = done == 0 && (n == 0 || err == EXDEV || err == ENOSYS || err == EINVAL ||
                                               err == EOPNOTSUPP || err == EBADF || err == ETXTBSY);
        if (!unsupported) return fail(IsDiskFull(err) ? ceDiskFull : err == EIO ? ceFileRead : ceFileWrite);
        buffered = true;
        break;
      }
      if (n == 0) break;
      done += n;
      // The source grew while it was copied.
      if (options.size >= 0 && done > options.size) return fail(ceChkChecksum);
      if (observer) {
        if (const int error = observer->Copied(out.fd, nullptr, n, done)) return fail(error);
      }
    }
  }
  if (buffered) {
    char* buffer = CopyBuffer();
    for (;;) {
      const ssize_t n = ::read(in.fd, buffer, kBufferSize);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(ceFileRead);
      if (n == 0) break;
      // The source grew while it was read.
      if (options.size >= 0 && done + n > options.size) return fail(ceChkChecksum);
      if (!WriteAll(out.fd, buffer, static_cast<size_t>(n))) return fail(IsDiskFull(errno) ? ceDiskFull : ceFileWrite);
      done += n;
      if (observer) {
        if (const int error = observer->Copied(out.fd, buffer, n, done)) return fail(error);
      }
      // All the size promised is in: the observer's checks decide, without a read that finds the end.
      if (options.size >= 0 && done == options.size) break;
    }
  }
  // The source may have shrunk while it was read.
  if (options.size >= 0 && done != options.size) return fail(ceChkChecksum);
  if (observer) {
    const int error = observer->Finished(out.fd, ceOK);
    finished = true;
    if (error) return fail(error);
  }

  struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (options.fileTime > 0) times[1] = {static_cast<time_t>(options.fileTime), 0};
  ::futimens(out.fd, times);
  // The mode given at creation went through the umask.
  if (options.exactMode) ::fchmod(out.fd, mode);
  if (::close(out.fd) != 0) {
    const int err = errno;
    out.fd = -1;
    ::unlink(writtenName.constData());
    return IsDiskFull(err) ? ceDiskFull : ceFileWrite;
  }
  out.fd = -1;
  if (!tempNative.isEmpty() && ::rename(tempNative.constData(), targetNative.constData()) != 0) {
    const int err = errno;
    ::unlink(tempNative.constData());
    return OpenError(err, ceFileCreate);
  }
  return ceOK;
}

}  // namespace cvlib
