#include "CvLibFiles.h"

#include "CvLibErrors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {
namespace {

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

QString WithSlash(const QString& folder) {
  return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// Closes a descriptor on every path out.
struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
};

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

// Copy chunks: large enough to run at full speed, small enough that progress (and with it
// the Abort button) comes several times a second even on a slow USB stick.
constexpr size_t kCopyChunk = size_t{8} << 20;
constexpr size_t kBufferSize = size_t{1} << 20;

enum class TCopyWay { Range, Buffered };

// Copies one chunk from in to out. Returns the bytes copied (0 at the end of the source)
// or -1 with errno set. Switches to buffered copying when the kernel cannot copy the range
// between these two files.
ssize_t CopyChunk(int in, int out, TCopyWay& way, std::unique_ptr<char[]>& buffer, bool first) {
  if (way == TCopyWay::Range) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
    if (n >= 0 && !(n == 0 && first)) return n;
    // 0 on the first call: some file systems (proc-like, some FUSE) report nothing to
    // copy; read them the plain way to be sure.
    if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EBADF && errno != ETXTBSY)
      return -1;
    way = TCopyWay::Buffered;
  }
  if (!buffer) buffer.reset(new char[kBufferSize]);
  ssize_t total = 0;
  while (static_cast<size_t>(total) < kCopyChunk) {
    ssize_t got = ::read(in, buffer.get(), kBufferSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    for (ssize_t off = 0; off < got;) {
      const ssize_t put = ::write(out, buffer.get() + off, static_cast<size_t>(got - off));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        if (put == 0) errno = ENOSPC;
        return -1;
      }
      off += put;
    }
    total += got;
  }
  return total;
}

// A hidden name beside the target, new in its folder.
int CreateTempBeside(const QString& target, mode_t mode, QString& tempPath) {
  const QFileInfo info(target);
  const QString folder = info.absolutePath();
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = folder + QStringLiteral("/.") + info.fileName() +
               QStringLiteral(".cvcopy-%1").arg(QRandomGenerator::global()->generate(), 8, 16,
                                                QLatin1Char('0'));
    const int fd = ::open(Native(tempPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool MatchesAny(const QString& name, const std::vector<QRegularExpression>& patterns) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const QRegularExpression& p) { return p.match(name).hasMatch(); });
}

std::vector<QRegularExpression> MaskPatterns(const QString& mask) {
  std::vector<QRegularExpression> patterns;
  for (QString part : mask.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    part = part.trimmed();
    if (part.isEmpty()) continue;
    // "*.*" means every file, with or without an extension.
    if (part == QLatin1String("*.*")) part = QStringLiteral("*");
    QString rx;
    for (const QChar c : part) {
      if (c == QLatin1Char('*')) rx += QStringLiteral(".*");
      else if (c == QLatin1Char('?')) rx += QLatin1Char('.');
      else rx += QRegularExpression::escape(QString(c));
    }
    patterns.emplace_back(QRegularExpression::anchoredPattern(rx),
                          QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
  }
  return patterns;
}

bool NameLess(const QString& a, const QString& b) {
  const int c = a.compare(b, Qt::CaseInsensitive);
  return c != 0 ? c < 0 : a < b;
}

void FindIn(const QString& folder, const std::vector<QRegularExpression>& patterns, bool recursive,
            QStringList& out) {
  QDir dir(folder);
  QStringList files;
  QStringList folders;
  const auto entries = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
  for (const QFileInfo& e : entries) {
    if (e.isDir()) {
      if (!e.isSymLink()) folders << e.fileName();
    } else if (e.isFile() && MatchesAny(e.fileName(), patterns)) {
      files << e.fileName();
    }
  }
  std::sort(files.begin(), files.end(), NameLess);
  const QString base = WithSlash(folder);
  for (const QString& f : files) out << base + f;
  if (!recursive) return;
  std::sort(folders.begin(), folders.end(), NameLess);
  for (const QString& f : folders) FindIn(base + f, patterns, recursive, out);
}

// An XDG base folder from the environment; relative values are ignored as the XDG rules say.
QString XdgFolder(const char* variable, const QString& fallbackBelowHome) {
  const QString value = qEnvironmentVariable(variable);
  if (!value.isEmpty() && QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
  const QString home = qEnvironmentVariable("HOME");
  if (home.isEmpty() || !QDir::isAbsolutePath(home)) return {};
  return QDir::cleanPath(home + QLatin1Char('/') + fallbackBelowHome);
}

}  // namespace

unsigned ProcessUmask() {
  static const unsigned mask = [] {
    unsigned value = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
      for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("Umask:")) continue;
        bool ok = false;
        const uint read = line.mid(6).trimmed().toUInt(&ok, 8);
        if (ok) value = read & 0777;
      }
    }
    return value;
  }();
  return mask;
}

int DirCreate(const QString& path) {
  if (path.isEmpty()) return ceInvalidPath;
  std::error_code ec;
  const std::filesystem::path p(Native(path).toStdString());
  std::filesystem::create_directories(p, ec);
  if (ec) {
    if (IsDiskFull(ec.value())) return ceDiskFull;
    if (ec.value() == EACCES || ec.value() == EPERM || ec.value() == EROFS) return ceFileAccess;
    return ceDirCreate;
  }
  return std::filesystem::is_directory(p, ec) ? ceOK : ceDirCreate;
}

int _DirCreateUnique(const QString& base, const QString& prefix, QString& result) {
  result.clear();
  if (base.isEmpty()) return ceInvalidPath;
  if (prefix.contains(QLatin1Char('/'))) return ceInvalidPath;
  if (const int error = DirCreate(base)) return error;
  for (int n = 1; n < 100000; ++n) {
    const QString candidate = WithSlash(base) + prefix + QString::number(n);
    if (::mkdir(Native(candidate).constData(), 0777) == 0) {
      result = candidate + QLatin1Char('/');
      return ceOK;
    }
    if (errno != EEXIST) return OpenError(errno, ceDirCreate);
  }
  return ceDirCreate;
}

int DirDeleteTree(const QString& folder) {
  const QString clean = QDir::cleanPath(folder);
  if (folder.isEmpty() || clean == QLatin1String("/")) return ceInvalidPath;
  const QByteArray native = Native(clean);
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return OpenError(errno, ceDirDelete);
  if (!S_ISDIR(st.st_mode)) return ceDirDelete;
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(native.toStdString()), ec);
  if (ec) return ec.value() == EACCES || ec.value() == EPERM || ec.value() == EROFS ? ceFileAccess : ceDirDelete;
  return ceOK;
}

int FileDelete(const QString& path) {
  if (path.isEmpty()) return ceInvalidPath;
  const QByteArray native = Native(path);
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0) return OpenError(errno, ceFileDelete);
  if (S_ISDIR(st.st_mode)) return ceFileDelete;
  if (::unlink(native.constData()) != 0) return OpenError(errno, ceFileDelete);
  return ceOK;
}

int FileCopy(const QString& source, const QString& target, const TFileCopyProgress& progress,
             const std::atomic<bool>* stop) {
  if (source.isEmpty() || target.isEmpty()) return ceInvalidPath;
  TFd in(::open(Native(source).constData(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return OpenError(errno, ceFileRead);
  struct stat st {};
  if (::fstat(in.fd, &st) != 0) return ceFileRead;
  if (!S_ISREG(st.st_mode)) return ceFileRead;
  {
    struct stat tst {};
    if (::stat(Native(target).constData(), &tst) == 0 && S_ISDIR(tst.st_mode)) return ceFileCreate;
  }
  ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  QString tempPath;
  TFd out(CreateTempBeside(target, st.st_mode & 0777, tempPath));
  if (out.fd < 0) return OpenError(errno, ceFileCreate);
  const QByteArray tempNative = Native(tempPath);
  // Every failure below removes the partial copy.
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

  TCopyWay way = TCopyWay::Range;
  std::unique_ptr<char[]> buffer;
  for (bool first = true;; first = false) {
    const ssize_t n = CopyChunk(in.fd, out.fd, way, buffer, first);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      if (IsDiskFull(err)) return fail(ceDiskFull);
      return fail(err == EIO && way == TCopyWay::Buffered ? ceFileRead : ceFileWrite);
    }
    if (n == 0) break;
    done += n;
    if (stopped()) return fail(ceAborted);
  }

  const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  ::futimens(out.fd, times);
  // The mode given at creation went through the umask; the copy keeps the source's bits
  // (as far as we own them), so a setup program stays executable.
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

double FileGetTimeModified(const QString& path, int& error) {
  struct stat st {};
  if (path.isEmpty() || ::stat(Native(path).constData(), &st) != 0) {
    error = path.isEmpty() ? ceInvalidPath : OpenError(errno, ceFileRead);
    return 0;
  }
  error = ceOK;
  const double seconds = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  return seconds / 86400.0 + 25569.0;
}

QStringList FindFiles(const QString& folder, const QString& mask, bool recursive) {
  QStringList out;
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) return out;
  const auto patterns = MaskPatterns(mask);
  if (patterns.empty()) return out;
  FindIn(QDir::cleanPath(folder), patterns, recursive, out);
  return out;
}

QString _GetTempDir() {
  // Qt gives an empty path when TMPDIR names a folder that does not exist, and "/" must not
  // become the temporary folder: keep the folder named, so that making something in it
  // creates it or fails.
  QString path = QDir::tempPath();
  if (path.isEmpty()) {
    const QString named = qEnvironmentVariable("TMPDIR");
    path = QDir::isAbsolutePath(named) ? QDir::cleanPath(named) : QStringLiteral("/tmp");
  }
  return WithSlash(path);
}

bool ShlGetSpecialFolderPath(int folderId, QString& result) {
  result.clear();
  switch (folderId) {
    case csfCommonAppData: result = XdgFolder("XDG_DATA_HOME", QStringLiteral(".local/share")); break;
    case csfProgramFiles:
      if (::geteuid() == 0) {
        result = QStringLiteral("/opt");
      } else {
        const QString home = qEnvironmentVariable("HOME");
        if (!home.isEmpty() && QDir::isAbsolutePath(home))
          result = QDir::cleanPath(home + QStringLiteral("/.local/opt"));
      }
      break;
    default: return false;
  }
  return !result.isEmpty();
}

}  // namespace cvlib
