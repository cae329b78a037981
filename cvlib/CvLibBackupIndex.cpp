#include "CvLibBackupIndex.h"

#include "CvLibErrors.h"
#include "CvLibItemJson.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <limits>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cvlib {
namespace {

// First line: magic, format version, payload length in bytes, SHA-256 of the payload.
constexpr char kMagic[] = "CVBACKUPIDX";
constexpr qint64 kMaxIndexSize = 64 * 1024 * 1024;
constexpr qint64 kMaxHeaderLine = 200;

bool IsXxh3Hex(const QString& text) {
  if (text.size() != 16) return false;
  for (const QChar c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  return true;
}

// Writes each field as the index keeps it.
struct Writer {
  static void Int(QJsonObject& o, const char* key, int value) { o[QLatin1String(key)] = value; }
  static void Str(QJsonObject& o, const char* key, const QString& value) { o[QLatin1String(key)] = value; }
  static void Bool(QJsonObject& o, const char* key, bool value) { o[QLatin1String(key)] = value; }
  // 64-bit values as text: JSON numbers are doubles.
  static void Size(QJsonObject& o, const char* key, int64_t value) {
    o[QLatin1String(key)] = QString::number(value);
  }
  static void Version(QJsonObject& o, const char* key, uint32_t value) {
    o[QLatin1String(key)] = static_cast<qint64>(value);
  }
};

QJsonObject ProductToJson(const TProductData& p) {
  Writer w;
  QJsonObject o;
  detail::ProductFields(w, o, p);
  return o;
}

QJsonObject ItemToJson(const TItemData& item) {
  Writer w;
  QJsonObject o;
  detail::ItemFields(w, o, item);
  w.Str(o, "sourceFolder", item.sourceFolder);
  QJsonArray files;
  for (const TItemFile& f : item.files) {
    QJsonObject fo;
    detail::FileFields(w, fo, f);
    if (!f.xxh3.isEmpty()) w.Str(fo, "xxh3", f.xxh3);
    files.append(fo);
  }
  o["files"] = files;
  if (item.hasProduct) o["record"] = ProductToJson(item.product);
  return o;
}

// Strict readers: a missing field or one of the wrong type makes the index corrupt.
struct Reader {
  bool ok = true;
  void Int(const QJsonObject& o, const char* key, int& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
    // The range first: casting a double beyond 64 bits is undefined.
    if (!v.isDouble() || !(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<uint32_t>::max()) ||
        d != static_cast<double>(static_cast<qint64>(d))) {
      ok = false;
      out = 0;
      return;
    }
    out = static_cast<int>(static_cast<int64_t>(d));
  }
  void Size(const QJsonObject& o, const char* key, int64_t& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    bool good = false;
    const qint64 n = v.toString().toLongLong(&good);
    if (!v.isString() || !good || n < 0) {
      ok = false;
      out = 0;
      return;
    }
    out = n;
  }
  void Version(const QJsonObject& o, const char* key, uint32_t& out) {
    int packed = 0;
    Int(o, key, packed);
    out = static_cast<uint32_t>(packed);
  }
  void Str(const QJsonObject& o, const char* key, QString& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) ok = false;
    out = v.toString();
  }
  void Bool(const QJsonObject& o, const char* key, bool& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isBool()) ok = false;
    out = v.toBool();
  }
};

int ItemFromJson(const QJsonObject& o, TItemData& item) {
  Reader r;
  detail::ItemFields(r, o, item);
  r.Str(o, "sourceFolder", item.sourceFolder);
  const QJsonValue files = o.value(QLatin1String("files"));
  if (!files.isArray()) return ceBackupIndexCorrupt;
  int64_t total = 0;
  for (const QJsonValue& fv : files.toArray()) {
    if (!fv.isObject()) return ceBackupIndexCorrupt;
    const QJsonObject fo = fv.toObject();
    TItemFile f;
    detail::FileFields(r, fo, f);
    if (!r.ok) return ceBackupIndexCorrupt;
    // Optional (older indexes lack it), but never malformed: it stands in for the SHA-256
    // when the file is installed.
    const QJsonValue xxh3 = fo.value(QLatin1String("xxh3"));
    if (!xxh3.isUndefined()) {
      if (!xxh3.isString() || !IsXxh3Hex(xxh3.toString())) return ceBackupIndexCorrupt;
      f.xxh3 = xxh3.toString();
    }
    // The item's size is the sum of its files: it must be a size too.
    if (__builtin_add_overflow(total, f.size, &total)) return ceBackupIndexCorrupt;
    if (!detail::FileStaysInside(f)) return ceChkUnsafeName;
    item.files.push_back(f);
  }
  const QJsonValue record = o.value(QLatin1String("record"));
  if (record.isObject()) {
    const QJsonObject ro = record.toObject();
    detail::ProductFields(r, ro, item.product);
    item.hasProduct = r.ok;
  } else if (!record.isUndefined()) {
    return ceBackupIndexCorrupt;
  }
  if (!r.ok) return ceBackupIndexCorrupt;
  // The backup folder is the base of these; none may lead out of it.
  if (!IsSafeRelativeFolder(item.sourceFolder) || !detail::ItemNamesSafe(item)) return ceChkUnsafeName;
  // The record stands in for the service's when the backup is installed: the same rule as there.
  if (item.hasProduct && !detail::ProductNamesSafe(item.product)) return ceChkUnsafeName;
  return ceOK;
}

bool WriteFully(int fd, const QByteArray& data) {
  const char* p = data.constData();
  qint64 left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

// The renamed entry is durable only once its folder is. File systems that cannot sync a
// folder say EINVAL; there is nothing more to do on them.
bool SyncFolder(const QByteArray& folder) {
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

// At most kMaxIndexSize + 1 bytes of a regular file: a device, a pipe or a folder under
// the index's name is refused without reading (or waiting on) it.
int ReadIndexBytes(const QString& path, QByteArray& data) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? ceBackupIndexMissing : ceFileRead;
  struct stat st {};
  int result = ceOK;
  if (::fstat(fd, &st) != 0) {
    result = ceFileRead;
  } else if (!S_ISREG(st.st_mode) || st.st_size > kMaxIndexSize) {
    result = ceBackupIndexForeign;
  } else {
    data.resize(static_cast<qsizetype>(st.st_size) + 1);  // one byte more shows a file that grew
    qint64 got = 0;
    while (got < data.size()) {
      const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(data.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = ceFileRead;
        break;
      }
      if (n == 0) break;
      got += n;
    }
    if (got != st.st_size) result = ceBackupIndexCorrupt;  // changed while being read
    data.truncate(got);
  }
  ::close(fd);
  return result;
}

}  // namespace

int WriteBackupIndexFile(const QString& path, const std::vector<TItemData>& items) {
  QJsonArray array;
  for (const TItemData& item : items) array.append(ItemToJson(item));
  QJsonObject root;
  root["items"] = array;
  const QByteArray payload = QJsonDocument(root).toJson(QJsonDocument::Indented);
  const QByteArray header = QByteArray(kMagic) + ' ' + QByteArray::number(kBackupIndexVersion) + ' ' +
                            QByteArray::number(payload.size()) + ' ' +
                            QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() + '\n';

  // A temporary file beside the index, synced, then renamed over it. The rename replaces
  // whatever entry has the index's name: a symbolic link there is replaced, not followed,
  // so nothing outside the backup folder is written.
  const QFileInfo info(path);
  const QByteArray target = QFile::encodeName(info.absoluteFilePath());
  QByteArray temp = target + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return ceBackupIndexWrite;
  bool ok = ::fchmod(fd, 0644) == 0 && WriteFully(fd, header) && WriteFully(fd, payload) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
    ::unlink(temp.constData());
    return ceBackupIndexWrite;
  }
  return SyncFolder(QFile::encodeName(info.absolutePath())) ? ceOK : ceBackupIndexWrite;
}

int ReadBackupIndexFile(const QString& path, std::vector<TItemData>& items) {
  QByteArray data;
  if (const int error = ReadIndexBytes(path, data)) return error;

  const QByteArray magic = QByteArray(kMagic) + ' ';
  if (!data.startsWith(magic)) {
    // A file cut inside the magic is a damaged index, not a foreign file.
    return (!data.isEmpty() && magic.startsWith(data)) ? ceBackupIndexCorrupt : ceBackupIndexForeign;
  }
  const qint64 eol = data.indexOf('\n');
  if (eol < 0 || eol > kMaxHeaderLine) return ceBackupIndexCorrupt;
  const QList<QByteArray> fields = data.left(eol).split(' ');
  if (fields.size() != 4) return ceBackupIndexCorrupt;
  bool okVersion = false, okLength = false;
  const int version = fields[1].toInt(&okVersion);
  const qint64 length = fields[2].toLongLong(&okLength);
  if (!okVersion || !okLength || version < 1 || length < 0) return ceBackupIndexCorrupt;
  if (version > kBackupIndexVersion) return ceBackupIndexNewer;
  const QByteArray payload = data.mid(eol + 1);
  if (payload.size() != length) return ceBackupIndexCorrupt;
  if (QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex() != fields[3])
    return ceBackupIndexCorrupt;

  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(payload, &parseError);
  if (parseError.error != QJsonParseError::NoError || !doc.isObject()) return ceBackupIndexCorrupt;
  const QJsonValue array = doc.object().value(QLatin1String("items"));
  if (!array.isArray()) return ceBackupIndexCorrupt;
  std::vector<TItemData> read;
  std::set<std::pair<int, int>> seen;  // an index lists each product and module once
  for (const QJsonValue& v : array.toArray()) {
    if (!v.isObject()) return ceBackupIndexCorrupt;
    TItemData item;
    const int error = ItemFromJson(v.toObject(), item);
    if (error) return error;
    if (!seen.insert({item.productNumber, item.moduleMask}).second) return ceBackupIndexCorrupt;
    read.push_back(std::move(item));
  }
  items = std::move(read);
  return ceOK;
}

}  // namespace cvlib
