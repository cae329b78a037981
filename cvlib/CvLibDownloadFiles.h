#pragma once

// Inside the support library only: the names and folders of the engine's downloads, which the
// library itself needs too (DownloadPartPath, DirCreateBelow) and the network module shares.
#include "CvLibChartCheck.h"
#include "CvLibErrors.h"
#include "CvLibFiles.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib::dl {

constexpr char kPartSuffix[] = ".cvpart";

// Hidden, and with a suffix no listed file may have, so that no file of a list can take it.
inline QString PartName(const QString& name) {
  const QString plain = u'.' + name + QLatin1String(kPartSuffix);
  if (QFile::encodeName(plain).size() <= NAME_MAX) return plain;
  // A name near the limit: its hash keeps the part's name within it.
  const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(40);
  return u'.' + QString::fromLatin1(hash) + QLatin1String(kPartSuffix);
}

// A finished file gets the mode any file the user makes gets: the part was private meanwhile.
// Installed and stored files are writable by their owner alone, whatever the umask allows.
inline mode_t NewFileMode() { return static_cast<mode_t>(0644 & ~ProcessUmask()); }

// Opens each of `names` below the open folder `fd` without following a link; takes fd.
// Creates missing ones when `create`. The last folder's descriptor, or -1 with error set.
inline int OpenBelow(int fd, const QStringList& names, bool create, int& error) {
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

}  // namespace cvlib::dl
