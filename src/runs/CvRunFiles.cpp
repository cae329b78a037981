#include "CvRunFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace cvruns {
namespace {

using namespace cvlib;

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
};

struct TMdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using TMd = std::unique_ptr<EVP_MD_CTX, TMdFree>;

TMd NewSha256() {
  TMd md(EVP_MD_CTX_new());
  if (md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) md.reset();
  return md;
}

QString HexDigest(EVP_MD_CTX* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(md, digest, &length);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}

bool IsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

int OpenError(int err, int fallback) {
  switch (err) {
    case ENOENT: return ceFileNotFound;
    case EACCES:
    case EPERM: return ceFileAccess;
    case ELOOP: return ceFileRead;
    default: return IsDiskFull(err) ? ceDiskFull : fallback;
  }
}

// A hidden name beside the target, new in its folder; the random part keeps it from being
// any name a list could be made to carry.
int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath) {
  const QFileInfo info(target);
  const QString folder = info.absolutePath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = folder + QStringLiteral("/.cvrun-%1%2")
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    const int fd = ::open(Native(tempPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

constexpr size_t kChunk = 1 << 20;

}  // namespace

int CopyChecked(const QString& source, const QString& target, std::int64_t expectedSize, const QString& expectedSha,
                std::int32_t fileTime, const TFileCopyProgress& progress, const std::atomic<bool>* stop) {
  if (source.isEmpty() || target.isEmpty()) return ceInvalidPath;
  TFd in(::open(Native(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ceFileRead;
  // A file of the wrong size is known to be wrong before a byte is read.
  if (expectedSize >= 0 && st.st_size != expectedSize) return ceChkChecksum;
  {
    struct stat tst {};
    if (::lstat(Native(target).constData(), &tst) == 0 && S_ISDIR(tst.st_mode)) return ceFileCreate;
  }
  ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  TMd md;
  if (!expectedSha.isEmpty()) {
    md = NewSha256();
    if (!md) return ceFileRead;
  }

  QString tempPath;
  TFd out(CreateTempBeside(target, st.st_mode & 0777, tempPath));
  if (out.fd < 0) return OpenError(errno, ceFileCreate);
  const QByteArray tempNative = Native(tempPath);
  auto fail = [&](int error) {
    ::close(out.fd);
    out.fd = -1;
    ::unlink(tempNative.constData());
    return error;
  };

  const qint64 total = st.st_size;
  qint64 done = 0;
  auto stopped = [&] {
    if (stop && stop->load()) return true;
    return progress && !progress(source, done, total);
  };
  if (stopped()) return fail(ceAborted);

  std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.get(), kChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(ceFileRead);
    }
    if (n == 0) break;
    if (md && EVP_DigestUpdate(md.get(), buffer.get(), static_cast<size_t>(n)) != 1) return fail(ceFileRead);
    if (!WriteAll(out.fd, buffer.get(), static_cast<size_t>(n))) return fail(IsDiskFull(errno) ? ceDiskFull : ceFileWrite);
    done += n;
    if (stopped()) return fail(ceAborted);
  }
  // The source may have changed size while it was read.
  if (expectedSize >= 0 && done != expectedSize) return fail(ceChkChecksum);
  if (md && HexDigest(md.get()).compare(expectedSha, Qt::CaseInsensitive) != 0) return fail(ceChkChecksum);

  struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (fileTime > 0) times[1] = {fileTime, 0};
  ::futimens(out.fd, times);
  ::fchmod(out.fd, st.st_mode & 0777);
  if (::close(out.fd) != 0) {
    const int err = errno;
    out.fd = -1;
    ::unlink(tempNative.constData());
    return IsDiskFull(err) ? ceDiskFull : ceFileWrite;
  }
  out.fd = -1;
  if (::rename(tempNative.constData(), Native(target).constData()) != 0) {
    const int err = errno;
    ::unlink(tempNative.constData());
    return OpenError(err, ceFileCreate);
  }
  return ceOK;
}

int HashFile(const QString& path, QString& sha, std::int64_t& size) {
  sha.clear();
  size = 0;
  TFd in(::open(Native(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ceFileRead;
  ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  TMd md = NewSha256();
  if (!md) return ceFileRead;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.get(), kChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ceFileRead;
    }
    if (n == 0) break;
    EVP_DigestUpdate(md.get(), buffer.get(), static_cast<size_t>(n));
    size += n;
  }
  sha = HexDigest(md.get());
  return ceOK;
}

bool IsFileCurrent(const QString& path, std::int64_t size, std::int32_t time, const QString& sha) {
  struct stat st {};
  if (::lstat(Native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size != size || st.st_mtim.tv_sec < time) return false;
  if (st.st_mtim.tv_sec == time && st.st_mtim.tv_nsec == 0) return true;
  if (sha.isEmpty()) return true;
  QString actual;
  std::int64_t actualSize = 0;
  return HashFile(path, actual, actualSize) == ceOK && actualSize == size &&
         actual.compare(sha, Qt::CaseInsensitive) == 0;
}

int PrivateSetupsFolder(QString& folder) {
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  const QString base = cache + QStringLiteral("/Corvane/Deployer");
  if (const int error = DirCreate(base)) return error;
  folder = base + QStringLiteral("/Setups/");
  const QByteArray native = Native(base + QStringLiteral("/Setups"));
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) return OpenError(errno, ceDirCreate);
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return ceFileAccess;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return ceFileAccess;
  if ((st.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) return ceFileAccess;
  return ceOK;
}

int WriteWholeFile(const QString& path, const QByteArray& data, unsigned mode) {
  QString tempPath;
  TFd out(CreateTempBeside(path, mode, tempPath));
  if (out.fd < 0) return OpenError(errno, ceFileCreate);
  const QByteArray tempNative = Native(tempPath);
  const bool written = WriteAll(out.fd, data.constData(), static_cast<size_t>(data.size()));
  const int err = errno;
  ::fchmod(out.fd, mode);
  const bool closed = ::close(out.fd) == 0;
  out.fd = -1;
  if (!written || !closed) {
    ::unlink(tempNative.constData());
    return IsDiskFull(err) ? ceDiskFull : ceFileWrite;
  }
  if (::rename(tempNative.constData(), Native(path).constData()) != 0) {
    const int e = errno;
    ::unlink(tempNative.constData());
    return OpenError(e, ceFileCreate);
  }
  return ceOK;
}

void TouchTree(const QString& folder) {
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QByteArray path = Native(it.next());
    ::utimensat(AT_FDCWD, path.constData(), nullptr, AT_SYMLINK_NOFOLLOW);
  }
}

}  // namespace cvruns
