#include "CvZipExtract.h"

#include "CvLib.h"

#include <QFile>
#include <QSet>

#include <zip.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace cvruns {
namespace {

using namespace cvlib;

struct TZipClose {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct TZipFileClose {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

bool IsLinkEntry(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) != 0) return false;
  return opsys == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// Makes every folder of relative below base, refusing to pass through a link; made keeps the
// folders known to be sound.
bool MakeFolders(const QByteArray& base, const QStringList& parts, QSet<QByteArray>& made) {
  QByteArray path = base;
  for (const QString& part : parts) {
    path += '/' + QFile::encodeName(part);
    if (made.contains(path)) continue;
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;  // a link or a file where a folder belongs
    } else if (::mkdir(path.constData(), 0755) != 0 && errno != EEXIST) {
      return false;
    } else if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return false;
    }
    made.insert(path);
  }
  return true;
}

}  // namespace

QString SafeEntryPath(const QString& name) {
  QString path = name;
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return {};
  if (path.endsWith(QLatin1Char('/'))) path.chop(1);
  for (QChar ch : path)
    if (ch.unicode() < 0x20 || (ch.unicode() >= 0x7F && ch.unicode() <= 0x9F)) return {};
  for (const QString& part : path.split(QLatin1Char('/')))
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return {};
  return path;
}

int ExtractArchive(const QString& archive, const QString& baseFolder, const TExtractProgress& progress,
                   QStringList* refused) {
  int zipError = 0;
  std::unique_ptr<zip_t, TZipClose> zip(zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &zipError));
  if (!zip) return ceFileRead;
  QByteArray base = QFile::encodeName(baseFolder);
  while (base.size() > 1 && base.endsWith('/')) base.chop(1);

  const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
  std::uint64_t total = 0;
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(zip.get(), static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE))
      total += st.size;
  }
  std::uint64_t done = 0;
  // Called after every entry and chunk: the caller keeps it cheap (it pumps events on a clock).
  auto report = [&](bool) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    return !progress || progress(percent);
  };
  if (!report(true)) return ceAborted;

  QSet<QByteArray> made;
  std::unique_ptr<char[]> buffer(new char[1 << 18]);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    const char* rawName = zip_get_name(zip.get(), index, ZIP_FL_ENC_GUESS);
    const QString name = rawName ? QString::fromUtf8(rawName) : QString();
    const QString relative = SafeEntryPath(name);
    if (relative.isEmpty() || IsLinkEntry(zip.get(), index)) {
      if (refused) refused->append(name);
      continue;
    }
    QStringList parts = relative.split(QLatin1Char('/'));
    const bool folder = name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'));
    const QString fileName = folder ? QString() : parts.takeLast();
    if (!MakeFolders(base, parts, made)) {
      if (refused) refused->append(name);
      continue;
    }
    if (folder) continue;

    QByteArray target = base;
    for (const QString& part : parts) target += '/' + QFile::encodeName(part);
    target += '/' + QFile::encodeName(fileName);
    std::unique_ptr<zip_file_t, TZipFileClose> in(zip_fopen_index(zip.get(), index, 0));
    if (!in) continue;  // an entry that cannot be read (unknown method, encrypted) is left out
    int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP && ::unlink(target.constData()) == 0)
      fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == ENOSPC || errno == EDQUOT) return ceDiskFull;
      continue;
    }
    int result = ceOK;
    for (;;) {
      const zip_int64_t n = zip_fread(in.get(), buffer.get(), 1 << 18);
      if (n < 0) {
        result = ceFileRead;
        break;
      }
      if (n == 0) break;
      const char* p = buffer.get();
      zip_int64_t left = n;
      while (left > 0) {
        const ssize_t w = ::write(fd, p, static_cast<size_t>(left));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          result = (errno == ENOSPC || errno == EDQUOT) ? ceDiskFull : ceFileWrite;
          break;
        }
        p += w;
        left -= w;
      }
      if (result) break;
      done += static_cast<std::uint64_t>(n);
      if (!report(false)) {
        ::close(fd);
        ::unlink(target.constData());
        return ceAborted;
      }
    }
    ::close(fd);
    if (result == ceDiskFull || result == ceFileWrite) {
      ::unlink(target.constData());
      return result;
    }
    if (result) ::unlink(target.constData());  // a damaged entry leaves no half file
    if (!report(false)) return ceAborted;
  }
  // Entries left out count as done.
  if (progress) progress(100);
  return ceOK;
}

}  // namespace cvruns
