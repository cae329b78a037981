#include "CvLibFiles.h"

#include "CvLibErrors.h"
#include "CvLibFileIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <filesystem>
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

namespace {

// FileCopy's progress and stop: told once before the first byte, after every chunk the kernel
// copies and every kCopyChunk bytes read the plain way, and at the end.
class TProgressObserver final : public TCopyObserver {
 public:
  TProgressObserver(const QString& source, const TFileCopyProgress& progress, const std::atomic<bool>* stop)
      : source_(source), progress_(progress), stop_(stop) {}
  int Started(int, qint64 total) override {
    total_ = total;
    return Tell(0);
  }
  int Copied(int, const char* data, qint64, qint64 done) override {
    done_ = done;
    return !data || done - told_ >= kCopyChunk ? Tell(done) : ceOK;
  }
  int Finished(int, int error) override { return error || done_ == told_ ? error : Tell(done_); }

 private:
  int Tell(qint64 done) {
    told_ = done;
    if (stop_ && stop_->load()) return ceAborted;
    return progress_ && !progress_(source_, done, total_) ? ceAborted : ceOK;
  }
  // Chunks: large enough to run at full speed, small enough that progress (and with it the
  // Abort button) comes several times a second even on a slow USB stick.
  static constexpr qint64 kCopyChunk = qint64{8} << 20;
  const QString& source_;
  const TFileCopyProgress& progress_;
  const std::atomic<bool>* const stop_;
  qint64 total_ = 0;
  qint64 told_ = 0;
  qint64 done_ = 0;
};

}  // namespace

int FileCopy(const QString& source, const QString& target, const TFileCopyProgress& progress,
             const std::atomic<bool>* stop) {
  TProgressObserver observer(source, progress, stop);
  TCopyOptions options;
  // The copy keeps the source's bits (as far as we own them), past the umask, so that a setup
  // program stays executable.
  options.exactMode = true;
  options.observer = &observer;
  return CopyFile(source, target, options);
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
