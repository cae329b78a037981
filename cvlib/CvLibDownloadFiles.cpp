// The names and folders of the engine's downloads (CvLibChartCheck.h).
#include "CvLibDownloadFiles.h"

#include <QDir>

namespace cvlib {

using namespace dl;

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

}  // namespace cvlib
