#include "CvLibExceptions.h"

#include "CvLibErrors.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {
namespace {

std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}

// Guarded by LogMutex; empty until first asked for.
QString& LogFileName() {
  static QString name;
  return name;
}

QString DefaultLogFileName() {
  QString app = QCoreApplication::applicationName();
  if (app.isEmpty()) app = QStringLiteral(CV_PROG_NAME);
  return QDir::tempPath() + QLatin1Char('/') + app + QStringLiteral("-exceptions.log");
}

QString& CurrentName() {
  QString& name = LogFileName();
  if (name.isEmpty()) name = DefaultLogFileName();
  return name;
}

QString OneLine(QString text) {
  text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
  text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
  text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
  text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
  return text;
}

int WriteError(int err) { return err == ENOSPC || err == EDQUOT ? ceDiskFull : ceFileWrite; }

// Appends data with a single write; a short write is finished so nothing is lost.
int AppendTo(const QString& fileName, const QByteArray& data) {
  const int fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ceFileNotFound : ceFileCreate;
  int result = ceOK;
  for (qsizetype off = 0; off < data.size();) {
    const ssize_t n = ::write(fd, data.constData() + off, static_cast<size_t>(data.size() - off));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result = WriteError(n < 0 ? errno : ENOSPC);
      break;
    }
    off += n;
  }
  if (::close(fd) != 0 && result == ceOK) result = WriteError(errno);
  return result;
}

}  // namespace

QString GetExceptionLogFileName() {
  std::lock_guard lock(LogMutex());
  return CurrentName();
}

int SetExceptionLogFileName(const QString& fileName) {
  if (fileName.isEmpty()) return ceInvalidPath;
  std::lock_guard lock(LogMutex());
  QString& current = CurrentName();
  const QString target = QFileInfo(fileName).absoluteFilePath();
  if (QFileInfo(current).absoluteFilePath() == target) return ceOK;
  QFile old(current);
  if (old.exists() && old.size() > 0) {
    if (!old.open(QIODevice::ReadOnly)) return ceFileRead;
    const QByteArray content = old.readAll();
    old.close();
    if (const int error = AppendTo(target, content)) return error;
    old.remove();
  } else if (const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
             fd >= 0) {
    ::close(fd);
  } else {
    return errno == ENOENT || errno == ENOTDIR ? ceFileNotFound : ceFileCreate;
  }
  current = target;
  return ceOK;
}

int ReportException(const QString& className, const QString& message) {
  const QString line = QDateTime::currentDateTime().toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                           .toString(Qt::ISODateWithMs) +
                       QLatin1Char('\t') + OneLine(className) + QLatin1Char('\t') + OneLine(message) +
                       QLatin1Char('\n');
  std::lock_guard lock(LogMutex());
  return AppendTo(CurrentName(), line.toUtf8());
}

}  // namespace cvlib
